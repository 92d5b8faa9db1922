#include "tools/vrxconf/Console.h"

#include <string>

namespace VrxConf {
namespace {

void WriteLine(DWORD stream, const std::wstring& text) {
    const HANDLE handle = ::GetStdHandle(stream);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return;
    }
    const std::wstring line = text + L"\r\n";
    DWORD mode = 0;
    DWORD written = 0;
    if (::GetConsoleMode(handle, &mode)) {
        ::WriteConsoleW(handle, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        return;
    }
    UINT codePage = ::GetConsoleOutputCP();
    if (codePage == 0) {
        codePage = CP_OEMCP;
    }
    const int size = ::WideCharToMultiByte(codePage, 0, line.data(), static_cast<int>(line.size()),
                                           nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        return;
    }
    std::string bytes(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(codePage, 0, line.data(), static_cast<int>(line.size()), &bytes[0], size,
                          nullptr, nullptr);
    ::WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

}  // namespace

void PrintLine(const std::wstring& text) {
    WriteLine(STD_OUTPUT_HANDLE, text);
}

void PrintErrorLine(const std::wstring& text) {
    WriteLine(STD_ERROR_HANDLE, text);
}

int Fail(const std::wstring& message, int exitCode) {
    PrintErrorLine(L"vrxconf: " + message);
    return exitCode;
}

std::wstring Quoted(const std::wstring& text) {
    return L"\"" + text + L"\"";
}

std::wstring ErrorText(DWORD error) {
    wchar_t message[512] = {};
    DWORD chars = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, error, 0, message, ARRAYSIZE(message), nullptr);
    while (chars > 0 && (message[chars - 1] == L'\n' || message[chars - 1] == L'\r' ||
                         message[chars - 1] == L' ')) {
        message[--chars] = L'\0';
    }
    const std::wstring code = L"(" + std::to_wstring(error) + L")";
    return chars > 0 ? std::wstring(message) + L" " + code : L"error " + code;
}

}  // namespace VrxConf
