// The library's logging as the end-to-end tests arrange it: the machine's logging mechanism and
// the file sink's folder.
#pragma once

#include <windows.h>

#include <string>

namespace VrxTest {

constexpr DWORD kMechanismFileSink = 1;
constexpr DWORD kMechanismEventTracing = 0;  // anything but 1

// Stores the enciphered "Logging Mechanism" under HKLM\SOFTWARE\Varlen\Logging; the product
// key fixture removes it with the rest of the maker's key.
void StoreLoggingMechanism(DWORD mechanism);

// The file sink's folder for the library, <data folder>\Varlen\VLLOGS\Anti-Spam\VrxRO: empty at
// the start; at the end the outermost folder of that chain the test made is removed.
class LibraryLogFolder {
public:
    LibraryLogFolder();
    ~LibraryLogFolder();
    LibraryLogFolder(const LibraryLogFolder&) = delete;
    LibraryLogFolder& operator=(const LibraryLogFolder&) = delete;

    const std::wstring& Path() const { return m_path; }
    // Writes the folder's log.ini with the threshold that lets every severity through.
    void LogEverySeverity() const;

private:
    std::wstring m_path;
    std::wstring m_outermostMade;
};

}  // namespace VrxTest
