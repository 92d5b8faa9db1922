// The work of ConvertUFilters, with the validator that admits the settings library passed in, and
// its steps on one user's filters document.
#pragma once

#include <windows.h>
#include <msxml2.h>

#include <string>
#include <vector>

#include "ComApartment.h"
#include "RuleScripts.h"
#include "support/FileValidator.h"
#include "../../includes/VrxSettings.h"

namespace VrxRunOnce {

// Settings value that holds a user's filters document.
constexpr const wchar_t* kUserFilters = L"UserFilters";

// Whether the text's prolog may hold a document type declaration, read as a parser would up to
// the root element's start tag: anything there other than white space, comments and processing
// instructions (the XML declaration among them) counts, and so does a prolog that never ends.
// A filters document is never written with one; refusing it keeps entity expansion and external
// entities away from the parser whatever the parser's own settings do.
bool MayDeclareDocumentType(const std::wstring& text);

// The character-set names of a ";"-separated list of Windows code pages, in order. Leading
// separators are skipped, a run of separators counts as one, and the first empty token ends the
// list. Tokens are matched exactly (no trimming, no case folding); an unknown one gives no name.
std::vector<std::wstring> CharsetNamesFromCodePages(const std::wstring& codePages);

// Repairs the "Charset" rule in place: the first "Charset" element without the attribute "c"
// has its text read as code pages; every "Charset" element is removed, and one element
// <Charset c="y"><![CDATA[name]]></Charset> per character-set name is appended to the root
// element. Elements that all carry "c" are left alone. Always S_OK: a failing step leaves the
// document as far as it got.
HRESULT ConvertCharsetElements(IXMLDOMDocument2* document);

// Converts the "UserFilters" of one user node and writes the user's rule scripts. A user without
// filters, or whose filters may declare a document type, do not parse once escaped or have a rule
// text that cannot be escaped as parsed, is left as it is. `apartment` learns when COM had to be initialised on the thread.
void ConvertFiltersOfUser(SettingsNode* user, CComApartment& apartment);
// The same, transforming with stylesheets parsed once for all users.
void ConvertFiltersOfUser(SettingsNode* user, CComApartment& apartment,
                          CParsedStylesheets& stylesheets);

// Loads the settings library "VrxSet.dll" from the install folder, once `validator` accepts it,
// and converts every user's "UserFilters": escapes and parses it, repairs its "Charset" rule,
// escapes its rule texts as parsed, stores it back and writes the user's rule scripts from it. COM is initialised on the thread
// when a document cannot be made without it, and uninitialised at the end only in that case.
void ConvertUserFilters(Tessel::CFileValidator& validator);

}  // namespace VrxRunOnce
