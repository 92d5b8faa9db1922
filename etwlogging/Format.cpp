#include "Format.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>

namespace ETWLogging {
namespace internal {

bool FormatWideV(std::wstring& text, const wchar_t* format, va_list args) {
    text.clear();
    if (format == nullptr) {
        return false;
    }
    va_list measureArgs;
    va_copy(measureArgs, args);
    const int length = _vscwprintf(format, measureArgs);
    va_end(measureArgs);
    if (length < 0) {
        return false;
    }
    text.resize(static_cast<size_t>(length) + 1);
    va_list writeArgs;
    va_copy(writeArgs, args);
    const int written = _vsnwprintf(&text[0], text.size(), format, writeArgs);
    va_end(writeArgs);
    if (written < 0) {
        text.clear();
        return false;
    }
    text.resize(static_cast<size_t>(written));
    return true;
}

void FormatWideBounded(wchar_t* buffer, size_t capacity, size_t limit, const wchar_t* format,
                       va_list args) {
    if (buffer == nullptr || capacity == 0) {
        return;
    }
    if (limit >= capacity) {
        limit = capacity - 1;
    }
    buffer[0] = L'\0';
    if (format == nullptr) {
        return;
    }
    va_list writeArgs;
    va_copy(writeArgs, args);
    const int written = _vsnwprintf(buffer, limit, format, writeArgs);
    va_end(writeArgs);
    // _vsnwprintf does not terminate a result that fills the limit, and fails on a longer one.
    if (written < 0 || static_cast<size_t>(written) >= limit) {
        buffer[limit] = L'\0';
    }
}

int FormatWideTruncated(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args) {
    if (buffer == nullptr || capacity == 0) {
        return kFormatFailed;
    }
    buffer[0] = L'\0';
    if (format == nullptr) {
        return kFormatFailed;
    }
    va_list measureArgs;
    va_copy(measureArgs, args);
    const int length = _vscwprintf(format, measureArgs);
    va_end(measureArgs);
    if (length < 0) {
        return kFormatFailed;
    }
    FormatWideBounded(buffer, capacity, capacity - 1, format, args);
    return static_cast<size_t>(length) < capacity ? length : kFormatTruncated;
}

}  // namespace internal
}  // namespace ETWLogging
