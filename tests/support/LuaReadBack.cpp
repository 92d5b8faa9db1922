#include "LuaReadBack.h"

#include <cstdlib>

#include "Files.h"
#include "support/UniqueAny.h"

namespace VrxTest {
namespace {

using Tessel::UniqueBstr;
using UniqueNode = Tessel::UniqueComPtr<IXMLDOMNode>;

std::wstring NameOf(IXMLDOMNode* node) {
    BSTR raw = nullptr;
    node->get_nodeName(&raw);
    const UniqueBstr name(raw);
    return std::wstring(name.get() != nullptr ? name.get() : L"", ::SysStringLen(name.get()));
}

// The string value of `node`: the values of the text and CDATA nodes below it, in order.
void AppendText(IXMLDOMNode* node, std::wstring& text) {
    UniqueNode child;
    for (node->get_firstChild(child.put()); child;) {
        DOMNodeType type = NODE_INVALID;
        child.get()->get_nodeType(&type);
        if (type == NODE_TEXT || type == NODE_CDATA_SECTION) {
            VARIANT value;
            ::VariantInit(&value);
            child.get()->get_nodeValue(&value);
            if (V_VT(&value) == VT_BSTR) {
                text.append(V_BSTR(&value), ::SysStringLen(V_BSTR(&value)));
            }
            ::VariantClear(&value);
        } else if (type == NODE_ELEMENT) {
            AppendText(child.get(), text);
        }
        UniqueNode next;
        child.get()->get_nextSibling(next.put());
        child = std::move(next);
    }
}

std::string Hex(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (const unsigned char byte : bytes) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 15];
    }
    return hex;
}

std::string Utf8(const std::wstring& text) {
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), size,
                          nullptr, nullptr);
    return utf8;
}

}  // namespace

std::vector<DocumentRule> RulesOf(IXMLDOMDocument2* document) {
    std::vector<DocumentRule> rules;
    Tessel::UniqueComPtr<IXMLDOMElement> root;
    if (FAILED(document->get_documentElement(root.put())) || !root) {
        return rules;
    }
    const UniqueBstr type(::SysAllocString(L"type"));
    UniqueNode child;
    for (root.get()->get_firstChild(child.put()); child;) {
        DOMNodeType kind = NODE_INVALID;
        child.get()->get_nodeType(&kind);
        if (kind == NODE_ELEMENT) {
            DocumentRule& rule = rules.emplace_back();
            rule.name = NameOf(child.get());
            Tessel::UniqueComPtr<IXMLDOMNamedNodeMap> attributes;
            UniqueNode mark;
            rule.typed = SUCCEEDED(child.get()->get_attributes(attributes.put())) && attributes &&
                         attributes.get()->getNamedItem(type.get(), mark.put()) == S_OK && mark;
            AppendText(child.get(), rule.text);
        }
        UniqueNode next;
        child.get()->get_nextSibling(next.put());
        child = std::move(next);
    }
    return rules;
}

unsigned RandomCaseCount(const char* variable, unsigned otherwise) {
    const char* wanted = std::getenv(variable);
    return wanted != nullptr ? static_cast<unsigned>(std::strtoul(wanted, nullptr, 10)) : otherwise;
}

CLuaReadBack::CLuaReadBack(const std::wstring& name) {
    const std::wstring folder = ExecutableFolder() + L"\\lua-read-back";
    MakeFolder(folder);
    m_path = folder + L"\\" + name + L".txt";
}

CLuaReadBack::~CLuaReadBack() {
    if (m_records.empty()) {
        ::DeleteFileW(m_path.c_str());
    } else {
        WriteTextFile(m_path, m_records);
    }
}

void CLuaReadBack::Add(const std::string& label, const std::vector<DocumentRule>& rules,
                       const std::string* black, const std::string* white) {
    m_records += "document " + label + "\n";
    for (const DocumentRule& rule : rules) {
        m_records +=
            "rule " + Utf8(rule.name) + (rule.typed ? " 1 " : " 0 ") + Hex(Utf8(rule.text)) + "\n";
    }
    for (const auto& [list, stored] : {std::pair{"black ", black}, std::pair{"white ", white}}) {
        m_records += list;
        m_records += stored != nullptr ? Hex(stored->substr(0, stored->find('\0'))) : "-";
        m_records += "\n";
    }
}

}  // namespace VrxTest
