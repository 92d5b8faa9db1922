// The product's service for tests: created with a known configuration, removed afterwards. Its
// dependencies are read from the registry, since Wine's QueryServiceConfigW always reports an
// empty dependency list.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "Registry.h"

namespace VrxTest {

constexpr const wchar_t* kProductService = L"VRX80Service";

// The start dependencies of a service as stored under its registry key.
struct ServiceDependencies {
    std::vector<std::wstring> services;  // "DependOnService"
    std::vector<std::wstring> groups;    // "DependOnGroup"
};
ServiceDependencies ReadServiceDependencies(const wchar_t* name);

// Creates a demand-start service running an existing program, with `dependencies` (service names
// and "+"-prefixed group names, the list ended by an extra terminator).
void CreateTestService(const wchar_t* name, const wchar_t* dependencies);

// Removes the service when it exists.
void DeleteTestService(const wchar_t* name);

// A product-registry test that also starts and ends without the product's service.
class ProductServiceTest : public ProductRegistryTest {
protected:
    void SetUp() override;
    void TearDown() override;
};

}  // namespace VrxTest
