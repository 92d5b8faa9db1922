// The DLL's log file for end-to-end tests: logging into files chosen through the enciphered
// logging mechanism, and the file sink's folder, emptied before and removed after the test.
#pragma once

#include <windows.h>

#include <string>

namespace VrxTest {

constexpr DWORD kMechanismFileSink = 1;
constexpr DWORD kMechanismEventTracing = 0;  // anything but 1

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
    // The text of the first log file (UTF-16, byte-order mark included); empty when none.
    std::wstring Text() const;

private:
    std::wstring m_path;
    std::wstring m_outermostMade;
};

std::wstring ReadWideFile(const std::wstring& path);

// Stores the enciphered "Logging Mechanism" (1: log files) in the process's own view, where the
// DLL of the same build reads it.
void StoreMechanism(DWORD mechanism);

}  // namespace VrxTest
