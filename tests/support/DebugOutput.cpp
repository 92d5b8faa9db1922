#include "DebugOutput.h"

#include <mutex>

namespace VrxTest {
namespace {

std::mutex g_lock;
std::vector<std::wstring> g_lines;

LONG CALLBACK TakeDebugOutput(EXCEPTION_POINTERS* exception) {
    const EXCEPTION_RECORD& record = *exception->ExceptionRecord;
    if (record.ExceptionCode == DBG_PRINTEXCEPTION_WIDE_C && record.NumberParameters >= 2) {
        const auto* text = reinterpret_cast<const wchar_t*>(record.ExceptionInformation[1]);
        std::lock_guard<std::mutex> guard(g_lock);
        g_lines.emplace_back(text != nullptr ? text : L"");
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    // Windows raises the narrow form only when the wide one was not taken; Wine raises the
    // narrow form alone, its text converted to the ANSI code page.
    if (record.ExceptionCode == DBG_PRINTEXCEPTION_C && record.NumberParameters >= 2) {
        const auto* text = reinterpret_cast<const char*>(record.ExceptionInformation[1]);
        std::wstring wide;
        if (text != nullptr) {
            const int chars = ::MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
            wide.resize(chars > 0 ? static_cast<size_t>(chars) : 1);
            ::MultiByteToWideChar(CP_ACP, 0, text, -1, &wide[0], chars);
            wide.resize(wide.size() - 1);
        }
        std::lock_guard<std::mutex> guard(g_lock);
        g_lines.push_back(wide);
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

DebugOutputCapture::DebugOutputCapture() {
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_lines.clear();
    }
    m_handler = ::AddVectoredExceptionHandler(1, &TakeDebugOutput);
}

DebugOutputCapture::~DebugOutputCapture() {
    ::RemoveVectoredExceptionHandler(m_handler);
}

std::vector<std::wstring> DebugOutputCapture::Lines() const {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_lines;
}

}  // namespace VrxTest
