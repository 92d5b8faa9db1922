#include "FileLogging.h"

#include <shlobj.h>
#include <knownfolders.h>
#include <sddl.h>

#include <algorithm>
#include <cwchar>
#include <new>
#include <utility>

#include "Format.h"
#include "ModuleIdentity.h"
#include "support/IniReader.h"

namespace ETWLogging {
namespace {

constexpr wchar_t kConfigSection[] = L"Config";
constexpr wchar_t kConfigFileName[] = L"log.ini";
constexpr wchar_t kLogsFolderName[] = L"VLLOGS";
constexpr wchar_t kLastLogIdxKey[] = L"LastLogIdx";

// Each piece of a line is built in a buffer of this many characters.
constexpr size_t kPieceChars = 260;
using PieceBuffer = wchar_t[kPieceChars];

constexpr size_t kProcessNameChars = 15;
constexpr size_t kSourceNameChars = 20;
constexpr size_t kFunctionNameChars = 40;

const wchar_t* SeverityName(DWORD severity) {
    static const wchar_t* const kNames[] = {L"Normal", L"Warning",  L"Information",
                                            L"Error",  L"Critical", L"Information"};
    return kNames[severity - kSeverityNormal];
}

// Formats into a growable string; false when the format is refused.
bool FormatWide(std::wstring& text, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const bool formatted = internal::FormatWideV(text, format, args);
    va_end(args);
    return formatted;
}

// Formats one line piece, cut to fit its buffer.
void FormatPiece(PieceBuffer& buffer, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    internal::FormatWideBounded(buffer, kPieceChars, kPieceChars - 1, format, args);
    va_end(args);
}

// `text` cut to its first `width` characters, then right-aligned in a field of `width`.
std::wstring Fit(const std::wstring& text, size_t width) {
    PieceBuffer format;
    FormatPiece(format, L"%%%lus", static_cast<unsigned long>(width));
    PieceBuffer fitted;
    FormatPiece(fitted, format, text.substr(0, width).c_str());
    return fitted;
}

// Splits a path at its last backslash into the file name and that name without its extension.
bool SplitPath(const std::wstring& path, std::wstring& fileName, std::wstring& baseName) {
    const size_t slash = path.find_last_of(L'\\');
    if (slash == std::wstring::npos) {
        return false;
    }
    fileName = path.substr(slash + 1);
    baseName = fileName.substr(0, fileName.find_last_of(L'.'));
    return true;
}

bool IsFile(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool AnyValue(DWORD) {
    return true;
}
bool ValidMaxSize(DWORD value) {
    return value >= CLogging::kDefaultMaxSize && value <= CLogging::kMaxMaxSize;
}
bool ValidMaxEntries(DWORD value) {
    return value >= CLogging::kMinMaxEntries && value <= CLogging::kMaxMaxEntries;
}
bool ValidSeverity(DWORD value) {
    return value <= kSeverityInformation2;
}

// The value a configuration key gives: the module file's when present there, else the global
// file's, else the default. An invalid value is replaced by the default in the file it came
// from; false (keep the sink's value) when that replacement cannot be written.
bool ResolveConfigValue(Tessel::CBaseIniReader& moduleConfig, Tessel::CBaseIniReader& globalConfig,
                        const wchar_t* key, DWORD defaultValue, bool (*isValid)(DWORD),
                        DWORD& value) {
    for (Tessel::CBaseIniReader* config : {&moduleConfig, &globalConfig}) {
        DWORD stored = 0;
        if (!config->ReadDword(kConfigSection, key, stored)) {
            continue;
        }
        if (isValid(stored)) {
            value = stored;
            return true;
        }
        if (!config->WriteDword(kConfigSection, key, defaultValue)) {
            return false;
        }
        value = defaultValue;
        return true;
    }
    value = defaultValue;
    return true;
}

}  // namespace

CLogging::CLogging() : CLogging(nullptr, nullptr) {}

CLogging::CLogging(DataFolderSource dataFolder, LocalClock clock)
    : m_dataFolder(std::move(dataFolder)), m_clock(std::move(clock)) {}

CLogging::~CLogging() {
    Reset();
}

void CLogging::Reset() {
    m_initialized = 0;
    m_groupName = std::wstring();
    m_moduleName = std::wstring();
    m_processName = std::wstring();
    m_processId = 0;
    m_hostName = std::wstring();
    m_hasHostName = false;
    m_dataFolderPath = std::wstring();
    m_logFolder = std::wstring();
    m_file.Close();
    m_logFolders.Release();
    m_maxSize = kDefaultMaxSize;
    m_maxEntries = kDefaultMaxEntries;
    m_threshold = kDefaultSeverityThreshold;
    m_options = kDefaultOptions;
    m_globalConfigPath = std::wstring();
    m_moduleConfigPath = std::wstring();
    m_enabled = 1;
    m_folderCheck = FolderCheck::NotRun;
}

DWORD CLogging::Initialize(const wchar_t* groupName, HMODULE module, const wchar_t* hostName,
                           DWORD /*reserved*/) {
    if (m_initialized) {
        return kErrorAlreadyInitialized;
    }
    DWORD result = ERROR_SUCCESS;
    try {
        result = InitializeNames(groupName, module, hostName);
        if (result == ERROR_SUCCESS) {
            result = BuildPaths();
        }
        if (result == ERROR_SUCCESS) {
            ReadConfiguration();
        }
    } catch (const std::bad_alloc&) {
        result = ERROR_OUTOFMEMORY;
    }
    if (result != ERROR_SUCCESS) {
        Reset();
        return result;
    }
    m_processId = ::GetCurrentProcessId();
    m_initialized = 1;
    return ERROR_SUCCESS;
}

DWORD CLogging::InitializeNames(const wchar_t* groupName, HMODULE module, const wchar_t* hostName) {
    if ((groupName != nullptr && *groupName == L'\0') ||
        (hostName != nullptr && *hostName == L'\0')) {
        return ERROR_INVALID_PARAMETER;
    }
    if (groupName != nullptr) {
        m_groupName = groupName;
    }
    if (!SplitPath(internal::ModuleFilePath(nullptr), m_processName, m_moduleName)) {
        return ERROR_OUTOFMEMORY;
    }
    if (module != nullptr) {
        std::wstring fileName, baseName;
        if (SplitPath(internal::ModuleFilePath(module), fileName, baseName)) {
            // The module identifies the component: the process is not named in its lines.
            m_processName = std::wstring();
            m_moduleName = std::move(baseName);
        }
    }
    if (hostName != nullptr) {
        m_hostName = hostName;
        m_hasHostName = true;
    }
    return ERROR_SUCCESS;
}

DWORD CLogging::BuildPaths() {
    if (m_moduleName.empty()) {
        return ERROR_INVALID_PARAMETER;
    }
    wchar_t dataFolder[MAX_PATH] = {};
    const DWORD result =
        m_dataFolder ? m_dataFolder(dataFolder, MAX_PATH) : GetLogRoot(dataFolder, MAX_PATH);
    if (result != ERROR_SUCCESS) {
        return result;
    }
    LogPaths paths;
    if (!ComposeLogPaths(dataFolder, m_groupName, m_moduleName, paths)) {
        return ERROR_OUTOFMEMORY;
    }
    m_dataFolderPath = std::move(paths.dataFolder);
    m_logFolder = std::move(paths.folder);
    m_moduleConfigPath = std::move(paths.moduleConfig);
    m_globalConfigPath = std::move(paths.globalConfig);
    return ERROR_SUCCESS;
}

bool CLogging::ComposeLogPaths(const wchar_t* dataFolder, const std::wstring& groupName,
                               const std::wstring& moduleName, LogPaths& paths) {
    paths.dataFolder = dataFolder;
    return FormatWide(paths.root, L"%s\\Varlen\\%s\\", dataFolder, kLogsFolderName) &&
           (groupName.empty()
                ? FormatWide(paths.folder, L"%s%s", paths.root.c_str(), moduleName.c_str())
                : FormatWide(paths.folder, L"%s%s\\%s", paths.root.c_str(), groupName.c_str(),
                             moduleName.c_str())) &&
           FormatWide(paths.moduleConfig, L"%s\\%s", paths.folder.c_str(), kConfigFileName) &&
           FormatWide(paths.globalConfig, L"%s%s", paths.root.c_str(), kConfigFileName);
}

void CLogging::ReadConfiguration() {
    if (!IsFile(m_moduleConfigPath) && !IsFile(m_globalConfigPath)) {
        return;
    }
    // A file that is a link, or lies behind one, is neither read nor written back: its keys
    // count as missing.
    Tessel::CObfuscatedIniReader moduleConfig;
    Tessel::CObfuscatedIniReader globalConfig;
    if (moduleConfig.Load(m_moduleConfigPath.c_str(), m_dataFolderPath.c_str()) != ERROR_SUCCESS ||
        globalConfig.Load(m_globalConfigPath.c_str(), m_dataFolderPath.c_str()) != ERROR_SUCCESS) {
        return;
    }
    DWORD value = 0;
    if (ResolveConfigValue(moduleConfig, globalConfig, L"Enable", 1, &AnyValue, value)) {
        m_enabled = value != 0 ? 1 : 0;
    }
    if (ResolveConfigValue(moduleConfig, globalConfig, L"MaxSize", kDefaultMaxSize, &ValidMaxSize,
                           value)) {
        SetMaxSize(value);
    }
    if (ResolveConfigValue(moduleConfig, globalConfig, L"MaxEntries", kDefaultMaxEntries,
                           &ValidMaxEntries, value)) {
        SetMaxEntries(value);
    }
    if (ResolveConfigValue(moduleConfig, globalConfig, L"Severity", kDefaultSeverityThreshold,
                           &ValidSeverity, value)) {
        m_threshold = value;  // as read: 0 enables every severity
    }
    if (ResolveConfigValue(moduleConfig, globalConfig, L"Options", kDefaultOptions, &AnyValue,
                           value)) {
        m_options = value;
    }
}

DWORD CLogging::Prepare() {
    return ERROR_SUCCESS;
}

void CLogging::GetSourcePath(std::wstring& /*sourcePath*/) {}

void CLogging::GetGroupName(std::wstring& /*groupName*/) {}

DWORD CLogging::Shutdown() {
    if (!m_initialized) {
        return kErrorNotInitialized;
    }
    Reset();
    return ERROR_SUCCESS;
}

void CLogging::SetEnabled(bool enabled) {
    m_enabled = enabled ? 1 : 0;
}

bool CLogging::IsEnabled() {
    return m_enabled == 1;
}

DWORD CLogging::LogFormat(DWORD severity, const wchar_t* file, const wchar_t* function, int line,
                          const wchar_t* format, ...) {
    if (!IsEnabled() || !IsSeverityEnabled(severity)) {
        return ERROR_SUCCESS;
    }
    va_list args;
    va_start(args, format);
    const DWORD result = LogFixedBuffer(severity, file, function, line, format, args);
    va_end(args);
    return result;
}

DWORD CLogging::Log(const wchar_t* file, const wchar_t* function, int line, DWORD severity,
                    const wchar_t* message) {
    if (message == nullptr || *message == L'\0' || !m_initialized || !FolderCheckSaysYes()) {
        return ERROR_INVALID_PARAMETER;
    }
    // Refused before the file is opened, so that a refused record never starts a new file.
    if (severity < kSeverityNormal || severity > kSeverityInformation2) {
        return ERROR_INVALID_PARAMETER;
    }
    // The file is open only for this record, whatever way this function is left.
    struct CloseAfterRecord {
        Tessel::CLinkFreeFile& file;
        ~CloseAfterRecord() { file.Close(); }
    } closeAfterRecord{m_file};
    try {
        std::wstring text;
        BuildLine(file, function, line, severity, message, text);
        const DWORD opened = OpenLogFile();
        if (opened != ERROR_SUCCESS && opened != ERROR_ALREADY_EXISTS) {
            return opened;
        }
        DWORD written = 0;
        const BOOL wrote =
            ::WriteFile(m_file.Get(), text.data(),
                        static_cast<DWORD>(text.size() * sizeof(wchar_t)), &written, nullptr);
        const DWORD writeError = wrote ? ERROR_SUCCESS : ::GetLastError();
        if (m_options & kOptionDebugger) {
            ::OutputDebugStringW(text.c_str());
        }
        return writeError;
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    }
}

bool CLogging::FolderCheckSaysYes() {
    if (m_folderCheck == FolderCheck::NotRun) {
        if (MakeLogFolder() == ERROR_SUCCESS) {
            m_folderCheck = FolderCheck::Yes;
        } else {
            // Nowhere to write, or a link on the way: switch the sink off until it is reset.
            m_folderCheck = FolderCheck::No;
            m_enabled = 0;
            m_threshold = kOffThreshold;
        }
    }
    return m_folderCheck == FolderCheck::Yes;
}

DWORD CLogging::MakeLogFolder() {
    Tessel::UniqueLocalMem rights;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(
            kModuleFolderRights, SDDL_REVISION_1,
            reinterpret_cast<PSECURITY_DESCRIPTOR*>(rights.put()), nullptr)) {
        return ::GetLastError();
    }
    SECURITY_ATTRIBUTES moduleFolder = {sizeof(moduleFolder), rights.get(), FALSE};
    // The data folder is the machine's, trusted as it is; a missing one is made whole.
    if (::GetFileAttributesW(m_dataFolderPath.c_str()) == INVALID_FILE_ATTRIBUTES) {
        ::SHCreateDirectoryExW(nullptr, m_dataFolderPath.c_str(), nullptr);
    }
    // Every folder from "Varlen" down must be a folder, not a link; the missing ones are made,
    // the shared ones with the rights they inherit, the module's own with its own.
    return m_logFolders.HoldCreatingFolders(m_dataFolderPath, BelowDataFolder(m_logFolder),
                                            &moduleFolder);
}

std::wstring CLogging::LogFilePath(DWORD index) const {
    std::wstring path = m_logFolder + L"\\" + m_moduleName;
    if (m_hasHostName) {
        path += L"_" + m_hostName;
    }
    std::wstring suffix;
    FormatWide(suffix, L"%0.3lu%s", static_cast<unsigned long>(index), L".log");
    return path + suffix;
}

std::wstring CLogging::BelowDataFolder(const std::wstring& path) const {
    return path.substr(m_dataFolderPath.size() + 1);
}

DWORD CLogging::ReadLastLogIdx(DWORD& index) const {
    index = 0;
    Tessel::CObfuscatedIniReader moduleConfig;
    if (!IsFile(m_moduleConfigPath) ||
        moduleConfig.Load(m_moduleConfigPath.c_str(), m_logFolders) != 0) {
        return ERROR_SUCCESS;
    }
    if (!moduleConfig.ReadDword(kConfigSection, kLastLogIdxKey, index)) {
        index = 0;
        // A link is not read: the record is given up rather than written at a guessed index.
        if (moduleConfig.FileError() == Tessel::kErrorLinkOnPath) {
            return Tessel::kErrorLinkOnPath;
        }
    }
    return ERROR_SUCCESS;
}

DWORD CLogging::WriteLastLogIdx(DWORD index) {
    Tessel::CObfuscatedIniReader moduleConfig;
    if (moduleConfig.Load(m_moduleConfigPath.c_str(), m_logFolders) == ERROR_SUCCESS &&
        !moduleConfig.WriteDword(kConfigSection, kLastLogIdxKey, index) &&
        moduleConfig.FileError() == Tessel::kErrorLinkOnPath) {
        return moduleConfig.FileError();
    }
    return ERROR_SUCCESS;
}

DWORD CLogging::OpenLogFile() {
    if (m_logFolder.empty() || m_moduleName.empty() || (m_hasHostName && m_hostName.empty())) {
        return ERROR_INVALID_PARAMETER;
    }
    if (m_file.IsOpen()) {
        return ERROR_ALREADY_EXISTS;
    }
    DWORD index = 0;
    if (const DWORD error = ReadLastLogIdx(index); error != ERROR_SUCCESS) {
        return error;
    }
    if (index >= m_maxEntries) {
        // The rotation was made shorter since this index was stored: start again at 000.
        return StartLogFile(0);
    }
    // The file of this index, made when missing; appended to while it is not full.
    if (const DWORD error = OpenLogFileAt(index, Tessel::FileDisposition::kOpenOrCreate);
        error != ERROR_SUCCESS) {
        return error;
    }
    LARGE_INTEGER size = {};
    LARGE_INTEGER zero = {};
    if (!m_file.IsFresh() && !::GetFileSizeEx(m_file.Get(), &size)) {
        const DWORD error = ::GetLastError();
        m_file.Close();
        return error;
    }
    if (static_cast<ULONGLONG>(size.QuadPart) >= m_maxSize) {
        m_file.Close();
        return StartLogFile(index + 1 >= m_maxEntries ? 0 : index + 1);
    }
    if (!::SetFilePointerEx(m_file.Get(), zero, nullptr, FILE_END)) {
        const DWORD error = ::GetLastError();
        m_file.Close();
        return error;
    }
    return ERROR_SUCCESS;
}

DWORD CLogging::StartLogFile(DWORD index) {
    if (const DWORD error = OpenLogFileAt(index, Tessel::FileDisposition::kCreateOrEmpty);
        error != ERROR_SUCCESS) {
        return error;
    }
    if (const DWORD error = WriteLastLogIdx(index); error != ERROR_SUCCESS) {
        m_file.Close();
        return error;
    }
    return ERROR_SUCCESS;
}

// Opens the log file of `index`; a new or emptied file gets the byte-order mark.
DWORD CLogging::OpenLogFileAt(DWORD index, Tessel::FileDisposition disposition) {
    const DWORD opened = m_file.OpenIn(m_logFolders, BelowDataFolder(LogFilePath(index)),
                                       GENERIC_READ | GENERIC_WRITE, disposition);
    if (opened != ERROR_SUCCESS || !m_file.IsFresh()) {
        return opened;
    }
    static const BYTE kByteOrderMark[] = {0xFF, 0xFE};
    DWORD written = 0;
    if (!::WriteFile(m_file.Get(), kByteOrderMark, sizeof(kByteOrderMark), &written, nullptr)) {
        const DWORD error = ::GetLastError();
        m_file.Close();
        return error;
    }
    return ERROR_SUCCESS;
}

void CLogging::BuildLine(const wchar_t* file, const wchar_t* function, int line, DWORD severity,
                         const wchar_t* message, std::wstring& text) const {
    SYSTEMTIME time = {};
    if (m_clock) {
        m_clock(time);
    } else {
        ::GetLocalTime(&time);
    }
    // 12-hour clock: hour 0 is 12 AM, 12 is 12 PM.
    const WORD hour = time.wHour % 12 == 0 ? 12 : time.wHour % 12;
    PieceBuffer timestamp;
    FormatPiece(timestamp, L"%02hu/%02hu/%hu %02hu:%02hu:%02hu %s$", time.wMonth, time.wDay,
                time.wYear, hour, time.wMinute, time.wSecond, time.wHour < 12 ? L"AM" : L"PM");
    PieceBuffer head;
    FormatPiece(head, L"%s -- (%s)$", timestamp, SeverityName(severity));
    text = head;

    // Each option adds a space and its piece, also when the piece is empty.
    PieceBuffer piece;
    if (m_options & kOptionProcessTag) {
        piece[0] = L'\0';
        if (!m_processName.empty()) {
            FormatPiece(piece, L"[%s]$", Fit(m_processName, kProcessNameChars).c_str());
        }
        text.append(L" ").append(piece);
    }
    if (m_options & kOptionThreadTag) {
        FormatPiece(piece, L"[PID:%5lu TID:%5lu]$", static_cast<unsigned long>(m_processId),
                    static_cast<unsigned long>(::GetCurrentThreadId()));
        text.append(L" ").append(piece);
    }
    if (m_options & kOptionSourceTag) {
        piece[0] = L'\0';
        if (file != nullptr && *file != L'\0') {
            const wchar_t* slash = std::wcsrchr(file, L'\\');
            const std::wstring fileName = slash != nullptr ? slash + 1 : file;
            FormatPiece(piece, L"[%s:%5d]$", Fit(fileName, kSourceNameChars).c_str(), line);
        }
        text.append(L" ").append(piece);
    }
    if (m_options & kOptionFunctionTag) {
        piece[0] = L'\0';
        if (function != nullptr && *function != L'\0') {
            FormatPiece(piece, L"[%s()]$", Fit(function, kFunctionNameChars).c_str());
        }
        text.append(L" ").append(piece);
    }
    text.append(L" ").append(message);
    if (text.back() != L'\n') {
        text.append(L"\r\n");
    }
}

int CLogging::IsSeverityEnabled(DWORD severity) {
    return severity >= m_threshold ? 1 : 0;
}

void CLogging::SetMaxEntries(DWORD count) {
    m_maxEntries = std::clamp(count, kMinMaxEntries, kMaxMaxEntries);
}

DWORD CLogging::GetMaxEntries() {
    return m_maxEntries;
}

void CLogging::SetMaxSize(DWORD bytes) {
    m_maxSize = std::clamp(bytes, kDefaultMaxSize, kMaxMaxSize);
}

DWORD CLogging::GetMaxSize() {
    return m_maxSize;
}

DWORD CLogging::SetSeverity(DWORD threshold) {
    m_threshold = threshold == 0                      ? kSeverityNormal
                  : threshold > kSeverityInformation2 ? kSeverityInformation2
                                                      : threshold;
    return threshold;
}

DWORD CLogging::GetSeverity() {
    return m_threshold;
}

LONG CLogging::AddRef() {
    return ::InterlockedIncrement(&m_refCount);
}

LONG CLogging::Release() {
    const LONG count = ::InterlockedDecrement(&m_refCount);
    if (count == 0) {
        delete this;
    }
    return count;
}

DWORD CLogging::GetLogRoot(wchar_t* buffer, DWORD capacity) {
    if (buffer == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    Tessel::UniqueCoTaskMemString folder;
    if (FAILED(
            ::SHGetKnownFolderPath(FOLDERID_ProgramData, KF_FLAG_CREATE, nullptr, folder.put())) ||
        !folder) {
        return ERROR_INVALID_PARAMETER;
    }
    const size_t length = std::wcslen(folder.get());
    if (length >= capacity) {
        if (capacity > 0) {
            buffer[0] = L'\0';
        }
        return ERROR_INSUFFICIENT_BUFFER;
    }
    std::wmemcpy(buffer, folder.get(), length + 1);
    return ERROR_SUCCESS;
}

}  // namespace ETWLogging
