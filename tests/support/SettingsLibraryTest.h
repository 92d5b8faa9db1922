// The fixture of the actions that load the settings library: an install folder named by
// "Install Dir", holding the library (a signing fixture) and its store file.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Files.h"
#include "LogCapture.h"
#include "Registry.h"
#include "SettingsStore.h"
#include "Signing.h"
#include "support/FileValidator.h"

namespace VrxTest {

class SettingsLibraryTest : public ProductRegistryTest {
protected:
    void SetUp() override {
        ProductRegistryTest::SetUp();
        ClearSettingsStandInRecords();
        SetString(kVrxKey, L"Install Dir", install.Path());
    }
    void TearDown() override {
        ClearSettingsStandInRecords();
        ProductRegistryTest::TearDown();
    }

    std::wstring LibraryPath() const { return install / L"VrxSet.dll"; }
    std::wstring StorePath() const { return install / L"VrxSet.store"; }

    void Install(const std::string& store, const wchar_t* library = L"settings\\VrxSet.dll") {
        CopyFileTo(SigningFixture(library), LibraryPath());
        WriteTextFile(StorePath(), store);
    }

    // Runs `action` with a validator that accepts the test publisher; the records it wrote.
    std::vector<LogRecord> RunWithTestValidator(void (*action)(Tessel::CFileValidator&)) {
        Tessel::CFileValidator validator(TestSignatureConfig());
        ClearLogRecords();
        action(validator);
        EXPECT_FALSE(IsModuleLoaded(LibraryPath())) << "the settings library is freed";
        return LogRecords();
    }

    // The record of a settings library that validation refused.
    static LogRecord RefusedRecord(const std::wstring& path) {
        return {4, L"src\\includes\\VrxLoadLibrary", L"VRXLoadLibrary", 46,
                L"Unable to validate file: " + path + L" \r\n"};
    }

    ScratchFolder install;
};

}  // namespace VrxTest
