// printf-style formatting of wide text with the run time's own rules (%s takes a wide string).
#pragma once

#include <cstdarg>
#include <string>

namespace ETWLogging {
namespace internal {

// Formats into `text`. Returns false, leaving `text` empty, when the format is null or the run
// time rejects it.
bool FormatWideV(std::wstring& text, const wchar_t* format, va_list args);

// Formats into a fixed buffer of `capacity` characters, writing at most `limit` characters and
// always terminating; a longer or failed result is cut at `limit`.
void FormatWideBounded(wchar_t* buffer, size_t capacity, size_t limit, const wchar_t* format,
                       va_list args);

// Results of FormatWideTruncated besides the count of characters written.
constexpr int kFormatTruncated = -1;
constexpr int kFormatFailed = -2;

// Formats into a fixed buffer of `capacity` characters (at least 1). Returns the characters
// written when the text fits with its terminator; kFormatTruncated when it was cut to its first
// capacity - 1 characters, which are terminated; kFormatFailed, leaving an empty string, when the
// format is null or refused.
int FormatWideTruncated(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args);

}  // namespace internal
}  // namespace ETWLogging
