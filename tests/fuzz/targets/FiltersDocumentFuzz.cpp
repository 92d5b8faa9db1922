// A user's filters document ("UserFilters", given here in UTF-8), converted as ConvertUFilters
// converts it: escaped, parsed by the platform's XML engine in-process, its "Charset" rule
// repaired, stored back, and made into the black-list and white-list rule scripts.
//
// What must hold, for the document given and again for the document stored from it (which a
// later run converts):
// - a document that is not converted leaves the user's values as they were;
// - the converted document's rule texts hold no "]]"; the stored document is well-formed,
//   declares no document type, and none of its rule texts holds "]]" either;
// - each script is stored as UTF-8 with one terminating zero byte and reads as the engine's Lua
//   (RuleScriptReader: the table constructors and calls the scripts are made of, nothing else);
// - the scripts hold one rule for each rule element of the converted document (made here by the
//   conversion's own steps), in the stylesheets' order, each with its element's text as its value
//   (a regular-expression rule as "((?i)<text>)").
// With VRX_FUZZ_SCRIPTS naming a folder, every script is also written there as
// "<digest>-<list>-<rules>.lua", for the replay to count its rules with the real Lua reader
// (tests/lua/rule_scripts.lua).
#include <windows.h>
#include <msxml2.h>
#include <objbase.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "RuleScriptReader.h"
#include "src/common/vrxrunonce/ComApartment.h"
#include "src/common/vrxrunonce/RuleScripts.h"
#include "src/common/vrxrunonce/UserFilters.h"
#include "support/FileSignature.h"
#include "support/UniqueAny.h"
#include "tests/support/RecordingSettingsNode.h"

namespace {

using Tessel::UniqueBstr;
using Tessel::UniqueComPtr;
using UniqueNode = UniqueComPtr<IXMLDOMNode>;

using CUserNode = VrxTest::RecordingNode;

void Convert(CUserNode& user) {
    static VrxRunOnce::CParsedStylesheets stylesheets;
    VrxRunOnce::CComApartment apartment;
    VrxRunOnce::ConvertFiltersOfUser(&user, apartment, stylesheets);
}

std::string Utf8(const std::wstring& text) {
    std::string utf8;
    VRX_FUZZ_CHECK(VrxRunOnce::ConvertToUtf8(text.data(), static_cast<UINT>(text.size()), utf8),
                   "a text without a UTF-8 form");
    return utf8;
}

std::wstring NodeName(IXMLDOMNode* node) {
    BSTR raw = nullptr;
    node->get_nodeName(&raw);
    const UniqueBstr name(raw);
    return std::wstring(name.get() != nullptr ? name.get() : L"", ::SysStringLen(name.get()));
}

bool HasNamespace(IXMLDOMNode* node) {
    BSTR raw = nullptr;
    node->get_namespaceURI(&raw);
    const UniqueBstr space(raw);
    return ::SysStringLen(space.get()) != 0;
}

bool HasTypeAttribute(IXMLDOMNode* node) {
    UniqueComPtr<IXMLDOMNamedNodeMap> attributes;
    UniqueNode type;
    const UniqueBstr name(::SysAllocString(L"type"));
    return SUCCEEDED(node->get_attributes(attributes.put())) && attributes &&
           SUCCEEDED(attributes.get()->getNamedItem(name.get(), type.put())) && type;
}

// The string value of an element: its text and CDATA descendants, in document order.
std::wstring StringValue(IXMLDOMNode* element) {
    std::wstring value;
    std::vector<UniqueNode> pending;
    UniqueNode child;
    element->get_lastChild(child.put());
    while (child || !pending.empty()) {
        if (!child) {
            child = std::move(pending.back());
            pending.pop_back();
        }
        DOMNodeType type = NODE_INVALID;
        child.get()->get_nodeType(&type);
        UniqueNode previous;
        child.get()->get_previousSibling(previous.put());
        if (type == NODE_TEXT || type == NODE_CDATA_SECTION) {
            VARIANT text;
            ::VariantInit(&text);
            child.get()->get_nodeValue(&text);
            if (V_VT(&text) == VT_BSTR) {
                value.insert(0, V_BSTR(&text), ::SysStringLen(V_BSTR(&text)));
            }
            ::VariantClear(&text);
        } else if (type == NODE_ELEMENT || type == NODE_ENTITY_REFERENCE) {
            UniqueNode last;
            child.get()->get_lastChild(last.put());
            if (previous) {
                pending.push_back(std::move(previous));
            }
            child = std::move(last);
            continue;
        }
        child = std::move(previous);
    }
    return value;
}

struct ExpectedRule {
    std::wstring text;
    bool regex;
};

// The rules of one list as the stylesheets write them: for a "VRXFilters" root that has a child
// element of the list (one without "type" for the black list, with it for the white list), its
// children of each rule name in the stylesheets' order, in document order within each name.
std::vector<ExpectedRule> ExpectedRules(IXMLDOMDocument2* document, bool white) {
    std::vector<ExpectedRule> rules;
    UniqueComPtr<IXMLDOMElement> root;
    if (FAILED(document->get_documentElement(root.put())) || !root ||
        NodeName(root.get()) != L"VRXFilters" || HasNamespace(root.get())) {
        return rules;
    }
    std::vector<UniqueNode> children;
    bool listed = false;
    UniqueNode child;
    root.get()->get_firstChild(child.put());
    while (child) {
        DOMNodeType type = NODE_INVALID;
        child.get()->get_nodeType(&type);
        UniqueNode next;
        child.get()->get_nextSibling(next.put());
        if (type == NODE_ELEMENT) {
            listed = listed || HasTypeAttribute(child.get()) == white;
            children.push_back(std::move(child));
        }
        child = std::move(next);
    }
    if (!listed) {
        return rules;
    }
    std::vector<std::pair<std::wstring, bool>> names;
    if (!white) {
        names.push_back({L"Charset", false});
    }
    for (const wchar_t* group : {L"Subj", L"Body", L"Sndr", L"Header", L"Recv"}) {
        for (const wchar_t* form : {L"Cont", L"ContRE", L"NotCont", L"NotContRE"}) {
            const std::wstring name = std::wstring(group) + form + (white ? L"Allow" : L"");
            names.push_back({name, std::wcsstr(form, L"RE") != nullptr});
        }
    }
    for (const auto& [name, regex] : names) {
        for (const UniqueNode& element : children) {
            if (NodeName(element.get()) == name && !HasNamespace(element.get())) {
                rules.push_back({StringValue(element.get()), regex});
            }
        }
    }
    return rules;
}

Tessel::UniqueComPtr<IXMLDOMDocument2> Parse(const std::wstring& text) {
    auto document = VrxRunOnce::CreateXmlDocument();
    VRX_FUZZ_CHECK(document, "no XML document can be made");
    VrxRunOnce::SetSafeParsing(document.get());
    const UniqueBstr source(::SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
    VARIANT_BOOL loaded = VARIANT_FALSE;
    if (document.get()->loadXML(source.get(), &loaded) != S_OK || loaded != VARIANT_TRUE) {
        document.reset();
    }
    return document;
}

void KeepForLua(const std::string& script, const std::string& list, size_t rules) {
    static const std::wstring folder = VrxFuzz::Environment(L"VRX_FUZZ_SCRIPTS");
    if (folder.empty()) {
        return;
    }
    const Tessel::Sha256Digest digest = Tessel::HashBytes(script.data(), script.size());
    wchar_t name[64];
    std::swprintf(name, 64, L"\\%02x%02x%02x%02x%02x%02x-%hs-%zu.lua", digest[0], digest[1],
                  digest[2], digest[3], digest[4], digest[5], list.c_str(), rules);
    VRX_FUZZ_CHECK(VrxFuzz::WriteBytes(folder + name, script.data(), script.size()),
                   "cannot keep a script");
}

void CheckScript(const CUserNode& user, const wchar_t* value, const char* list,
                 const std::vector<ExpectedRule>& expected) {
    const std::string* stored = user.Stored(value);
    if (stored == nullptr) {
        VRX_FUZZ_CHECK(expected.empty(), "no %s script for %zu rules", list, expected.size());
        return;
    }
    VRX_FUZZ_CHECK(!stored->empty() && stored->find('\0') == stored->size() - 1,
                   "the %s script is not one text with its terminator", list);
    const std::string script = stored->substr(0, stored->size() - 1);
    const VrxFuzz::RuleScript read = VrxFuzz::ReadRuleScript(script);
    VRX_FUZZ_CHECK(read.error.empty() && read.list == list, "the %s script does not read: %s\n%s",
                   list, read.error.c_str(), script.c_str());
    VRX_FUZZ_CHECK(read.rules.size() == expected.size(), "the %s script holds %zu rules, not %zu",
                   list, read.rules.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        const std::string text = Utf8(expected[i].text);
        const std::string want = expected[i].regex ? "((?i)" + text + ")" : text;
        VRX_FUZZ_CHECK(read.rules[i].regex == expected[i].regex && read.rules[i].test == want,
                       "%s rule %zu reads as \"%s\", its text is \"%s\"", list, i,
                       read.rules[i].test.c_str(), want.c_str());
    }
    KeepForLua(script, list, expected.size());
}

// The document as the conversion makes it, by the conversion's own steps: escaped, parsed, its
// "Charset" rule repaired, its rule texts escaped. Empty when the conversion leaves the user's
// values alone.
Tessel::UniqueComPtr<IXMLDOMDocument2> Converted(const std::wstring& filters) {
    const std::wstring escaped = VrxRunOnce::EscapeClosingBrackets(filters);
    if (filters.empty() || VrxRunOnce::MayDeclareDocumentType(escaped)) {
        return {};
    }
    auto document = Parse(escaped);
    if (document) {
        VrxRunOnce::ConvertCharsetElements(document.get());
        if (!VrxRunOnce::EscapeRuleTexts(document.get())) {
            document.reset();
        }
    }
    return document;
}

// Converts `filters` for a user and checks what is stored; returns the stored document.
std::wstring ConvertAndCheck(const std::wstring& filters) {
    CUserNode user;
    user.Hold(VrxRunOnce::kUserFilters, filters);
    const std::map<std::wstring, std::string> before = user.values;
    Convert(user);
    const auto converted = Converted(filters);
    if (!converted) {
        VRX_FUZZ_CHECK(user.values == before, "a document that is not converted changed values");
        return std::wstring();
    }
    const std::vector<ExpectedRule> black = ExpectedRules(converted.get(), false);
    const std::vector<ExpectedRule> white = ExpectedRules(converted.get(), true);
    for (const auto* rules : {&black, &white}) {
        for (const ExpectedRule& rule : *rules) {
            VRX_FUZZ_CHECK(rule.text.find(L"]]") == std::wstring::npos,
                           "an escaped rule text holds \"]]\": %s", Utf8(rule.text).c_str());
        }
    }
    CheckScript(user, VrxRunOnce::kUserFiltersBlack, "black", black);
    CheckScript(user, VrxRunOnce::kUserFiltersWhite, "white", white);

    const std::string* storedBytes = user.Stored(VrxRunOnce::kUserFilters);
    VRX_FUZZ_CHECK(
        storedBytes != nullptr && storedBytes->size() % 2 == 0 && storedBytes->size() >= 2,
        "the stored document is not wide text");
    const std::wstring stored(reinterpret_cast<const wchar_t*>(storedBytes->data()),
                              storedBytes->size() / 2 - 1);
    VRX_FUZZ_CHECK(!VrxRunOnce::MayDeclareDocumentType(stored),
                   "the stored document may declare a document type");
    const auto reread = Parse(stored);
    VRX_FUZZ_CHECK(reread, "the stored document does not parse");
    for (const bool typed : {false, true}) {
        for (const ExpectedRule& rule : ExpectedRules(reread.get(), typed)) {
            VRX_FUZZ_CHECK(rule.text.find(L"]]") == std::wstring::npos,
                           "a stored rule text holds \"]]\": %s", Utf8(rule.text).c_str());
        }
    }
    return stored;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const HRESULT joined = ::CoInitialize(nullptr);
    (void)joined;
    const int chars = ::MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<const char*>(data),
                                            static_cast<int>(size), nullptr, 0);
    std::wstring filters(static_cast<size_t>(chars), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<const char*>(data), static_cast<int>(size),
                          &filters[0], chars);
    filters.resize(std::wcslen(filters.c_str()));
    const std::wstring stored = ConvertAndCheck(filters);
    // A later run converts the stored document again.
    if (!stored.empty()) {
        ConvertAndCheck(stored);
    }
    return 0;
}
