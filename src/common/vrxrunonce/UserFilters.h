// The work of ConvertUFilters, with the validator that admits the settings library passed in, and
// its steps on one user's filters document.
#pragma once

#include <windows.h>
#include <msxml2.h>

#include <string>
#include <vector>

#include "support/FileValidator.h"

namespace VrxRunOnce {

// Settings value that holds a user's filters document.
constexpr const wchar_t* kUserFilters = L"UserFilters";

// Escapes the closing brackets of the document's text so that no rule text can close the long
// brackets of a rule script: "]]\x3E" becomes "]\x5D>", then every "]]" becomes "]\x5D" except
// the "]]" that ends a CDATA section right before the next tag ("]]><"). In a run of brackets
// before "><" only the last two end the section; the ones before it are escaped in pairs from
// the left, and an odd one left over stays as it is.
std::wstring EscapeClosingBrackets(const std::wstring& text);

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

// Loads the settings library "VrxSet.dll" from the install folder, once `validator` accepts it,
// and converts every user's "UserFilters": escapes and parses it, repairs its "Charset" rule,
// stores it back and writes the user's rule scripts from it. COM is initialised on the thread
// when a document cannot be made without it, and uninitialised at the end only in that case.
void ConvertUserFilters(Tessel::CFileValidator& validator);

}  // namespace VrxRunOnce
