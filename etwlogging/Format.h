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

}  // namespace internal
}  // namespace ETWLogging
