#include "Scam.h"

#include "../../etwlogging/LogFacade.h"
#include "../../support/UniqueAny.h"

namespace {

constexpr const wchar_t* kLogSource = L"..\\..\\includes\\Scam";
constexpr const wchar_t* kSetDependency = L"CScam::SetDependency";

constexpr DWORD kManagerAccess = SC_MANAGER_ALL_ACCESS;
constexpr DWORD kServiceAccess = SERVICE_ALL_ACCESS;
static_assert(kManagerAccess == 0xF003F && kServiceAccess == 0xF01FF, "service access masks");

template <typename... TArgs>
void LogScam(DWORD severity, const wchar_t* function, int line, const wchar_t* format,
             TArgs... args) {
    ETWLogging::LogIfEnabled(severity, kLogSource, function, line, format, args...);
}

}  // namespace

DWORD CScam::SetDependency(const wchar_t* dependencies) const {
    using ETWLogging::kSeverityError;
    using ETWLogging::kSeverityNormal;
    LogScam(kSeverityNormal, kSetDependency, 254, L"Entered into Function: %s\r\n", kSetDependency);

    const Tessel::UniqueScHandle manager(
        ::OpenSCManagerW(nullptr, SERVICES_ACTIVE_DATABASEW, kManagerAccess));
    if (!manager) {
        const int error = static_cast<int>(::GetLastError());
        LogScam(kSeverityError, kSetDependency, 258, L"Failed to open SCM,err=%d\r\n", error);
        return 1;
    }

    // Declared after the manager, so the service handle is closed first.
    const Tessel::UniqueScHandle service(
        ::OpenServiceW(manager.get(), m_serviceName.c_str(), kServiceAccess));
    if (!service) {
        const int error = static_cast<int>(::GetLastError());
        LogScam(kSeverityError, kSetDependency, 266,
                L"Failed to open VRX service(%s), Error: %d\r\n", m_serviceName.c_str(), error);
        return 1;
    }

    // Only the dependency list changes. A refused change (a service marked for deletion, a
    // dependency the manager rejects) leaves the old list in place, so it is a failure too.
    if (!::ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                SERVICE_NO_CHANGE, nullptr, nullptr, nullptr, dependencies, nullptr,
                                nullptr, nullptr)) {
        const int error = static_cast<int>(::GetLastError());
        LogScam(kSeverityError, kSetDependency, 272,
                L"Failed to change VRX service(%s) config, Error: %d\r\n", m_serviceName.c_str(),
                error);
        return 1;
    }
    return 0;
}
