#include "RuleScripts.h"

#include <cstring>

namespace VrxRunOnce {

const CLSID kClsidDomDocument = {
    0xF6D90F11, 0x9C73, 0x11D3, {0xB3, 0x2E, 0x00, 0xC0, 0x4F, 0x99, 0x0B, 0xB4}};
const IID kIidXmlDomDocument2 = {
    0x2933BF95, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

// ---- The stylesheets ------------------------------------------------------------------------
//
// The filter engine reads a table constructor: one table per rule, each rule text between the
// long-string brackets "[[" and "]]". The document's own escaping keeps "]]" out of the texts;
// the template "v" writes every rule text through the same escape once more ("]]" becomes
// "]\x5D", the regular-expression escape of "]"), so that a text that reached the document by
// another way (a character reference, adjacent CDATA sections) still cannot close the brackets
// and write script of its own. The template for "/" looks only at a "VRXFilters" root: the
// built-in templates would otherwise copy every text of a foreign document into the script.

#define VRX_XSL_HEAD                                                                         \
    L"<?xml version=\"1.0\" encoding=\"utf-8\"?>"                                            \
    L"<xsl:stylesheet version=\"1.0\" "                                                      \
    L"xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">"                                   \
    L"<xsl:output method=\"text\"/>"                                                         \
    L"<xsl:template match=\"/\"><xsl:apply-templates select=\"VRXFilters\"/></xsl:template>" \
    L"<xsl:template name=\"v\"><xsl:param name=\"t\" select=\"string(.)\"/>"                 \
    L"<xsl:choose><xsl:when test=\"contains($t,']]')\">"                                     \
    L"<xsl:value-of select=\"substring-before($t,']]')\"/>]\\x5D"                            \
    L"<xsl:call-template name=\"v\">"                                                        \
    L"<xsl:with-param name=\"t\" select=\"substring-after($t,']]')\"/>"                      \
    L"</xsl:call-template></xsl:when>"                                                       \
    L"<xsl:otherwise><xsl:value-of select=\"$t\"/></xsl:otherwise></xsl:choose>"             \
    L"</xsl:template>"

#define VRX_XSL_TAIL L"</xsl:stylesheet>"

// One rule template: the text before the rule text, the rule text, the text after it.
#define VRX_RULE(name, before, after) \
    L"<xsl:template "                 \
    L"match=\"" name L"\">" before L"<xsl:call-template name=\"v\"/>" after L"</xsl:template>"

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
#define VRX_APPLY_GROUP(prefix, suffix)                                    \
    VRX_APPLY(prefix L"Cont" suffix)                                       \
    VRX_APPLY(prefix L"ContRE" suffix) VRX_APPLY(prefix L"NotCont" suffix) \
        VRX_APPLY(prefix L"NotContRE" suffix)
#define VRX_APPLY_ALL(suffix)                                         \
    VRX_APPLY_GROUP(L"Subj", suffix)                                  \
    VRX_APPLY_GROUP(L"Body", suffix) VRX_APPLY_GROUP(L"Sndr", suffix) \
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

void SetNotValidating(IXMLDOMDocument2* document) {
    document->put_async(VARIANT_FALSE);
    document->put_validateOnParse(VARIANT_FALSE);
    document->put_resolveExternals(VARIANT_FALSE);
}

bool LoadStylesheet(IXMLDOMDocument2* stylesheet, const wchar_t* text) {
    Tessel::UniqueBstr source(::SysAllocString(text));
    if (!source) {
        return false;
    }
    VARIANT_BOOL loaded = VARIANT_FALSE;
    return stylesheet->loadXML(source.get(), &loaded) == S_OK && loaded == VARIANT_TRUE;
}

bool Transform(IXMLDOMDocument2* filters, IXMLDOMDocument2* stylesheet, Tessel::UniqueBstr& text) {
    BSTR output = nullptr;
    const HRESULT hr = filters->transformNode(stylesheet, &output);
    text = Tessel::UniqueBstr(output);
    return SUCCEEDED(hr);
}

// Stores the script as UTF-8 with one terminating zero byte, or clears the value for an empty
// one. False when the text cannot be converted or the node does not take it.
bool StoreScript(SettingsNode* user, const wchar_t* name, const Tessel::UniqueBstr& text) {
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

HRESULT WriteUserRuleScripts(IXMLDOMDocument2* filters, SettingsNode* user) {
    if (filters == nullptr || user == nullptr) {
        return E_FAIL;
    }
    UniqueXmlDocument stylesheet = CreateXmlDocument();
    if (!stylesheet) {
        return E_FAIL;
    }
    SetNotValidating(filters);
    SetNotValidating(stylesheet.get());

    bool stored = true;
    Tessel::UniqueBstr black;
    if (!LoadStylesheet(stylesheet.get(), kBlackListStylesheet) ||
        !Transform(filters, stylesheet.get(), black)) {
        return E_FAIL;
    }
    stored = StoreScript(user, kUserFiltersBlack, black) && stored;

    Tessel::UniqueBstr white;
    if (!LoadStylesheet(stylesheet.get(), kWhiteListStylesheet) ||
        !Transform(filters, stylesheet.get(), white)) {
        return E_FAIL;
    }
    stored = StoreScript(user, kUserFiltersWhite, white) && stored;
    return stored ? S_OK : E_FAIL;
}

}  // namespace VrxRunOnce
