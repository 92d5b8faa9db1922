// Leaving the COM apartment that an action joined on the calling thread.
#pragma once

#include <windows.h>
#include <objbase.h>

namespace VrxRunOnce {

// Calls CoUninitialize once when it goes out of scope, if the action told it that it joined the
// apartment itself; a thread whose COM the host had set up is left as it was found. Declare it
// before the COM objects it covers, so that they are released first.
class CComApartment {
public:
    CComApartment() = default;
    CComApartment(const CComApartment&) = delete;
    CComApartment& operator=(const CComApartment&) = delete;
    ~CComApartment() {
        if (m_joined) {
            ::CoUninitialize();
        }
    }
    void Joined() { m_joined = true; }

private:
    bool m_joined = false;
};

}  // namespace VrxRunOnce
