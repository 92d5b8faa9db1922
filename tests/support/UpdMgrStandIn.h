// Runs the update-manager stand-in (vrx_updmgr_standin.exe, beside the test executable) as a
// separate process, and sets up the machine identifier it and the action derive names from.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "Registry.h"
#include "support/UniqueAny.h"

namespace VrxTest {

constexpr const wchar_t* kCryptographyKey = L"SOFTWARE\\Microsoft\\Cryptography";

// The stand-in's exit codes.
constexpr DWORD kStandInProcessed = 0;
constexpr DWORD kStandInLeftSignalled = 3;
constexpr DWORD kStandInAbandoned = 4;

struct StandInOptions {
    std::wstring mode = L"take";  // take, abandon or ignore
    std::wstring hash;            // names from this hash; empty: from the registry's identifier
    DWORD holdMs = 0;
    DWORD delayMs = 0;
    DWORD timeoutMs = 30000;
};

class CUpdMgrStandIn {
public:
    CUpdMgrStandIn() = default;
    CUpdMgrStandIn(const CUpdMgrStandIn&) = delete;
    CUpdMgrStandIn& operator=(const CUpdMgrStandIn&) = delete;
    // Stops it and, when it does not end within 10 s, terminates it: it never outlives a test.
    ~CUpdMgrStandIn();

    // Starts it and waits until its mutex and event exist; records a test failure otherwise.
    bool Start(const StandInOptions& options);
    // Ends its wait early (ignore mode).
    void Stop();
    // Its exit code, or STILL_ACTIVE when it has not ended within the time given.
    DWORD WaitForExit(DWORD timeoutMs = 30000);

private:
    Tessel::UniqueHandle m_process;
    Tessel::UniqueHandle m_stop;
};

// A product-registry test that may change the machine's "MachineGuid" and the access list of its
// key: both are put back as they were after each test.
class MachineGuidTest : public ProductRegistryTest {
protected:
    void SetUp() override;
    void TearDown() override;

    static void SetMachineGuid(const std::wstring& text) {
        SetString(kCryptographyKey, L"MachineGuid", text);
    }
    void DenyCryptographyRead();

private:
    RegValue m_savedGuid;
    std::vector<BYTE> m_savedSecurity;
};

}  // namespace VrxTest
