// The filter engine's rule scripts of one user: the black list (rules that mark a message as spam)
// and the white list (rules that let it through), made from the user's filters document by two
// XSLT 1.0 stylesheets and stored as UTF-8 text in the user's settings node.
#pragma once

#include <windows.h>
#include <msxml2.h>

#include <string>

#include "../../includes/VrxSettings.h"

namespace VrxRunOnce {

// DOMDocument, IXMLDOMDocument2 and IXMLDOMElement; mingw's uuid library does not carry them.
extern const CLSID kClsidDomDocument;
extern const IID kIidXmlDomDocument2;
extern const IID kIidXmlDomElement;

using UniqueXmlDocument = Tessel::UniqueComPtr<IXMLDOMDocument2>;

// A VARIANT that lends a string the caller keeps owning (never cleared).
VARIANT BorrowedString(const Tessel::UniqueBstr& text);

// Settings values that receive the two scripts.
constexpr const wchar_t* kUserFiltersBlack = L"UserFiltersBlack";
constexpr const wchar_t* kUserFiltersWhite = L"UserFiltersWhite";

// The two stylesheets. Each gives plain text: "black={op="OR",params={", one table per rule,
// "}};" (resp. "white=..."), or nothing when the document has no rule for that list.
extern const wchar_t kBlackListStylesheet[];
extern const wchar_t kWhiteListStylesheet[];

// The stylesheets a conversion uses: those above, unless a caller brings its own.
struct RuleStylesheets {
    const wchar_t* black;
    const wchar_t* white;
};
extern const RuleStylesheets kRuleStylesheets;

// Escapes the closing brackets of the document's text so that no rule text can close the long
// brackets of a rule script: "]]\x3E" becomes "]\x5D>", then every "]]" becomes "]\x5D" except
// the "]]" that ends a CDATA section right before the next tag ("]]><"). In a run of brackets
// before "><" only the last two end the section; the ones before it are escaped in pairs from
// the left, and an odd one left over stays as it is.
std::wstring EscapeClosingBrackets(const std::wstring& text);

// Escapes the parsed text of every rule (the element children of the root element, each text
// being the values of the text and CDATA nodes below it, joined in document order) in place:
// every "]]\x3E" becomes "]\x5D>", then every remaining "]]" becomes "]\x5D". Catches the
// pairs that only parsing makes (character references, adjacent sections); a document escaped
// once is left as it is. False when a text cannot be read or written.
bool EscapeRuleTexts(IXMLDOMDocument2* document);

// A new in-process DOMDocument. When COM is not initialised on the thread yet, it is initialised
// (CoInitialize) and the creation tried once more. An empty owner when no document can be made.
// When `initialisedCom` is given, it receives whether this call initialised COM: the caller then
// owes the thread one CoUninitialize, whether or not a document was made.
UniqueXmlDocument CreateXmlDocument(bool* initialisedCom = nullptr);

// Sets what the document's next load must not do: load asynchronously, validate, resolve
// external entities, or accept a document type declaration (where the engine knows that
// property).
void SetSafeParsing(IXMLDOMDocument2* document);

// `text` (`length` wide characters) as UTF-8. False when the platform cannot convert it.
bool ConvertToUtf8(const wchar_t* text, UINT length, std::string& utf8);

// The two stylesheets, each parsed on its first use and kept for the transforms of later
// documents: parsing them costs more than transforming a user's document with them. COM must be
// initialised on the thread when they are first used and until the object goes.
class CParsedStylesheets {
public:
    explicit CParsedStylesheets(const RuleStylesheets& texts = kRuleStylesheets) : m_texts(texts) {}
    CParsedStylesheets(const CParsedStylesheets&) = delete;
    CParsedStylesheets& operator=(const CParsedStylesheets&) = delete;

    // The parsed stylesheet, or null when it cannot be parsed (not tried again).
    IXMLDOMDocument2* Black() { return Parsed(m_black, m_blackTried, m_texts.black); }
    IXMLDOMDocument2* White() { return Parsed(m_white, m_whiteTried, m_texts.white); }

private:
    static IXMLDOMDocument2* Parsed(UniqueXmlDocument& document, bool& tried, const wchar_t* text);

    RuleStylesheets m_texts;
    UniqueXmlDocument m_black;
    UniqueXmlDocument m_white;
    bool m_blackTried = false;
    bool m_whiteTried = false;
};

// Transforms `filters` with both stylesheets and stores the scripts under "UserFiltersBlack" and
// "UserFiltersWhite" of `user` (an empty script clears its value). Each rule's string reads back
// in Lua as exactly its text with the escape of EscapeRuleTexts: "[[" text "]]" where that holds,
// else the lowest long-bracket level that the text cannot close, or a quoted string. `filters` is
// left as it was, except that a rule loses an attribute "script-string" it brought. S_OK when
// both scripts were made and stored; E_FAIL otherwise. A transform that fails, or gives no script
// for a document that holds rules of its list, is logged and leaves that script and the ones
// after it as they were: the white list is not attempted when the black list cannot be made. A
// failed conversion or store of one script does not stop the other.
HRESULT WriteUserRuleScripts(IXMLDOMDocument2* filters, SettingsNode* user,
                             CParsedStylesheets& stylesheets);
// The same with stylesheets parsed for this one document.
HRESULT WriteUserRuleScripts(IXMLDOMDocument2* filters, SettingsNode* user,
                             const RuleStylesheets& stylesheets = kRuleStylesheets);

}  // namespace VrxRunOnce
