#include "tools/vrxconf/Arguments.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cwchar>
#include <cwctype>

#include "tools/vrxconf/Console.h"

namespace VrxConf {
namespace {

struct TypeEntry {
    const wchar_t* option;
    DWORD type;
    const wchar_t* name;
};
constexpr TypeEntry kTypes[] = {
    {L"dword", REG_DWORD, L"REG_DWORD"},
    {L"qword", REG_QWORD, L"REG_QWORD"},
    {L"sz", REG_SZ, L"REG_SZ"},
    {L"multi_sz", REG_MULTI_SZ, L"REG_MULTI_SZ"},
    {L"binary", REG_BINARY, L"REG_BINARY"},
    {nullptr, REG_EXPAND_SZ, L"REG_EXPAND_SZ"},
};

bool StartsWithNoCase(const std::wstring& text, const wchar_t* prefix) {
    const size_t length = std::wcslen(prefix);
    return text.size() >= length && ::_wcsnicmp(text.c_str(), prefix, length) == 0;
}

std::wstring Hex(ULONGLONG value, int digits) {
    wchar_t text[24] = {};
    std::swprintf(text, ARRAYSIZE(text), L"0x%0*llX", digits, value);
    return text;
}

void AppendBytes(std::vector<BYTE>& bytes, const void* data, size_t size) {
    const BYTE* begin = static_cast<const BYTE*>(data);
    bytes.insert(bytes.end(), begin, begin + size);
}

void AppendTerminatedText(std::vector<BYTE>& bytes, const std::wstring& text) {
    AppendBytes(bytes, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
}

bool ParseHexBytes(const std::wstring& text, std::vector<BYTE>& bytes) {
    if (text.empty() || text.size() % 2 != 0) {
        return false;
    }
    for (size_t i = 0; i < text.size(); i += 2) {
        if (!std::iswxdigit(text[i]) || !std::iswxdigit(text[i + 1])) {
            return false;
        }
        bytes.push_back(static_cast<BYTE>(std::wcstoul(text.substr(i, 2).c_str(), nullptr, 16)));
    }
    return true;
}

// The strings of a REG_MULTI_SZ value's UTF-16 bytes (`list`), or the one text of a REG_SZ,
// empty or not.
std::vector<std::wstring> StringsOf(const std::vector<BYTE>& bytes, bool list) {
    std::wstring all(bytes.size() / sizeof(wchar_t), L'\0');
    if (!all.empty()) {
        std::memcpy(&all[0], bytes.data(), all.size() * sizeof(wchar_t));
    }
    std::vector<std::wstring> strings;
    size_t at = 0;
    do {
        const size_t end = std::min(all.find(L'\0', at), all.size());
        if (list && end == at) {
            break;
        }
        strings.push_back(all.substr(at, end - at));
        at = end + 1;
    } while (list && at < all.size());
    return strings;
}

}  // namespace

std::wstring CommandLine::Option(const wchar_t* name, const wchar_t* fallback) const {
    const auto found = options.find(name);
    return found != options.end() ? found->second : std::wstring(fallback);
}

bool ParseCommandLine(int argc, const wchar_t* const* argv, CommandLine& line,
                      std::wstring& error) {
    for (int i = 1; i < argc; ++i) {
        const std::wstring argument = argv[i];
        if (argument.rfind(L"--", 0) != 0) {
            line.positional.push_back(argument);
            continue;
        }
        if (i + 1 >= argc) {
            error = L"the option " + argument + L" needs a value";
            return false;
        }
        if (!line.options.emplace(argument, argv[++i]).second) {
            error = L"the option " + argument + L" is given twice";
            return false;
        }
    }
    return true;
}

bool CheckOptions(const CommandLine& line, std::initializer_list<const wchar_t*> allowed,
                  std::wstring& error) {
    for (const auto& option : line.options) {
        bool known = false;
        for (const wchar_t* name : allowed) {
            known = known || option.first == name;
        }
        if (!known) {
            error = L"this command takes no option " + option.first;
            return false;
        }
    }
    return true;
}

bool ParseView(const CommandLine& line, REGSAM& view, std::wstring& error) {
    const std::wstring text = line.Option(L"--view", L"32");
    if (text == L"32" || text == L"64") {
        view = text == L"32" ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
        return true;
    }
    error = L"--view takes 32 or 64, not " + Quoted(text);
    return false;
}

const wchar_t* ViewName(REGSAM view) {
    return view == KEY_WOW64_64KEY ? L"64-bit view" : L"32-bit view";
}

bool SplitMachineKeyPath(const std::wstring& path, std::wstring& subKey) {
    for (const wchar_t* root : {L"HKLM\\", L"HKEY_LOCAL_MACHINE\\"}) {
        if (StartsWithNoCase(path, root) && path.size() > std::wcslen(root)) {
            subKey = path.substr(std::wcslen(root));
            return subKey.find(L"\\\\") == std::wstring::npos && subKey.back() != L'\\';
        }
    }
    return false;
}

bool ParseNumber(const std::wstring& text, ULONGLONG max, ULONGLONG& value) {
    const bool hex = StartsWithNoCase(text, L"0x");
    const std::wstring digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.size() > 20) {
        return false;
    }
    for (const wchar_t digit : digits) {
        if (hex ? !std::iswxdigit(digit) : !std::iswdigit(digit)) {
            return false;
        }
    }
    errno = 0;
    value = std::wcstoull(digits.c_str(), nullptr, hex ? 16 : 10);
    return errno == 0 && value <= max;
}

bool ParseTypeName(const std::wstring& name, DWORD& type) {
    for (const TypeEntry& entry : kTypes) {
        if (entry.option != nullptr && name == entry.option) {
            type = entry.type;
            return true;
        }
    }
    return false;
}

std::wstring TypeName(DWORD type) {
    for (const TypeEntry& entry : kTypes) {
        if (entry.type == type) {
            return entry.name;
        }
    }
    return L"type " + std::to_wstring(type);
}

bool ParseValue(DWORD type, const std::vector<std::wstring>& texts, RegistryValue& value,
                std::wstring& error) {
    value = RegistryValue{type, {}};
    if (texts.empty() || (type != REG_MULTI_SZ && texts.size() != 1)) {
        error = type == REG_MULTI_SZ ? L"give one or more strings" : L"give exactly one value";
        return false;
    }
    const std::wstring& text = texts.front();
    ULONGLONG number = 0;
    switch (type) {
        case REG_DWORD:
        case REG_QWORD: {
            const bool dword = type == REG_DWORD;
            if (!ParseNumber(text, dword ? MAXDWORD : ~0ULL, number)) {
                error = Quoted(text) + L" is not a " + (dword ? L"32" : L"64") +
                        L"-bit number (decimal, or hexadecimal after 0x)";
                return false;
            }
            AppendBytes(value.bytes, &number, dword ? sizeof(DWORD) : sizeof(ULONGLONG));
            return true;
        }
        case REG_SZ:
            AppendTerminatedText(value.bytes, text);
            return true;
        case REG_MULTI_SZ:
            for (const std::wstring& string : texts) {
                if (string.empty()) {
                    error = L"a multi-string cannot hold an empty string";
                    return false;
                }
                AppendTerminatedText(value.bytes, string);
            }
            AppendTerminatedText(value.bytes, L"");
            return true;
        case REG_BINARY:
            if (!ParseHexBytes(text, value.bytes)) {
                error = Quoted(text) + L" is not a run of hexadecimal byte pairs (e.g. 01ff)";
                return false;
            }
            return true;
        default:
            error = L"values of " + TypeName(type) + L" cannot be written";
            return false;
    }
}

std::wstring DescribeValue(const RegistryValue& value) {
    std::wstring text = TypeName(value.type);
    ULONGLONG number = 0;
    switch (value.type) {
        case REG_DWORD:
        case REG_QWORD:
            if (value.bytes.size() == (value.type == REG_DWORD ? 4u : 8u)) {
                std::memcpy(&number, value.bytes.data(), value.bytes.size());
                return text + L" " + std::to_wstring(number) + L" (" +
                       Hex(number, static_cast<int>(value.bytes.size() * 2)) + L")";
            }
            break;
        case REG_SZ:
        case REG_EXPAND_SZ:
        case REG_MULTI_SZ:
            for (const std::wstring& string : StringsOf(value.bytes, value.type == REG_MULTI_SZ)) {
                text += L" " + Quoted(string);
            }
            return text;
        default:
            break;
    }
    text += L" (" + std::to_wstring(value.bytes.size()) + L" bytes) ";
    for (const BYTE byte : value.bytes) {
        wchar_t pair[4] = {};
        std::swprintf(pair, ARRAYSIZE(pair), L"%02x", byte);
        text += pair;
    }
    return text;
}

}  // namespace VrxConf
