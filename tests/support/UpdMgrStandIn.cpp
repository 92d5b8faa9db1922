#include "UpdMgrStandIn.h"

#include <gtest/gtest.h>

#include "Files.h"

namespace VrxTest {
namespace {

std::wstring StandInPath() {
    return ExecutableFolder() + L"\\vrx_updmgr_standin.exe";
}

std::wstring UniqueEventName(const wchar_t* role) {
    static LONG counter = 0;
    return L"vrx-test-updmgr-" + std::wstring(role) + L"-" +
           std::to_wstring(::GetCurrentProcessId()) + L"-" +
           std::to_wstring(::InterlockedIncrement(&counter));
}

Tessel::UniqueHKey OpenCryptography(REGSAM access) {
    Tessel::UniqueHKey key;
    EXPECT_EQ(ERROR_SUCCESS, ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCryptographyKey, 0,
                                             access | KEY_WOW64_64KEY, key.put()));
    return key;
}

}  // namespace

CUpdMgrStandIn::~CUpdMgrStandIn() {
    if (m_process && WaitForExit(0) == STILL_ACTIVE) {
        Stop();
        if (WaitForExit(10000) == STILL_ACTIVE) {
            ::TerminateProcess(m_process.get(), 1);
            ::WaitForSingleObject(m_process.get(), 10000);
        }
    }
}

bool CUpdMgrStandIn::Start(const StandInOptions& options) {
    const std::wstring readyName = UniqueEventName(L"ready");
    const std::wstring stopName = UniqueEventName(L"stop");
    const Tessel::UniqueHandle ready(::CreateEventW(nullptr, TRUE, FALSE, readyName.c_str()));
    m_stop.reset(::CreateEventW(nullptr, TRUE, FALSE, stopName.c_str()));
    if (!ready || !m_stop) {
        ADD_FAILURE() << "cannot create the stand-in's events: " << ::GetLastError();
        return false;
    }
    const std::wstring exe = StandInPath();
    std::wstring commandLine =
        L"\"" + exe + L"\" --mode " + options.mode + L" --hold " + std::to_wstring(options.holdMs) +
        L" --delay " + std::to_wstring(options.delayMs) + L" --timeout " +
        std::to_wstring(options.timeoutMs) + L" --ready " + readyName + L" --stop " + stopName;
    if (!options.hash.empty()) {
        commandLine += L" --hash " + options.hash;
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                          nullptr, &startup, &process)) {
        ADD_FAILURE() << "cannot start the stand-in: " << ::GetLastError();
        return false;
    }
    m_process.reset(process.hProcess);
    const Tessel::UniqueHandle thread(process.hThread);
    const HANDLE either[] = {ready.get(), m_process.get()};
    if (::WaitForMultipleObjects(2, either, FALSE, 30000) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "the stand-in did not get ready; exit code " << WaitForExit(0);
        return false;
    }
    return true;
}

void CUpdMgrStandIn::Stop() {
    ::SetEvent(m_stop.get());
}

DWORD CUpdMgrStandIn::WaitForExit(DWORD timeoutMs) {
    DWORD exitCode = STILL_ACTIVE;
    if (::WaitForSingleObject(m_process.get(), timeoutMs) == WAIT_OBJECT_0) {
        ::GetExitCodeProcess(m_process.get(), &exitCode);
    }
    return exitCode;
}

void MachineGuidTest::SetUp() {
    ProductRegistryTest::SetUp();
    m_savedGuid = ReadValue(kCryptographyKey, L"MachineGuid");
    m_savedSecurity.clear();
}

void MachineGuidTest::TearDown() {
    if (!m_savedSecurity.empty()) {
        const Tessel::UniqueHKey key = OpenCryptography(WRITE_DAC);
        EXPECT_EQ(
            ERROR_SUCCESS,
            ::RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION,
                                reinterpret_cast<PSECURITY_DESCRIPTOR>(m_savedSecurity.data())));
    }
    if (m_savedGuid.present) {
        SetRaw(kCryptographyKey, L"MachineGuid", m_savedGuid.type, m_savedGuid.data.data(),
               m_savedGuid.data.size());
    } else {
        DeleteValue(kCryptographyKey, L"MachineGuid");
    }
    ProductRegistryTest::TearDown();
}

void MachineGuidTest::DenyCryptographyRead() {
    const Tessel::UniqueHKey key = OpenCryptography(READ_CONTROL);
    DWORD bytes = 0;
    ::RegGetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, nullptr, &bytes);
    std::vector<BYTE> security(bytes);
    ASSERT_EQ(ERROR_SUCCESS,
              ::RegGetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, security.data(), &bytes));
    m_savedSecurity = std::move(security);
    DenyKeyAccess(kCryptographyKey, KEY_QUERY_VALUE);
}

}  // namespace VrxTest
