// The file log sink: writes log records as lines of UTF-16 text into rotating log files under
// <data folder>\Varlen\VLLOGS\, with limits, threshold and line options read from "log.ini" files.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "LoggingIf.h"
#include "support/ReparsePoints.h"

namespace ETWLogging {

class CLogging : public CLoggingIf {
public:
    // Fills `buffer` (capacity in characters) with the data folder under which the log root lies;
    // returns 0 or an error code, as GetLogRoot does.
    using DataFolderSource = std::function<DWORD(wchar_t* buffer, DWORD capacity)>;
    // Supplies the local time stamped on each line.
    using LocalClock = std::function<void(SYSTEMTIME& time)>;

    // The production sink: the data folder comes from GetLogRoot, the time from GetLocalTime.
    CLogging();
    // Replaces either source; an empty one keeps the production source.
    CLogging(DataFolderSource dataFolder, LocalClock clock);
    ~CLogging() override;
    CLogging(const CLogging&) = delete;
    CLogging& operator=(const CLogging&) = delete;

    DWORD Initialize(const wchar_t* groupName, HMODULE module, const wchar_t* hostName,
                     DWORD reserved) override;
    DWORD Prepare() override;
    void GetSourcePath(std::wstring& sourcePath) override;
    void GetGroupName(std::wstring& groupName) override;
    DWORD Shutdown() override;
    void SetEnabled(bool enabled) override;
    bool IsEnabled() override;
    DWORD LogFormat(DWORD severity, const wchar_t* file, const wchar_t* function, int line,
                    const wchar_t* format, ...) override;
    DWORD Log(const wchar_t* file, const wchar_t* function, int line, DWORD severity,
              const wchar_t* message) override;
    int IsSeverityEnabled(DWORD severity) override;
    void SetMaxEntries(DWORD count) override;
    DWORD GetMaxEntries() override;
    void SetMaxSize(DWORD bytes) override;
    DWORD GetMaxSize() override;
    DWORD SetSeverity(DWORD threshold) override;
    DWORD GetSeverity() override;
    LONG AddRef() override;
    LONG Release() override;

    // Copies the common application-data folder (created when missing) into `buffer`. 87 when
    // the buffer is null or the folder cannot be had, 122 when it does not fit (the buffer is
    // then left empty), else 0.
    virtual DWORD GetLogRoot(wchar_t* buffer, DWORD capacity);

    // Where the sink of a group (empty: none) and a module keeps its files under a data folder.
    struct LogPaths {
        std::wstring dataFolder;    // the data folder itself, below which every file is held
        std::wstring root;          // <data folder>\Varlen\VLLOGS\ (with the separator)
        std::wstring folder;        // <root><group>\<module>, or <root><module> without a group
        std::wstring moduleConfig;  // <folder>\log.ini
        std::wstring globalConfig;  // <root>log.ini
    };
    // False when the paths cannot be formatted (out of memory).
    static bool ComposeLogPaths(const wchar_t* dataFolder, const std::wstring& groupName,
                                const std::wstring& moduleName, LogPaths& paths);

    static constexpr DWORD kDefaultMaxSize = 0x40000;
    static constexpr DWORD kMaxMaxSize = 0xA00000;
    static constexpr DWORD kDefaultMaxEntries = 3;
    static constexpr DWORD kMinMaxEntries = 2;
    static constexpr DWORD kMaxMaxEntries = 100;
    static constexpr DWORD kDefaultOptions = 0x10;
    // Threshold that no severity reaches: the sink is switched off.
    static constexpr DWORD kOffThreshold = 10000;

    // Line options.
    static constexpr DWORD kOptionDebugger = 0x01;
    static constexpr DWORD kOptionThreadTag = 0x04;
    static constexpr DWORD kOptionSourceTag = 0x08;
    static constexpr DWORD kOptionProcessTag = 0x10;
    static constexpr DWORD kOptionFunctionTag = 0x20;

    // Error codes of this sink besides the platform's.
    static constexpr DWORD kErrorAlreadyInitialized = 20001;
    static constexpr DWORD kErrorNotInitialized = 20002;

    // The rights the sink gives the module's own folder when it creates it (SDDL): SYSTEM and
    // Administrators may change it and what it holds, Users may read it, and nothing is inherited
    // from the shared folders above, where any user may create folders. No one else can put a
    // link or a file of his own in it.
    static constexpr const wchar_t* kModuleFolderRights =
        L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

private:
    enum class FolderCheck { NotRun, Yes, No };

    // Every field back to its default (file closed, strings freed, folder check re-armed); the
    // reference count belongs to the object's lifetime and stays.
    void Reset();
    DWORD InitializeNames(const wchar_t* groupName, HMODULE module, const wchar_t* hostName);
    DWORD BuildPaths();
    void ReadConfiguration();
    bool FolderCheckSaysYes();
    DWORD MakeLogFolder();
    DWORD OpenLogFile();
    DWORD OpenLogFileAt(DWORD index, Tessel::FileDisposition disposition);
    DWORD StartLogFile(DWORD index);
    std::wstring LogFilePath(DWORD index) const;
    std::wstring BelowDataFolder(const std::wstring& path) const;
    DWORD ReadLastLogIdx(DWORD& index) const;
    DWORD WriteLastLogIdx(DWORD index);
    void BuildLine(const wchar_t* file, const wchar_t* function, int line, DWORD severity,
                   const wchar_t* message, std::wstring& text) const;

    DWORD m_initialized = 0;
    std::wstring m_groupName;
    std::wstring m_moduleName;
    std::wstring m_processName;
    DWORD m_processId = 0;
    std::wstring m_hostName;
    bool m_hasHostName = false;
    std::wstring m_dataFolderPath;  // where the log root lies; trusted as it is
    std::wstring m_logFolder;
    // The folders from "Varlen" down to the log folder, held unchanged from the folder check on,
    // and every file opened below them as a link-free file: a link in the way would let whoever
    // planted it choose the file that this elevated sink writes.
    Tessel::CLinkFreePath m_logFolders;
    Tessel::CLinkFreeFile m_file;
    volatile LONG m_refCount = 0;
    DWORD m_maxSize = kDefaultMaxSize;
    DWORD m_maxEntries = kDefaultMaxEntries;
    DWORD m_threshold = kDefaultSeverityThreshold;
    DWORD m_options = kDefaultOptions;
    std::wstring m_globalConfigPath;
    std::wstring m_moduleConfigPath;
    DWORD m_enabled = 1;
    FolderCheck m_folderCheck = FolderCheck::NotRun;

    DataFolderSource m_dataFolder;
    LocalClock m_clock;
};

}  // namespace ETWLogging
