// The settings-library stand-in installed for the benchmarks of the actions that walk its users:
// the test-signed VrxSet.dll copied into a scratch install folder that "Install Dir" names, its
// store file written before every run, and the signature configuration that accepts it.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "support/FileSignature.h"
#include "support/UniqueAny.h"

namespace VrxBench {

// Store file lines (see testbed/settings/SettingsStandIn.cpp for the format).
std::string StoreNode(const std::string& path);
std::string StoreValue(const std::string& path, const std::string& name, const void* data,
                       size_t bytes);
std::string StoreText(const std::string& path, const std::string& name, const std::wstring& text);
std::string StoreDword(const std::string& path, const std::string& name, DWORD value);

// The process's peak working set so far, in megabytes.
double PeakWorkingSetMegabytes();

class SettingsInstall {
public:
    // Copies <exe folder>\fixtures\signing\settings\VrxSet.dll into a scratch folder and points
    // "Install Dir" (64-bit view) at it; `ok()` tells whether that worked.
    SettingsInstall();
    // Restores "Install Dir" as it was and removes the folder.
    ~SettingsInstall();
    SettingsInstall(const SettingsInstall&) = delete;
    SettingsInstall& operator=(const SettingsInstall&) = delete;

    bool ok() const { return m_ok; }
    std::wstring LibraryPath() const { return m_folder + L"\\VrxSet.dll"; }
    std::wstring StorePath() const { return m_folder + L"\\VrxSet.store"; }
    // Writes the store file from the lines of each user in turn, so that a large store is never
    // held in memory whole.
    bool WriteStore(int users, const std::function<std::string(int user)>& userLines) const;
    // How often `text` occurs in the store file, which tells a benchmark that a run did its work.
    int CountInStore(const std::string& text) const;
    // Accepts the test publisher, as the validation tests do.
    Tessel::SignatureConfig TestSignatureConfig() const;

private:
    std::wstring m_fixtures;
    std::wstring m_folder;
    std::wstring m_oldInstallDir;
    bool m_hadInstallDir = false;
    bool m_createdKey = false;
    bool m_ok = false;
};

}  // namespace VrxBench
