// Creates or deletes a demand-start service, for the demo's provisioning.
//
//   vrx_service_setup create NAME PROGRAM [DEPENDENCY...]
//       creates service NAME running PROGRAM, with the given start dependencies (service names,
//       or group names with a leading "+"); exits 0, or 1 when the service cannot be created.
//   vrx_service_setup delete NAME
//       deletes service NAME; exits 0, also when there is no such service, or 1 on failure.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "support/UniqueAny.h"

namespace {

int Fail(const char* what) {
    std::fprintf(stderr, "vrx_service_setup: %s failed, error %lu\n", what, ::GetLastError());
    return 1;
}

int Create(const Tessel::UniqueScHandle& manager, const wchar_t* name, const wchar_t* program,
           int count, wchar_t** dependencyArgs) {
    // Each name with its terminator, then the terminator that ends the list.
    std::wstring dependencies;
    for (int i = 0; i < count; ++i) {
        dependencies += dependencyArgs[i];
        dependencies.push_back(L'\0');
    }
    dependencies.push_back(L'\0');
    const Tessel::UniqueScHandle service(
        ::CreateServiceW(manager.get(), name, name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                         SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, program, nullptr, nullptr,
                         dependencies.c_str(), nullptr, nullptr));
    return service ? 0 : Fail("CreateServiceW");
}

int Delete(const Tessel::UniqueScHandle& manager, const wchar_t* name) {
    const Tessel::UniqueScHandle service(::OpenServiceW(manager.get(), name, DELETE));
    if (!service) {
        return ::GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST ? 0 : Fail("OpenServiceW");
    }
    return ::DeleteService(service.get()) ? 0 : Fail("DeleteService");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const bool create = argc >= 4 && std::wcscmp(argv[1], L"create") == 0;
    const bool remove = argc == 3 && std::wcscmp(argv[1], L"delete") == 0;
    if (!create && !remove) {
        std::fprintf(stderr,
                     "usage: vrx_service_setup create NAME PROGRAM [DEPENDENCY...]\n"
                     "       vrx_service_setup delete NAME\n");
        return 1;
    }
    const Tessel::UniqueScHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        return Fail("OpenSCManagerW");
    }
    return create ? Create(manager, argv[2], argv[3], argc - 4, argv + 4)
                  : Delete(manager, argv[2]);
}
