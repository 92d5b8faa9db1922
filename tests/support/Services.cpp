#include "Services.h"

#include "support/UniqueAny.h"

namespace VrxTest {
namespace {

std::vector<std::wstring> MultiString(const RegValue& value) {
    std::vector<std::wstring> items;
    const wchar_t* text = reinterpret_cast<const wchar_t*>(value.data.data());
    const size_t chars = value.data.size() / sizeof(wchar_t);
    std::wstring item;
    for (size_t i = 0; i < chars; ++i) {
        if (text[i] != L'\0') {
            item.push_back(text[i]);
        } else if (!item.empty()) {
            items.push_back(item);
            item.clear();
        }
    }
    if (!item.empty()) {
        items.push_back(item);
    }
    return items;
}

Tessel::UniqueScHandle OpenManager() {
    Tessel::UniqueScHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    EXPECT_TRUE(manager) << "opening the service control manager: " << ::GetLastError();
    return manager;
}

}  // namespace

ServiceDependencies ReadServiceDependencies(const wchar_t* name) {
    const std::wstring key = std::wstring(L"System\\CurrentControlSet\\Services\\") + name;
    ServiceDependencies dependencies;
    dependencies.services = MultiString(ReadValue(key.c_str(), L"DependOnService"));
    dependencies.groups = MultiString(ReadValue(key.c_str(), L"DependOnGroup"));
    return dependencies;
}

void CreateTestService(const wchar_t* name, const wchar_t* dependencies) {
    wchar_t system[MAX_PATH] = {};
    ::GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring program = std::wstring(system) + L"\\cmd.exe";
    const Tessel::UniqueScHandle manager = OpenManager();
    const Tessel::UniqueScHandle service(
        ::CreateServiceW(manager.get(), name, L"Varlen test service", SERVICE_ALL_ACCESS,
                         SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                         program.c_str(), nullptr, nullptr, dependencies, nullptr, nullptr));
    ASSERT_TRUE(service) << "creating the test service: " << ::GetLastError();
}

void DeleteTestService(const wchar_t* name) {
    const Tessel::UniqueScHandle manager = OpenManager();
    const Tessel::UniqueScHandle service(::OpenServiceW(manager.get(), name, DELETE));
    if (service) {
        EXPECT_TRUE(::DeleteService(service.get())) << ::GetLastError();
    }
}

void ProductServiceTest::SetUp() {
    ProductRegistryTest::SetUp();
    DeleteTestService(kProductService);
}

void ProductServiceTest::TearDown() {
    DeleteTestService(kProductService);
    ProductRegistryTest::TearDown();
}

}  // namespace VrxTest
