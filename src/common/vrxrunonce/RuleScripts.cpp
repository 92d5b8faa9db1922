#include "RuleScripts.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "ActionLog.h"

namespace VrxRunOnce {

const CLSID kClsidDomDocument = {
    0xF6D90F11, 0x9C73, 0x11D3, {0xB3, 0x2E, 0x00, 0xC0, 0x4F, 0x99, 0x0B, 0xB4}};
const IID kIidXmlDomDocument2 = {
    0x2933BF95, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

// ---- The stylesheets ------------------------------------------------------------------------
//
// The filter engine reads a table constructor: one table per rule, each rule text between the
// long-string brackets "[[" and "]]". The template for "/" looks only at a "VRXFilters" root: the
// built-in templates would otherwise copy every text of a foreign document into the script. The
// rule texts are written as they are: the transform runs on a document whose texts carry no "]]"
// (see EscapeRuleTexts below).

#define VRX_XSL_HEAD                                       \
    L"<?xml version=\"1.0\" encoding=\"utf-8\"?>"          \
    L"<xsl:stylesheet version=\"1.0\" "                    \
    L"xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">" \
    L"<xsl:output method=\"text\"/>"                       \
    L"<xsl:template match=\"/\"><xsl:apply-templates select=\"VRXFilters\"/></xsl:template>"

#define VRX_XSL_TAIL L"</xsl:stylesheet>"

// One rule template: the text before the rule text, the rule text, the text after it.
#define VRX_RULE(name, before, after) \
    L"<xsl:template "                 \
    L"match=\"" name L"\">" before L"<xsl:value-of select=\".\"/>" after L"</xsl:template>"

#define VRX_CONT(name, part) VRX_RULE(name, L"{" part L", test=[[", L"]]},")
#define VRX_CONT_RE(name, part) VRX_RULE(name, L"{" part L", test=Regex.new([[((?i)", L")]])},")
#define VRX_NOT_CONT(name, part) \
    VRX_RULE(name, L"{op=\"NOT\",params={{" part L", test=[[", L"]]}}},")
#define VRX_NOT_CONT_RE(name, part) \
    VRX_RULE(name, L"{op=\"NOT\",params={{" part L", test=Regex.new([[((?i)", L")]])}}},")

// The four forms of one group, in the order they are written.
#define VRX_GROUP(prefix, suffix, part)          \
    VRX_CONT(prefix L"Cont" suffix, part)        \
    VRX_CONT_RE(prefix L"ContRE" suffix, part)   \
    VRX_NOT_CONT(prefix L"NotCont" suffix, part) \
    VRX_NOT_CONT_RE(prefix L"NotContRE" suffix, part)

#define VRX_APPLY(name) L"<xsl:apply-templates select=\"" name L"\"/>"
#define VRX_APPLY_GROUP(prefix, suffix) \
    VRX_APPLY(prefix L"Cont" suffix)    \
    VRX_APPLY(prefix L"ContRE" suffix)  \
    VRX_APPLY(prefix L"NotCont" suffix) VRX_APPLY(prefix L"NotContRE" suffix)
#define VRX_APPLY_ALL(suffix)        \
    VRX_APPLY_GROUP(L"Subj", suffix) \
    VRX_APPLY_GROUP(L"Body", suffix) \
    VRX_APPLY_GROUP(L"Sndr", suffix) \
    VRX_APPLY_GROUP(L"Header", suffix) VRX_APPLY_GROUP(L"Recv", suffix)

#define VRX_PART_SUBJ L"part=NodeType.Headers(), field=\"subject\""
#define VRX_PART_BODY L"part=NodeType.Body()"
#define VRX_PART_SNDR L"part=NodeType.Headers(), field=\"from\""
#define VRX_PART_HEADER L"part=NodeType.RawHeaders()"
#define VRX_PART_RECV L"part=NodeType.Headers(), field=\"to\""

#define VRX_ALL_GROUPS(suffix) \
    L"<!-- Subject -->" VRX_GROUP(L"Subj", suffix, VRX_PART_SUBJ)                      \
    L"<!-- Body -->" VRX_GROUP(L"Body", suffix, VRX_PART_BODY)                         \
    L"<!-- Sender -->" VRX_GROUP(L"Sndr", suffix, VRX_PART_SNDR)                       \
    L"<!-- Header -->" VRX_GROUP(L"Header", suffix, VRX_PART_HEADER)                   \
    L"<!-- Receiver -->" VRX_GROUP(L"Recv", suffix, VRX_PART_RECV)

const wchar_t kBlackListStylesheet[] =
    VRX_XSL_HEAD
    L"<xsl:template match=\"VRXFilters\">"
    L"<xsl:if test=\"count(/VRXFilters/*[not(@type)]) &gt; 0\">"
    L"black={op=\"OR\",params={"
    L"<xsl:if test=\"count(Charset) &gt; 0\">{op=\"OR\",params={"
    L"<xsl:apply-templates select=\"Charset\"/>}},</xsl:if>"
    VRX_APPLY_ALL(L"")
    L"}};</xsl:if></xsl:template>"
    L"<!-- Charset -->"
    VRX_RULE(L"Charset", L"{part=NodeType.UsedCharset(),test=[[", L"]]},")
    VRX_ALL_GROUPS(L"")
    VRX_XSL_TAIL;

const wchar_t kWhiteListStylesheet[] =
    VRX_XSL_HEAD
    L"<xsl:template match=\"VRXFilters\">"
    L"<xsl:if test=\"count(/VRXFilters/*[@type]) &gt; 0\">"
    L"white={op=\"OR\",params={"
    VRX_APPLY_ALL(L"Allow")
    L"}};</xsl:if></xsl:template>"
    VRX_ALL_GROUPS(L"Allow")
    VRX_XSL_TAIL;

// ---- Documents and transformation --------------------------------------------------------------

UniqueXmlDocument CreateXmlDocument(bool* initialisedCom) {
    if (initialisedCom != nullptr) {
        *initialisedCom = false;
    }
    IXMLDOMDocument2* document = nullptr;
    HRESULT hr = ::CoCreateInstance(kClsidDomDocument, nullptr, CLSCTX_INPROC_SERVER,
                                    kIidXmlDomDocument2, reinterpret_cast<void**>(&document));
    if (hr == CO_E_NOTINITIALIZED) {
        const HRESULT init = ::CoInitialize(nullptr);
        if (init == S_OK || init == S_FALSE) {
            if (initialisedCom != nullptr) {
                *initialisedCom = true;
            }
            hr = ::CoCreateInstance(kClsidDomDocument, nullptr, CLSCTX_INPROC_SERVER,
                                    kIidXmlDomDocument2, reinterpret_cast<void**>(&document));
        }
    }
    if (FAILED(hr)) {
        return UniqueXmlDocument();
    }
    return UniqueXmlDocument(document);
}

bool ConvertToUtf8(const wchar_t* text, UINT length, std::string& utf8) {
    utf8.clear();
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0,
                                           nullptr, nullptr);
    if (length == 0 && size == 0) {
        return true;
    }
    if (size < 1) {
        return false;
    }
    std::string buffer(static_cast<size_t>(size) + 1, '\0');
    if (::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), &buffer[0], size, nullptr,
                              nullptr) != size) {
        return false;
    }
    buffer[static_cast<size_t>(size)] = '\0';
    utf8.assign(buffer.c_str());  // up to the first zero byte
    return true;
}

namespace {

using Tessel::UniqueBstr;
using UniqueNode = Tessel::UniqueComPtr<IXMLDOMNode>;

constexpr const wchar_t* kLogFunction = L"WriteUserRuleScripts";
constexpr const wchar_t* kFiltersRoot = L"VRXFilters";
constexpr const wchar_t* kTypeAttribute = L"type";

// One of the two lists: where its script goes, and whether its rules carry "type".
struct RuleList {
    const wchar_t* valueName;
    bool typed;
};
constexpr RuleList kBlackList = {kUserFiltersBlack, false};
constexpr RuleList kWhiteList = {kUserFiltersWhite, true};

// Every non-overlapping occurrence of `from`, left to right, replaced by `to`.
std::wstring ReplaceAll(const std::wstring& text, const std::wstring& from,
                        const std::wstring& to) {
    std::wstring result;
    size_t at = 0;
    for (size_t found; (found = text.find(from, at)) != std::wstring::npos;
         at = found + from.size()) {
        result.append(text, at, found - at).append(to);
    }
    return result.append(text, at, std::wstring::npos);
}

// ---- Escaping the rule texts ----------------------------------------------------------------

// Escapes the closing brackets of one rule text that arrives in pieces: its text nodes in
// document order, which adjacent CDATA sections, character references or nested elements can
// split anywhere. Each piece first gets the escape of the document's text, as it would once
// stored and read again; a bracket that would then follow the bracket ending the previous piece
// becomes "\x5D" too. The result holds no "]]", and a document whose texts already went through
// the escape keeps its texts. Converting the stored document again gives the same texts.
class CRuleTextEscape {
public:
    std::wstring Next(const std::wstring& piece) {
        std::wstring escaped = EscapeClosingBrackets(piece);
        if (m_openBracket && !escaped.empty() && escaped[0] == L']') {
            escaped.replace(0, 1, L"\\x5D");
        }
        // Inside one piece the escape leaves "]]" only where a section end follows ("]]><").
        for (size_t at = escaped.find(L"]]"); at != std::wstring::npos;
             at = escaped.find(L"]]", at)) {
            escaped.replace(at + 1, 1, L"\\x5D");
        }
        if (!escaped.empty()) {
            m_openBracket = escaped.back() == L']';
        }
        return escaped;
    }

private:
    bool m_openBracket = false;  // the text so far ends with a bracket that has no partner
};

DOMNodeType TypeOf(IXMLDOMNode* node) {
    DOMNodeType type = NODE_INVALID;
    return SUCCEEDED(node->get_nodeType(&type)) ? type : NODE_INVALID;
}

// Checking finds out whether any text would change; rewriting changes them.
enum class EscapeAction { Check, Rewrite };

// Passes the value of a text or CDATA node through `escape`. Checking, false when the value
// would change; rewriting, a changed value is written back. False when the node cannot be read
// or written.
bool EscapeTextNode(IXMLDOMNode* node, CRuleTextEscape& escape, EscapeAction action) {
    VARIANT value;
    ::VariantInit(&value);
    if (FAILED(node->get_nodeValue(&value)) || V_VT(&value) != VT_BSTR) {
        ::VariantClear(&value);
        return false;
    }
    const std::wstring text(V_BSTR(&value), ::SysStringLen(V_BSTR(&value)));
    ::VariantClear(&value);
    const std::wstring escaped = escape.Next(text);
    if (escaped == text) {
        return true;
    }
    if (action == EscapeAction::Check) {
        return false;
    }
    const UniqueBstr replacement(
        ::SysAllocStringLen(escaped.data(), static_cast<UINT>(escaped.size())));
    V_VT(&value) = VT_BSTR;
    V_BSTR(&value) = replacement.get();
    return replacement && SUCCEEDED(node->put_nodeValue(value));
}

// The node that follows `node` in document order, `depth` levels below the node where the walk
// began (its first level being 1); an empty owner once the walk would leave that node. Counted
// rather than compared, since an engine may hand out a new object for a node each time; and
// iterative, so that deep nesting costs no stack.
UniqueNode NextInDocumentOrder(UniqueNode node, int& depth) {
    UniqueNode next;
    if (SUCCEEDED(node.get()->get_firstChild(next.put())) && next) {
        ++depth;
        return next;
    }
    while (node) {
        if (SUCCEEDED(node.get()->get_nextSibling(next.put())) && next) {
            return next;
        }
        if (--depth == 0) {
            break;
        }
        UniqueNode parent;
        node.get()->get_parentNode(parent.put());
        node = std::move(parent);
    }
    return UniqueNode();
}

// Escapes the text of one rule element, which the stylesheets write as its string value.
bool EscapeRuleText(IXMLDOMNode* rule, EscapeAction action) {
    CRuleTextEscape escape;
    UniqueNode node;
    int depth = 1;
    rule->get_firstChild(node.put());
    while (node) {
        const DOMNodeType type = TypeOf(node.get());
        if ((type == NODE_TEXT || type == NODE_CDATA_SECTION) &&
            !EscapeTextNode(node.get(), escape, action)) {
            return false;
        }
        node = NextInDocumentOrder(std::move(node), depth);
    }
    return true;
}

// Every "]]" of the rule texts (the element children of the root) becomes "]\x5D", the
// regular-expression escape of "]", so that no text can close the long brackets of the script
// and write script of its own, however the pair reached the text (character references,
// adjacent CDATA sections). Done here rather than in the stylesheets, in time and memory linear
// in the document. False when a text cannot be escaped, or, checking, when one needs it.
bool EscapeRuleTexts(IXMLDOMDocument2* document, EscapeAction action) {
    Tessel::UniqueComPtr<IXMLDOMElement> root;
    if (FAILED(document->get_documentElement(root.put())) || !root) {
        return true;
    }
    UniqueNode rule;
    root.get()->get_firstChild(rule.put());
    while (rule) {
        if (TypeOf(rule.get()) == NODE_ELEMENT && !EscapeRuleText(rule.get(), action)) {
            return false;
        }
        UniqueNode next;
        rule.get()->get_nextSibling(next.put());
        rule = std::move(next);
    }
    return true;
}

// A deep copy of the filters document with its rule texts escaped; an empty owner when it
// cannot be made. The caller's document is left as it is.
UniqueXmlDocument EscapedCopy(IXMLDOMDocument2* filters) {
    UniqueNode clone;
    UniqueXmlDocument copy;
    if (FAILED(filters->cloneNode(VARIANT_TRUE, clone.put())) || !clone ||
        FAILED(clone.get()->QueryInterface(kIidXmlDomDocument2,
                                           reinterpret_cast<void**>(copy.put()))) ||
        !copy || !EscapeRuleTexts(copy.get(), EscapeAction::Rewrite)) {
        return UniqueXmlDocument();
    }
    SetSafeParsing(copy.get());
    return copy;
}

// The document to transform: `filters` itself when none of its rule texts needs the escape (the
// usual case, which then costs no copy), else its escaped copy, owned by `copy`. Null when the
// copy cannot be made.
IXMLDOMDocument2* DocumentToTransform(IXMLDOMDocument2* filters, UniqueXmlDocument& copy) {
    if (EscapeRuleTexts(filters, EscapeAction::Check)) {
        return filters;
    }
    copy = EscapedCopy(filters);
    return copy.get();
}

// ---- Transforming ------------------------------------------------------------------------------

// Whether the document holds a rule of `list`: a child element of a "VRXFilters" root that
// carries (white list) or lacks (black list) the attribute "type". The stylesheets make a script
// exactly then.
bool HasRulesOf(IXMLDOMDocument2* document, const RuleList& list) {
    Tessel::UniqueComPtr<IXMLDOMElement> root;
    BSTR raw = nullptr;
    if (FAILED(document->get_documentElement(root.put())) || !root ||
        FAILED(root.get()->get_nodeName(&raw))) {
        return false;
    }
    const UniqueBstr name(raw);
    raw = nullptr;
    root.get()->get_namespaceURI(&raw);
    const UniqueBstr space(raw);
    if (name.get() == nullptr || std::wcscmp(name.get(), kFiltersRoot) != 0 ||
        ::SysStringLen(space.get()) != 0) {
        return false;
    }
    const UniqueBstr type(::SysAllocString(kTypeAttribute));
    UniqueNode rule;
    for (root.get()->get_firstChild(rule.put()); rule;) {
        Tessel::UniqueComPtr<IXMLDOMNamedNodeMap> attributes;
        UniqueNode mark;
        if (TypeOf(rule.get()) == NODE_ELEMENT &&
            SUCCEEDED(rule.get()->get_attributes(attributes.put())) && attributes &&
            SUCCEEDED(attributes.get()->getNamedItem(type.get(), mark.put())) &&
            static_cast<bool>(mark) == list.typed) {
            return true;
        }
        UniqueNode next;
        rule.get()->get_nextSibling(next.put());
        rule = std::move(next);
    }
    return false;
}

// The script of `list`. A transform that fails, or that gives no script although the document
// holds rules of the list, is logged and reported: storing its output would wipe the user's
// rules.
bool Transform(IXMLDOMDocument2* filters, IXMLDOMDocument2* stylesheet, const RuleList& list,
               UniqueBstr& script) {
    BSTR output = nullptr;
    const HRESULT hr = filters->transformNode(stylesheet, &output);
    script = UniqueBstr(output);
    if (FAILED(hr)) {
        LogAction(ETWLogging::kSeverityError, kLogFunction, 705,
                  L"WriteUserRuleScripts: Failed to transform %s, hr = 0x%08X.", list.valueName,
                  static_cast<unsigned>(hr));
        return false;
    }
    if (::SysStringLen(script.get()) == 0 && HasRulesOf(filters, list)) {
        LogAction(ETWLogging::kSeverityError, kLogFunction, 711,
                  L"WriteUserRuleScripts: Empty %s for a document with rules.", list.valueName);
        return false;
    }
    return true;
}

// Stores the script as UTF-8 with one terminating zero byte, or clears the value for an empty
// one. False when the text cannot be converted or the node does not take it.
bool StoreScript(SettingsNode* user, const wchar_t* name, const UniqueBstr& text) {
    std::string utf8;
    if (!ConvertToUtf8(text.get(), ::SysStringLen(text.get()), utf8)) {
        return false;
    }
    if (utf8.empty()) {
        user->ClearValue(name, 0);
        return true;
    }
    return user->SetValue(name, utf8.c_str(), static_cast<DWORD>(utf8.size() + 1), 0) ==
           ERROR_SUCCESS;
}

}  // namespace

std::wstring EscapeClosingBrackets(const std::wstring& text) {
    const std::wstring shielded = ReplaceAll(text, L"]]\\x3E", L"]\\x5D>");
    std::wstring escaped;
    for (size_t at = 0; at < shielded.size();) {
        if (shielded[at] != L']') {
            escaped += shielded[at++];
            continue;
        }
        const size_t end = std::min(shielded.find_first_not_of(L']', at), shielded.size());
        const bool endsSection = end - at >= 2 && shielded.compare(end, 2, L"><") == 0;
        size_t content = end - at - (endsSection ? 2 : 0);
        for (; content >= 2; content -= 2) {
            escaped += L"]\\x5D";
        }
        if (content == 1) {
            escaped += L']';
        }
        if (endsSection) {
            escaped += L"]]";
        }
        at = end;
    }
    return escaped;
}

const RuleStylesheets kRuleStylesheets = {kBlackListStylesheet, kWhiteListStylesheet};

void SetSafeParsing(IXMLDOMDocument2* document) {
    document->put_async(VARIANT_FALSE);
    document->put_validateOnParse(VARIANT_FALSE);
    document->put_resolveExternals(VARIANT_FALSE);
    // Not every engine knows the property; the filters text is checked for a DTD anyway.
    const UniqueBstr prohibitDtd(::SysAllocString(L"ProhibitDTD"));
    VARIANT yes;
    ::VariantInit(&yes);
    V_VT(&yes) = VT_BOOL;
    V_BOOL(&yes) = VARIANT_TRUE;
    if (prohibitDtd) {
        document->setProperty(prohibitDtd.get(), yes);
    }
}

IXMLDOMDocument2* CParsedStylesheets::Parsed(UniqueXmlDocument& document, bool& tried,
                                             const wchar_t* text) {
    if (!tried) {
        tried = true;
        document = CreateXmlDocument();
        const UniqueBstr source(::SysAllocString(text));
        VARIANT_BOOL loaded = VARIANT_FALSE;
        if (document) {
            SetSafeParsing(document.get());
        }
        if (!document || !source || document.get()->loadXML(source.get(), &loaded) != S_OK ||
            loaded != VARIANT_TRUE) {
            document.reset();
        }
    }
    return document.get();
}

HRESULT WriteUserRuleScripts(IXMLDOMDocument2* filters, SettingsNode* user,
                             CParsedStylesheets& stylesheets) {
    if (filters == nullptr || user == nullptr) {
        return E_FAIL;
    }
    UniqueXmlDocument copy;
    IXMLDOMDocument2* escaped = DocumentToTransform(filters, copy);
    if (escaped == nullptr) {
        return E_FAIL;
    }

    bool stored = true;
    UniqueBstr black;
    IXMLDOMDocument2* blackSheet = stylesheets.Black();
    if (blackSheet == nullptr || !Transform(escaped, blackSheet, kBlackList, black)) {
        return E_FAIL;
    }
    stored = StoreScript(user, kUserFiltersBlack, black) && stored;

    UniqueBstr white;
    IXMLDOMDocument2* whiteSheet = stylesheets.White();
    if (whiteSheet == nullptr || !Transform(escaped, whiteSheet, kWhiteList, white)) {
        return E_FAIL;
    }
    stored = StoreScript(user, kUserFiltersWhite, white) && stored;
    return stored ? S_OK : E_FAIL;
}

HRESULT WriteUserRuleScripts(IXMLDOMDocument2* filters, SettingsNode* user,
                             const RuleStylesheets& stylesheets) {
    CParsedStylesheets parsed(stylesheets);
    return WriteUserRuleScripts(filters, user, parsed);
}

}  // namespace VrxRunOnce
