// SignalContentUpdate: records the time of a content update and asks the update manager to start
// an update, through the named mutex and install event the manager owns.
#include "ContentSignal.h"

#include <string>

#include "ActionLog.h"
#include "VrxRunOnce.h"
#include "../../includes/CmdBuf.h"
#include "../../includes/ProductKeys.h"
#include "../../includes/RegKeyHolder.h"
#include "../../../support/UniqueAny.h"

namespace VrxRunOnce {

UpdateRequestPoll PollUpdateRequest(const std::function<DWORD(DWORD timeoutMs)>& waitForEvent,
                                    const std::function<void(DWORD ms)>& sleep) {
    UpdateRequestPoll poll;
    poll.lastWait = waitForEvent(kPollWaitMs);
    while (poll.lastWait == WAIT_OBJECT_0 && poll.repeats < kMaxPollRepeats) {
        sleep(kPollSleepMs);
        poll.lastWait = waitForEvent(kPollWaitMs);
        ++poll.repeats;
    }
    poll.accepted = poll.lastWait == WAIT_TIMEOUT && poll.repeats < kMaxPollRepeats;
    return poll;
}

UpdateRequestPoll PollUpdateRequest(HANDLE event) {
    return PollUpdateRequest(
        [event](DWORD timeoutMs) { return ::WaitForSingleObject(event, timeoutMs); },
        [](DWORD ms) { ::Sleep(ms); });
}

}  // namespace VrxRunOnce

namespace {

using ETWLogging::kSeverityError;
using ETWLogging::kSeverityNormal;
using VrxRunOnce::LogAction;

constexpr const wchar_t* kAction = L"SignalContentUpdate";
constexpr const wchar_t* kUpdateDateValue = L"contentUMDate";
constexpr DWORD kMachineGuidChars = MAX_PATH;
constexpr DWORD kMutexWaitMs = 60000;
constexpr DWORD kMutexAccess = MUTEX_ALL_ACCESS;
constexpr DWORD kEventAccess = EVENT_ALL_ACCESS;
static_assert(kMutexAccess == 0x1F0001 && kEventAccess == 0x1F0003, "object access masks");

// An empty name stands for an identifier that could not be read: it opens nothing, rather than
// leaving it to the object manager to decide what an empty name means.
Tessel::UniqueHandle OpenManagerMutex(const std::wstring& name) {
    return Tessel::UniqueHandle(name.empty() ? nullptr
                                             : ::OpenMutexW(kMutexAccess, FALSE, name.c_str()));
}

Tessel::UniqueHandle OpenManagerEvent(const std::wstring& name) {
    return Tessel::UniqueHandle(name.empty() ? nullptr
                                             : ::OpenEventW(kEventAccess, FALSE, name.c_str()));
}

// The name of one of the manager's objects, from a fresh hash of the identifier; empty when the
// identifier is.
std::wstring ManagerObjectName(const std::wstring& machineGuid,
                               std::wstring (*nameOf)(const std::wstring&)) {
    if (machineGuid.empty()) {
        return std::wstring();
    }
    const std::wstring hash = CIPCPool::GetHashVal(machineGuid);
    return hash.empty() ? std::wstring() : nameOf(hash);
}

// Sets the install event and, when the manager takes the request, waits for it to finish
// processing (it holds the mutex meanwhile). Closes the event before returning; the caller
// closes the mutex after it.
void RequestUpdate(HANDLE mutex, const std::wstring& machineGuid) {
    if (machineGuid.empty()) {
        LogAction(kSeverityError, kAction, 1033, L"Failed to get Machine GUID");
    }
    const Tessel::UniqueHandle event =
        OpenManagerEvent(ManagerObjectName(machineGuid, UpdMgrObjects::EventName));
    if (!event) {
        LogAction(kSeverityNormal, kAction, 1039, L"Can not init UpdMgr install event.");
        return;
    }

    // An event that could not be set was never seen by the manager: its staying unsignalled
    // must not pass for a taken request.
    if (!::SetEvent(event.get()) || !VrxRunOnce::PollUpdateRequest(event.get()).accepted) {
        LogAction(kSeverityNormal, kAction, 1056, L"Can not initiate an update.");
        return;
    }
    LogAction(kSeverityNormal, kAction, 1061, L"Update started.");

    // The manager holds the mutex while it processes the request; getting it means it is done.
    // Ownership gained through an abandoned mutex is ownership too, and is given back at once.
    const DWORD waited = ::WaitForSingleObject(mutex, kMutexWaitMs);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
        ::ReleaseMutex(mutex);
    }
    if (waited == WAIT_OBJECT_0) {
        LogAction(kSeverityNormal, kAction, 1069, L"Request processed correctly.");
    }
    LogAction(kSeverityNormal, kAction, 1072, L"Exiting.");
}

}  // namespace

extern "C" int CALLBACK SignalContentUpdate(HWND, HINSTANCE, LPSTR, int) {
    SYSTEMTIME now = {};
    ::GetSystemTime(&now);
    wchar_t machineGuidBuffer[kMachineGuidChars] = {};

    // No view flag: a 32-bit process on 64-bit Windows writes the 32-bit view of the key. The
    // key stays open until the action ends.
    CRegKeyHolder productKey;
    if (productKey.Open(HKEY_LOCAL_MACHINE, ProductKeys::kVrx, ProductKeys::kWriteNoView) !=
            ERROR_SUCCESS ||
        productKey.SetValue(kUpdateDateValue, REG_BINARY, &now, sizeof(now)) != ERROR_SUCCESS) {
        LogAction(kSeverityError, kAction, 1009, L"Error writing update date to registry.");
    }

    const std::wstring machineGuid = CIPCPool::GetMachineGUID(machineGuidBuffer, kMachineGuidChars);
    if (machineGuid.empty()) {
        LogAction(kSeverityError, kAction, 1017, L"Failed to get Machine GUID");
    }
    const Tessel::UniqueHandle mutex =
        OpenManagerMutex(ManagerObjectName(machineGuid, UpdMgrObjects::MutexName));
    if (!mutex) {
        LogAction(kSeverityNormal, kAction, 1023, L"Can not open CmlUpdator mutex.");
        return 0;
    }
    RequestUpdate(mutex.get(), machineGuid);
    return 0;
}
