// ConvertUFilters: brings every user's filters document into the form the new version reads
// (escaped closing brackets, one "Charset" element per character-set name) and writes the user's
// black-list and white-list rule scripts from it.
#include "UserFilters.h"

#include <windows.h>
#include <msxml2.h>

#include <algorithm>
#include <cwchar>
#include <string>
#include <vector>

#include "ComApartment.h"
#include "RuleScripts.h"
#include "SettingsReads.h"
#include "VrxRunOnce.h"
#include "../../../support/UniqueAny.h"
#include "../../includes/VrxSettings.h"

namespace {

using Tessel::UniqueBstr;
using Tessel::UniqueComPtr;
using VrxRunOnce::BorrowedString;

constexpr const wchar_t* kAction = L"ConvertUFilters";

constexpr const wchar_t* kCharsetTag = L"Charset";
constexpr const wchar_t* kConvertedAttribute = L"c";
constexpr const wchar_t* kConvertedValue = L"y";

// IXMLDOMSelection; mingw's uuid library does not carry it.
const IID kIidXmlDomSelection = {
    0xAA634FC7, 0x5888, 0x44A7, {0xA2, 0x57, 0x3A, 0x47, 0x15, 0x0D, 0x3A, 0x0E}};

using UniqueNode = UniqueComPtr<IXMLDOMNode>;

// ---- Code pages ---------------------------------------------------------------------------------

struct CodePageCharsets {
    const wchar_t* codePage;
    const wchar_t* names[4];  // in order; unused slots are null
};

// "337" stands for US-ASCII (not its code page 20127): that is the key the filters were saved with.
const CodePageCharsets kCodePageCharsets[] = {
    {L"1256", {L"WINDOWS-1256", L"IBM864", L"X-MAC-ARABIC"}},
    {L"28596", {L"ISO-8859-6"}},
    {L"1257", {L"WINDOWS-1257", L"ISO-8859-13"}},
    {L"28594", {L"ISO-8859-4"}},
    {L"1250", {L"WINDOWS-1250", L"IBM852", L"X-MAC-CE"}},
    {L"28592", {L"ISO-8859-2"}},
    {L"936", {L"GB2312", L"X-GBK"}},
    {L"52936", {L"HZ-GB-2312"}},
    {L"54936", {L"GB18030"}},
    {L"950", {L"BIG5", L"BIG5-HKSCS", L"X-EUC-TW"}},
    {L"1251", {L"WINDOWS-1251", L"IBM855", L"ISO-IR-111", L"IBM866"}},
    {L"28595", {L"ISO-8859-5"}},
    {L"20866", {L"KOI8-R"}},
    {L"21866", {L"KOI8-U"}},
    {L"1253", {L"WINDOWS-1253"}},
    {L"28597", {L"ISO-8859-7"}},
    {L"1255", {L"WINDOWS-1255", L"ISO-8859-8-I", L"IBM862", L"X-MAC-HEBREW"}},
    {L"28598", {L"ISO-8859-8"}},
    {L"932", {L"SHIFT_JIS"}},
    {L"50220", {L"ISO-2022-JP"}},
    {L"51932", {L"EUC-JP"}},
    {L"949", {L"KS_C_5601-1987", L"X-JOHAB", L"X-WINDOWS-949"}},
    {L"51949", {L"EUC-KR"}},
    {L"28605", {L"ISO-8859-15"}},
    {L"874", {L"WINDOWS-874", L"ISO-8859-11", L"TIS-620"}},
    {L"1254", {L"WINDOWS-1254", L"IBM857"}},
    {L"28599", {L"ISO-8859-9"}},
    {L"65000", {L"UTF-7"}},
    {L"65001", {L"UTF-8"}},
    {L"337", {L"US-ASCII"}},
    {L"1258", {L"WINDOWS-1258", L"VISCII", L"X-VIET-TCVN5712", L"X-VIET-VPS"}},
    {L"1252", {L"WINDOWS-1252", L"IBM850"}},
    {L"28591", {L"ISO-8859-1"}},
};

void AppendCharsetNames(const std::wstring& codePage, std::vector<std::wstring>& names) {
    for (const CodePageCharsets& row : kCodePageCharsets) {
        if (codePage == row.codePage) {
            for (const wchar_t* name : row.names) {
                if (name != nullptr) {
                    names.emplace_back(name);
                }
            }
            return;
        }
    }
}

// ---- The document -------------------------------------------------------------------------------

VARIANT NodeTypeVariant(DOMNodeType type) {
    VARIANT value;
    ::VariantInit(&value);
    V_VT(&value) = VT_I4;
    V_I4(&value) = type;
    return value;
}

// The text of the first child of the selection's element at `position`, when that element is
// not converted yet (has no attribute "c") and has a readable first child.
bool ReadUnconvertedCodePages(IXMLDOMSelection* selection, long position, std::wstring& codePages) {
    UniqueNode element;
    if (FAILED(selection->get_item(position, element.put())) || !element) {
        return false;
    }
    UniqueComPtr<IXMLDOMNamedNodeMap> attributes;
    if (FAILED(element.get()->get_attributes(attributes.put())) || !attributes) {
        return false;
    }
    const UniqueBstr converted(::SysAllocString(kConvertedAttribute));
    UniqueNode mark;
    if (!converted || FAILED(attributes.get()->getNamedItem(converted.get(), mark.put())) || mark) {
        return false;
    }
    UniqueNode first;
    if (FAILED(element.get()->get_firstChild(first.put())) || !first) {
        return false;
    }
    BSTR raw = nullptr;
    const HRESULT read = first.get()->get_text(&raw);
    const UniqueBstr text(raw);
    if (FAILED(read)) {
        return false;
    }
    codePages.assign(text.get() != nullptr ? text.get() : L"", ::SysStringLen(text.get()));
    return true;
}

// Takes every element of the selection out of the document. Where the engine does not offer
// removeAll, each element is removed from its parent; they are collected first, since the
// selection may follow the document as it changes.
void RemoveSelected(IXMLDOMSelection* selection) {
    if (SUCCEEDED(selection->removeAll())) {
        return;
    }
    long count = 0;
    if (FAILED(selection->get_length(&count))) {
        return;
    }
    std::vector<UniqueNode> elements;
    for (long position = 0; position < count; ++position) {
        UniqueNode element;
        if (SUCCEEDED(selection->get_item(position, element.put())) && element) {
            elements.push_back(std::move(element));
        }
    }
    for (const UniqueNode& element : elements) {
        UniqueNode parent;
        UniqueNode removed;
        if (SUCCEEDED(element.get()->get_parentNode(parent.put())) && parent) {
            parent.get()->removeChild(element.get(), removed.put());
        }
    }
}

// Appends <Charset c="y"><![CDATA[name]]></Charset> to `root`. False when a step fails.
bool AppendCharsetElement(IXMLDOMDocument2* document, IXMLDOMElement* root,
                          const std::wstring& name) {
    const UniqueBstr tag(::SysAllocString(kCharsetTag));
    const UniqueBstr none(::SysAllocString(L""));
    const UniqueBstr attribute(::SysAllocString(kConvertedAttribute));
    const UniqueBstr value(::SysAllocString(kConvertedValue));
    const UniqueBstr text(::SysAllocStringLen(name.data(), static_cast<UINT>(name.size())));
    if (!tag || !none || !attribute || !value || !text) {
        return false;
    }
    UniqueNode node;
    UniqueComPtr<IXMLDOMElement> element;
    UniqueNode section;
    if (FAILED(document->createNode(NodeTypeVariant(NODE_ELEMENT), tag.get(), none.get(),
                                    node.put())) ||
        !node ||
        FAILED(node.get()->QueryInterface(VrxRunOnce::kIidXmlDomElement,
                                          reinterpret_cast<void**>(element.put()))) ||
        !element ||
        FAILED(document->createNode(NodeTypeVariant(NODE_CDATA_SECTION), none.get(), none.get(),
                                    section.put())) ||
        !section) {
        return false;
    }
    // The section's text goes in through nodeValue: some engines escape what put_text is given.
    UniqueNode appendedSection;
    UniqueNode appendedElement;
    return SUCCEEDED(section.get()->put_nodeValue(BorrowedString(text))) &&
           SUCCEEDED(element.get()->setAttribute(attribute.get(), BorrowedString(value))) &&
           SUCCEEDED(element.get()->appendChild(section.get(), appendedSection.put())) &&
           SUCCEEDED(root->appendChild(element.get(), appendedElement.put()));
}

// The new elements go to the root element, also when a comment or a processing instruction
// follows it at the top level of the document.
void AppendCharsetElements(IXMLDOMDocument2* document, const std::vector<std::wstring>& names) {
    UniqueComPtr<IXMLDOMElement> root;
    if (FAILED(document->get_documentElement(root.put())) || !root) {
        return;
    }
    for (const std::wstring& name : names) {
        if (!AppendCharsetElement(document, root.get(), name)) {
            return;
        }
    }
}

// ---- One user -----------------------------------------------------------------------------------

// Stores the document's text back as "UserFilters": the wide characters with their terminator.
// When the engine gives no text, nothing is stored: the user keeps the filters as they were,
// which a later run converts again, instead of losing them.
void StoreFiltersDocument(SettingsNode* user, IXMLDOMDocument2* document) {
    BSTR raw = nullptr;
    const HRESULT read = document->get_xml(&raw);
    const UniqueBstr xml(raw);
    const UINT length = ::SysStringLen(xml.get());
    if (FAILED(read) || length == 0) {
        return;
    }
    user->SetValue(VrxRunOnce::kUserFilters, xml.get(),
                   static_cast<DWORD>((length + 1) * sizeof(wchar_t)), 0);
}

}  // namespace

namespace VrxRunOnce {

bool MayDeclareDocumentType(const std::wstring& text) {
    constexpr const wchar_t* kWhiteSpace = L" \t\r\n";
    // A byte-order mark may lead the text.
    size_t at = text.compare(0, 1, L"\xFEFF") == 0 ? 1 : 0;
    while ((at = text.find_first_not_of(kWhiteSpace, at)) != std::wstring::npos) {
        const wchar_t* end = nullptr;
        if (text.compare(at, 4, L"<!--") == 0) {
            end = L"-->";
            at += 4;
        } else if (text.compare(at, 2, L"<?") == 0) {
            end = L"?>";
            at += 2;
        } else {
            // The root element's start tag, or something a declaration may hide in.
            return at + 1 >= text.size() || text[at] != L'<' || text[at + 1] == L'!' ||
                   text[at + 1] == L'/';
        }
        at = text.find(end, at);
        if (at == std::wstring::npos) {
            return true;
        }
        at += std::wcslen(end);
    }
    return true;
}

void ConvertFiltersOfUser(SettingsNode* user, CComApartment& apartment) {
    CParsedStylesheets stylesheets;
    ConvertFiltersOfUser(user, apartment, stylesheets);
}

void ConvertFiltersOfUser(SettingsNode* user, CComApartment& apartment,
                          CParsedStylesheets& stylesheets) {
    const std::wstring filters = ReadSettingString(user, kUserFilters);
    if (filters.empty()) {
        return;
    }
    const std::wstring escaped = EscapeClosingBrackets(filters);
    if (MayDeclareDocumentType(escaped)) {
        return;
    }
    bool initialisedCom = false;
    const UniqueXmlDocument document = CreateXmlDocument(&initialisedCom);
    if (initialisedCom) {
        apartment.Joined();
    }
    if (!document) {
        return;
    }
    const UniqueBstr source(::SysAllocStringLen(escaped.data(), static_cast<UINT>(escaped.size())));
    VARIANT_BOOL loaded = VARIANT_FALSE;
    SetSafeParsing(document.get());
    if (!source || document.get()->loadXML(source.get(), &loaded) != S_OK ||
        loaded != VARIANT_TRUE) {
        return;
    }
    ConvertCharsetElements(document.get());
    // The document is stored with its rule texts as the scripts get them, so that nothing made
    // from it later meets a "]]" that parsing brought together; a text that cannot be escaped
    // leaves the user's values as they were.
    if (!EscapeRuleTexts(document.get())) {
        return;
    }
    StoreFiltersDocument(user, document.get());
    WriteUserRuleScripts(document.get(), user, stylesheets);
}

std::vector<std::wstring> CharsetNamesFromCodePages(const std::wstring& codePages) {
    std::vector<std::wstring> names;
    size_t start = codePages.find_first_not_of(L';');
    while (start != std::wstring::npos) {
        const size_t end = std::min(codePages.find(L';', start), codePages.size());
        AppendCharsetNames(codePages.substr(start, end - start), names);
        start = codePages.find_first_not_of(L';', end);
    }
    return names;
}

HRESULT ConvertCharsetElements(IXMLDOMDocument2* document) {
    const UniqueBstr tag(::SysAllocString(kCharsetTag));
    UniqueComPtr<IXMLDOMNodeList> found;
    UniqueComPtr<IXMLDOMSelection> selection;
    if (document == nullptr || !tag ||
        FAILED(document->getElementsByTagName(tag.get(), found.put())) || !found ||
        FAILED(found.get()->QueryInterface(kIidXmlDomSelection,
                                           reinterpret_cast<void**>(selection.put()))) ||
        !selection) {
        return S_OK;
    }
    long count = 0;
    if (FAILED(selection.get()->get_length(&count))) {
        return S_OK;
    }
    selection.get()->reset();
    for (long position = 0; position < count; ++position) {
        std::wstring codePages;
        if (!ReadUnconvertedCodePages(selection.get(), position, codePages)) {
            continue;
        }
        RemoveSelected(selection.get());
        AppendCharsetElements(document, CharsetNamesFromCodePages(codePages));
        // Every "Charset" element that was found is gone now, and the new ones are converted:
        // nothing is left to visit, whether or not the selection follows the document.
        break;
    }
    return S_OK;
}

void ConvertUserFilters(Tessel::CFileValidator& validator) {
    SettingsUsers store;
    if (!OpenSettingsUsers(kAction, {625, 636, 643, 649, 658}, validator, store)) {
        return;
    }
    // Declared after the store, so that the apartment is left before the enumerator and the root
    // are released and the library that implements them is freed; the stylesheets go before the
    // apartment is left.
    CComApartment apartment;
    CParsedStylesheets stylesheets;
    ForEachSettingChild(*store.users.get(), [&apartment, &stylesheets](SettingsNode* user) {
        ConvertFiltersOfUser(user, apartment, stylesheets);
    });
}

}  // namespace VrxRunOnce

extern "C" int CALLBACK ConvertUFilters(HWND, HINSTANCE, LPSTR, int) {
    VrxRunOnce::ConvertUserFilters(Tessel::GetFileValidator());
    return 0;
}
