#include <gtest/gtest.h>

#include "RunDll32.h"
#include "tests/support/Files.h"
#include "tests/support/Registry.h"
#include "tests/support/SettingsStore.h"

using namespace VrxTest;

class ConvertUFiltersE2E : public ProductRegistryTest {
protected:
    ScratchFolder install;
};

TEST_F(ConvertUFiltersE2E, ASettingsLibraryTheValidationRefusesChangesNothing) {
    // The shipped validation accepts neither the unsigned library nor the test-signed one.
    SetString(kVrxKey, L"Install Dir", install.Path());
    const std::string store =
        StoreNode("first") + StoreValue("first", "UserFilters",
                                        TextHex(L"<VRXFilters><SubjCont><![CDATA[a]]b]]></SubjCont>"
                                                L"<Charset>1252;28591</Charset></VRXFilters>"));
    for (const wchar_t* library : {L"settings-unsigned\\VrxSet.dll", L"settings\\VrxSet.dll"}) {
        SCOPED_TRACE(library);
        CopyFileTo(FixturePath(std::wstring(L"signing\\") + library), install / L"VrxSet.dll");
        WriteTextFile(install / L"VrxSet.store", store);
        EXPECT_EQ(0u, RunAction(L"ConvertUFilters", L"ignored arguments"));
        EXPECT_EQ(store, ReadTextFile(install / L"VrxSet.store"));
    }
}
