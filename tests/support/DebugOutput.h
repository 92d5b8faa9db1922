// Captures what the code sends to the debugger with OutputDebugStringW while an object of this
// class lives. With no debugger attached the call raises an exception carrying the text; a
// vectored handler takes the text and lets execution continue.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace VrxTest {

class DebugOutputCapture {
public:
    DebugOutputCapture();
    ~DebugOutputCapture();
    DebugOutputCapture(const DebugOutputCapture&) = delete;
    DebugOutputCapture& operator=(const DebugOutputCapture&) = delete;

    // The texts sent since construction, in order.
    std::vector<std::wstring> Lines() const;

private:
    void* m_handler;
};

}  // namespace VrxTest
