#include "RuleScripts.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "ActionLog.h"

namespace VrxRunOnce {

const CLSID kClsidDomDocument = {
    0xF6D90F11, 0x9C73, 0x11D3, {0xB3, 0x2E, 0x00, 0xC0, 0x4F, 0x99, 0x0B, 0xB4}};
const IID kIidXmlDomDocument2 = {
    0x2933BF95, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
const IID kIidXmlDomElement = {
    0x2933BF86, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

// ---- The stylesheets ------------------------------------------------------------------------
//
// The filter engine reads a table constructor: one table per rule, each rule's string between
// the long-string brackets "[[" and "]]" (see "The rules' strings" below for the rules whose text
// needs another form). The template for "/" looks only at a "VRXFilters" root: the built-in
// templates would otherwise copy every text of a foreign document into the script.

#define VRX_XSL_HEAD                                       \
    L"<?xml version=\"1.0\" encoding=\"utf-8\"?>"          \
    L"<xsl:stylesheet version=\"1.0\" "                    \
    L"xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">" \
    L"<xsl:output method=\"text\"/>"                       \
    L"<xsl:template match=\"/\"><xsl:apply-templates select=\"VRXFilters\"/></xsl:template>"

#define VRX_XSL_TAIL L"</xsl:stylesheet>"

// The attribute that carries a rule's whole string literal where the brackets of the string
// templates below would not read back as the rule's text.
#define VRX_STRING_ATTRIBUTE L"script-string"

// A rule's string, by one of two named templates: "text" writes "[[" text "]]", "regex" writes
// "[[((?i)" text ")]]"; a rule with the attribute gets the attribute's value instead. Called by
// name: matching a template for each rule would cost a fifth of the transform.
#define VRX_STRING_TEMPLATE(name, open, close) \
    L"<xsl:template name=\"" name L"\"><xsl:choose>"                                          \
    L"<xsl:when test=\"@" VRX_STRING_ATTRIBUTE L"\">"                                        \
    L"<xsl:value-of select=\"@" VRX_STRING_ATTRIBUTE L"\"/></xsl:when><xsl:otherwise>" open \
    L"<xsl:value-of select=\".\"/>" close L"</xsl:otherwise></xsl:choose></xsl:template>"
#define VRX_STRING_TEMPLATES \
    VRX_STRING_TEMPLATE(L"text", L"[[", L"]]") VRX_STRING_TEMPLATE(L"regex", L"[[((?i)", L")]]")

// One rule template: the text before the rule's string, the string's template, the text after it.
#define VRX_RULE(name, before, string, after) \
    L"<xsl:template "                         \
    L"match="                                 \
    L"\"" name L"\">" before L"<xsl:call-template name=\"" string L"\"/>" after L"</xsl:template>"

#define VRX_CONT(name, part) VRX_RULE(name, L"{" part L", test=", L"text", L"},")
#define VRX_CONT_RE(name, part) VRX_RULE(name, L"{" part L", test=Regex.new(", L"regex", L")},")
#define VRX_NOT_CONT(name, part) \
    VRX_RULE(name, L"{op=\"NOT\",params={{" part L", test=", L"text", L"}}},")
#define VRX_NOT_CONT_RE(name, part) \
    VRX_RULE(name, L"{op=\"NOT\",params={{" part L", test=Regex.new(", L"regex", L")}}},")

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
    VRX_RULE(L"Charset", L"{part=NodeType.UsedCharset(),test=", L"text", L"},")
    VRX_ALL_GROUPS(L"")
    VRX_STRING_TEMPLATES
    VRX_XSL_TAIL;

const wchar_t kWhiteListStylesheet[] =
    VRX_XSL_HEAD
    L"<xsl:template match=\"VRXFilters\">"
    L"<xsl:if test=\"count(/VRXFilters/*[@type]) &gt; 0\">"
    L"white={op=\"OR\",params={"
    VRX_APPLY_ALL(L"Allow")
    L"}};</xsl:if></xsl:template>"
    VRX_ALL_GROUPS(L"Allow")
    VRX_STRING_TEMPLATES
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

// ---- Rule texts -------------------------------------------------------------------------------

DOMNodeType TypeOf(IXMLDOMNode* node) {
    DOMNodeType type = NODE_INVALID;
    return SUCCEEDED(node->get_nodeType(&type)) ? type : NODE_INVALID;
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

// The text of one rule element as the stylesheets write it, its string value: the values of the
// text and CDATA nodes below it, in document order. Adjacent sections, character references
// and nested elements split it into pieces anywhere.
struct RuleText {
    std::vector<UniqueNode> nodes;
    std::vector<std::wstring> pieces;
};

// False when a node of the text cannot be read.
bool ReadRuleText(IXMLDOMElement* rule, RuleText& text) {
    UniqueNode node;
    int depth = 1;
    rule->get_firstChild(node.put());
    while (node) {
        const DOMNodeType type = TypeOf(node.get());
        if (type == NODE_TEXT || type == NODE_CDATA_SECTION) {
            VARIANT value;
            ::VariantInit(&value);
            if (FAILED(node.get()->get_nodeValue(&value)) || V_VT(&value) != VT_BSTR) {
                ::VariantClear(&value);
                return false;
            }
            text.pieces.emplace_back(V_BSTR(&value), ::SysStringLen(V_BSTR(&value)));
            ::VariantClear(&value);
            node.get()->AddRef();
            text.nodes.emplace_back(node.get());
        }
        node = NextInDocumentOrder(std::move(node), depth);
    }
    return true;
}

std::wstring Joined(const std::vector<std::wstring>& pieces) {
    std::wstring text;
    for (const std::wstring& piece : pieces) {
        text += piece;
    }
    return text;
}

// The escape of a rule text, done on the whole text and handed back piece by piece, so that a
// pair split between two pieces is found too: every "]]\x3E" becomes "]\x5D>", then every
// remaining "]]" (pairs taken from the left) becomes "]\x5D", the regular-expression escape of
// "]". What it gives holds no "]]" and passes through it unchanged.
std::vector<std::wstring> EscapedPieces(const std::vector<std::wstring>& pieces) {
    const std::wstring text = Joined(pieces);
    if (text.find(L"]]") == std::wstring::npos) {
        return pieces;
    }
    // What each character of the text becomes.
    enum class Becomes : char { Itself, Escape, GreaterThan, Nothing };
    std::vector<Becomes> becomes(text.size(), Becomes::Itself);
    const std::wstring pairBeforeGreaterThan = L"]]\\x3E";
    for (size_t at = text.find(pairBeforeGreaterThan); at != std::wstring::npos;
         at = text.find(pairBeforeGreaterThan, at + pairBeforeGreaterThan.size())) {
        becomes[at + 1] = Becomes::Escape;
        becomes[at + 2] = Becomes::GreaterThan;
        std::fill(&becomes[at + 3], &becomes[at + pairBeforeGreaterThan.size()], Becomes::Nothing);
    }
    // In each run of brackets left as they are, every second one is escaped.
    size_t run = 0;
    for (size_t at = 0; at < text.size(); ++at) {
        const bool bracket = text[at] == L']' && becomes[at] == Becomes::Itself;
        run = bracket ? run + 1 : 0;
        if (bracket && run % 2 == 0) {
            becomes[at] = Becomes::Escape;
        }
    }
    std::vector<std::wstring> escaped;
    size_t at = 0;
    for (const std::wstring& piece : pieces) {
        std::wstring& out = escaped.emplace_back();
        for (const size_t end = at + piece.size(); at < end; ++at) {
            switch (becomes[at]) {
                case Becomes::Itself:
                    out += text[at];
                    break;
                case Becomes::Escape:
                    out += L"\\x5D";
                    break;
                case Becomes::GreaterThan:
                    out += L'>';
                    break;
                case Becomes::Nothing:
                    break;
            }
        }
    }
    return escaped;
}

using UniqueElement = Tessel::UniqueComPtr<IXMLDOMElement>;

// Appends `node` to `rules` when it is an element.
void AppendElement(IXMLDOMNode* node, std::vector<UniqueElement>& rules) {
    UniqueElement element;
    if (SUCCEEDED(
            node->QueryInterface(kIidXmlDomElement, reinterpret_cast<void**>(element.put()))) &&
        element) {
        rules.push_back(std::move(element));
    }
}

// The rules (element children of the root element) for which the XPath predicate `condition`
// holds, in document order, as the engine selects them. False when it cannot. The document's
// selection language is left as it was.
bool SelectRules(IXMLDOMDocument2* document, const wchar_t* condition,
                 std::vector<UniqueElement>& rules) {
    const UniqueBstr language(::SysAllocString(L"SelectionLanguage"));
    const UniqueBstr xpath(::SysAllocString(L"XPath"));
    const UniqueBstr query(::SysAllocString((std::wstring(L"/*/*[") + condition + L"]").c_str()));
    VARIANT previous;
    ::VariantInit(&previous);
    if (!language || !xpath || !query || FAILED(document->getProperty(language.get(), &previous))) {
        ::VariantClear(&previous);
        return false;
    }
    Tessel::UniqueComPtr<IXMLDOMNodeList> found;
    const bool selected = SUCCEEDED(document->setProperty(language.get(), BorrowedString(xpath))) &&
                          SUCCEEDED(document->selectNodes(query.get(), found.put())) && found;
    document->setProperty(language.get(), previous);
    ::VariantClear(&previous);
    if (!selected) {
        return false;
    }
    for (UniqueNode rule; SUCCEEDED(found.get()->nextNode(rule.put())) && rule;) {
        AppendElement(rule.get(), rules);
    }
    return true;
}

// The rules for which `condition` holds. The engine selects them in one call, where visiting
// every rule would take several calls on the platform's document objects per node, and few
// rules need anything. Every rule where the engine cannot select.
std::vector<UniqueElement> RulesWhere(IXMLDOMDocument2* document, const wchar_t* condition) {
    std::vector<UniqueElement> rules;
    if (SelectRules(document, condition, rules)) {
        return rules;
    }
    rules.clear();
    UniqueElement root;
    UniqueNode rule;
    if (SUCCEEDED(document->get_documentElement(root.put())) && root) {
        root.get()->get_firstChild(rule.put());
    }
    while (rule) {
        AppendElement(rule.get(), rules);
        UniqueNode next;
        rule.get()->get_nextSibling(next.put());
        rule = std::move(next);
    }
    return rules;
}

// A rule whose text holds a pair for the escape.
#define VRX_HOLDS_PAIR L"contains(., ']]')"

// ---- The rules' strings -----------------------------------------------------------------------
//
// Lua reads a long string "[[" ... "]]" up to the first "]]", drops a newline right after the
// opening bracket, and turns every end of line inside it ("\r", "\n", "\r\n", "\n\r") into "\n".
// So "[[" text "]]" reads back as the text only when the text holds no "]]" (the escape sees to
// that), does not end in "]", holds no "\r" and does not begin with a newline. Any other rule gets
// the attribute "script-string" with a literal that Lua reads back exactly:
//  - a long bracket of the lowest level n whose closer ("]" n×"=" "]") appears neither in the
//    content nor across its end (a content ending in "]" n×"="): "[=[" ... "]=]" for a text that
//    ends in "]". The lowest level keeps the script closest to what the engine has always read.
//    A content that begins with a newline gets one more after the opening bracket, for Lua to
//    drop.
//  - for a text that holds "\r", which no long bracket can carry, a quoted string with "\\",
//    "\"", "\r" and "\n" written as escapes; named escapes, since a decimal one would run into a
//    digit that follows it.
// The content is what the template writes between its brackets: the text, or "((?i)" text ")"
// for a regular expression, whose closing parenthesis keeps a text ending in "]" from touching
// the closer.

constexpr const wchar_t* kStringAttribute = VRX_STRING_ATTRIBUTE;

// The lowest level n for which "]" n×"=" "]" first appears in content + closer at the closer.
size_t LowestLongBracketLevel(const std::wstring& content) {
    std::string taken;  // one byte a level, nonzero where the content would close it
    const auto take = [&taken](size_t level) {
        if (taken.size() <= level) {
            taken.resize(level + 1, '\0');
        }
        taken[level] = 1;
    };
    for (size_t at = content.find(L']'); at != std::wstring::npos;
         at = content.find(L']', at + 1)) {
        const size_t end = content.find_first_not_of(L'=', at + 1);
        if (end == std::wstring::npos) {
            take(content.size() - at - 1);  // the closer's first bracket would end it
        } else if (content[end] == L']') {
            take(end - at - 1);
        }
    }
    const size_t free = taken.find('\0');
    return free != std::string::npos ? free : taken.size();
}

std::wstring QuotedLiteral(const std::wstring& content) {
    std::wstring literal = L"\"";
    for (const wchar_t c : content) {
        const wchar_t* escape = c == L'\\'   ? L"\\\\"
                                : c == L'"'  ? L"\\\""
                                : c == L'\r' ? L"\\r"
                                : c == L'\n' ? L"\\n"
                                             : nullptr;
        if (escape != nullptr) {
            literal += escape;
        } else {
            literal += c;
        }
    }
    return literal + L"\"";
}

// The literal of a rule's string, or an empty text where the template's "[[" ... "]]" around
// the document's own text reads back as `content` (which `escaped` says differs from it).
std::wstring StringLiteral(const std::wstring& content, bool escaped) {
    if (content.find(L'\r') != std::wstring::npos) {
        return QuotedLiteral(content);
    }
    const size_t level = LowestLongBracketLevel(content);
    const bool newline = !content.empty() && content[0] == L'\n';
    if (level == 0 && !newline && !escaped) {
        return std::wstring();
    }
    std::wstring literal;
    literal.reserve(content.size() + 2 * level + 5);
    literal.append(1, L'[').append(level, L'=').append(newline ? L"[\n" : L"[");
    return literal.append(content).append(1, L']').append(level, L'=').append(1, L']');
}

// Whether the stylesheets write the rule as a regular expression: the forms "ContRE" and
// "NotContRE" of both lists.
bool IsRegexRule(IXMLDOMElement* rule) {
    BSTR raw = nullptr;
    rule->get_nodeName(&raw);
    const UniqueBstr name(raw);
    const std::wstring text(name.get() != nullptr ? name.get() : L"");
    const auto endsWith = [&text](const std::wstring& end) {
        return text.size() >= end.size() &&
               text.compare(text.size() - end.size(), end.size(), end) == 0;
    };
    return endsWith(L"ContRE") || endsWith(L"ContREAllow");
}

// The rules that may need a string of their own or carry the attribute: those whose text holds
// "]]", ends in "]", begins with a newline or holds "\r".
constexpr const wchar_t* kMayNeedString =
    L"@" VRX_STRING_ATTRIBUTE L" or " VRX_HOLDS_PAIR
    L" or substring(., string-length(.)) = ']' or starts-with(., '\n') or contains(., '\r')";

// The strings of a document's rules for its transforms. A rule whose own text and brackets would
// not read back as its escaped text gets the attribute with its literal; every other rule loses
// an attribute of that name that the document brought, which the stylesheets would otherwise
// write into the script as it is. The attributes set here go again with the object.
class CRuleStrings {
public:
    CRuleStrings() : m_attribute(::SysAllocString(kStringAttribute)) {}
    CRuleStrings(const CRuleStrings&) = delete;
    CRuleStrings& operator=(const CRuleStrings&) = delete;
    ~CRuleStrings() {
        for (const UniqueElement& rule : m_marked) {
            rule.get()->removeAttribute(m_attribute.get());
        }
    }

    // False when a rule's text cannot be read, or its attribute not set or removed.
    bool Prepare(IXMLDOMDocument2* filters) {
        if (!m_attribute) {
            return false;
        }
        for (const UniqueElement& rule : RulesWhere(filters, kMayNeedString)) {
            if (!PrepareRule(rule.get())) {
                return false;
            }
        }
        return true;
    }

private:
    bool PrepareRule(IXMLDOMElement* rule) {
        RuleText text;
        if (!ReadRuleText(rule, text)) {
            return false;
        }
        const std::vector<std::wstring> pieces = EscapedPieces(text.pieces);
        std::wstring content = Joined(pieces);
        if (IsRegexRule(rule)) {
            content.insert(0, L"((?i)").append(L")");
        }
        const std::wstring literal = StringLiteral(content, pieces != text.pieces);
        if (literal.empty()) {
            return RemoveBroughtString(rule);
        }
        const UniqueBstr value(
            ::SysAllocStringLen(literal.data(), static_cast<UINT>(literal.size())));
        if (!value || FAILED(rule->setAttribute(m_attribute.get(), BorrowedString(value)))) {
            return false;
        }
        rule->AddRef();
        m_marked.emplace_back(rule);
        return true;
    }

    bool RemoveBroughtString(IXMLDOMElement* rule) {
        VARIANT value;
        ::VariantInit(&value);
        const HRESULT read = rule->getAttribute(m_attribute.get(), &value);
        const bool present = read == S_OK && V_VT(&value) != VT_NULL;
        ::VariantClear(&value);
        return SUCCEEDED(read) && (!present || SUCCEEDED(rule->removeAttribute(m_attribute.get())));
    }

    UniqueBstr m_attribute;
    std::vector<UniqueElement> m_marked;
};

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

VARIANT BorrowedString(const UniqueBstr& text) {
    VARIANT value;
    ::VariantInit(&value);
    V_VT(&value) = VT_BSTR;
    V_BSTR(&value) = text.get();
    return value;
}

bool EscapeRuleTexts(IXMLDOMDocument2* document) {
    if (document == nullptr) {
        return false;
    }
    for (const UniqueElement& rule : RulesWhere(document, VRX_HOLDS_PAIR)) {
        RuleText text;
        if (!ReadRuleText(rule.get(), text)) {
            return false;
        }
        const std::vector<std::wstring> escaped = EscapedPieces(text.pieces);
        for (size_t piece = 0; piece < escaped.size(); ++piece) {
            if (escaped[piece] == text.pieces[piece]) {
                continue;
            }
            const UniqueBstr value(::SysAllocStringLen(escaped[piece].data(),
                                                       static_cast<UINT>(escaped[piece].size())));
            if (!value || FAILED(text.nodes[piece].get()->put_nodeValue(BorrowedString(value)))) {
                return false;
            }
        }
    }
    return true;
}

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
    CRuleStrings strings;
    if (!strings.Prepare(filters)) {
        return E_FAIL;
    }

    bool stored = true;
    UniqueBstr black;
    IXMLDOMDocument2* blackSheet = stylesheets.Black();
    if (blackSheet == nullptr || !Transform(filters, blackSheet, kBlackList, black)) {
        return E_FAIL;
    }
    stored = StoreScript(user, kUserFiltersBlack, black) && stored;

    UniqueBstr white;
    IXMLDOMDocument2* whiteSheet = stylesheets.White();
    if (whiteSheet == nullptr || !Transform(filters, whiteSheet, kWhiteList, white)) {
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
