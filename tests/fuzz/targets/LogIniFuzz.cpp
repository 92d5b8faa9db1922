// log.ini, read by the file sink through the obfuscating INI reader. The input is the module's
// log.ini; when it holds a line "%%", what follows that line is the global log.ini of the log
// root. Both are written as they come (any encoding), then:
//
// - each setting is read as the reader's structure into a buffer that ends at a guarded page, so
//   that the platform's parser can write nothing past the four bytes it is given, and the reader's
//   value agrees with that structure;
// - the sink takes its settings from the files: each one the module file's when that is valid,
//   else the global file's, else the default, every value within its range, an invalid one
//   replaced by the default in the file it came from;
// - one record is written: into a log file whose index is below the rotation's length, and the
//   index stored afterwards (when one can be read) is below it too.
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <shlobj.h>

#include "FuzzSupport.h"
#include "etwlogging/FileLogging.h"
#include "support/IniReader.h"

namespace {

using ETWLogging::CLogging;

constexpr wchar_t kSection[] = L"Config";
constexpr wchar_t kGroup[] = L"Fuzz";

// The obfuscating reader, with its structure read opened up.
class CInspectedIniReader : public Tessel::CObfuscatedIniReader {
public:
    bool ReadStructInto(const wchar_t* key, void* data, UINT size) const {
        return ReadStruct(kSection, key, data, size);
    }
};

struct Setting {
    const wchar_t* key;
    DWORD defaultValue;
    bool (*valid)(DWORD);
};
const Setting kSettings[] = {
    {L"Enable", 1, [](DWORD) { return true; }},
    {L"MaxSize", CLogging::kDefaultMaxSize,
     [](DWORD v) { return v >= CLogging::kDefaultMaxSize && v <= CLogging::kMaxMaxSize; }},
    {L"MaxEntries", CLogging::kDefaultMaxEntries,
     [](DWORD v) { return v >= CLogging::kMinMaxEntries && v <= CLogging::kMaxMaxEntries; }},
    {L"Severity", ETWLogging::kDefaultSeverityThreshold,
     [](DWORD v) { return v <= ETWLogging::kSeverityInformation2; }},
};

struct Files {
    CLogging::LogPaths paths;
    std::wstring moduleName;
};

const Files& LogFiles() {
    static const Files files = [] {
        Files f;
        wchar_t exe[MAX_PATH] = {};
        ::GetModuleFileNameW(nullptr, exe, MAX_PATH);
        f.moduleName = exe;
        f.moduleName = f.moduleName.substr(f.moduleName.find_last_of(L'\\') + 1);
        f.moduleName.resize(f.moduleName.find_last_of(L'.'));
        VRX_FUZZ_CHECK(CLogging::ComposeLogPaths(VrxFuzz::ScratchFolder().c_str(), kGroup,
                                                 f.moduleName, f.paths),
                       "no log paths");
        ::SHCreateDirectoryExW(nullptr, f.paths.folder.c_str(), nullptr);
        return f;
    }();
    return files;
}

// Writes a configuration file with a write time of its own: the platform's parser keeps the last
// files it read and reads one again only when its write time has changed.
void WriteConfig(const std::wstring& path, const uint8_t* data, size_t size) {
    static ULONGLONG stamp = 130000000000000000ULL;
    VRX_FUZZ_CHECK(VrxFuzz::WriteBytes(path, data, size), "cannot write %ls", path.c_str());
    const Tessel::UniqueFileHandle file(::CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES,
                                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                      OPEN_EXISTING, 0, nullptr));
    stamp += 10000000;
    FILETIME time = {static_cast<DWORD>(stamp), static_cast<DWORD>(stamp >> 32)};
    VRX_FUZZ_CHECK(file && ::SetFileTime(file.get(), nullptr, nullptr, &time), "cannot stamp %ls",
                   path.c_str());
}

bool ReadSetting(const std::wstring& path, const wchar_t* key, DWORD& value) {
    if (::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        return false;
    }
    CInspectedIniReader reader;
    VRX_FUZZ_CHECK(reader.Load(path.c_str()) == ERROR_SUCCESS, "cannot name %ls", path.c_str());
    BYTE* const guarded = VrxFuzz::GuardedBytes(sizeof(DWORD));
    std::memset(guarded, 0, sizeof(DWORD));
    const bool structRead = reader.ReadStructInto(key, guarded, sizeof(DWORD));
    DWORD stored = 0;
    std::memcpy(&stored, guarded, sizeof(stored));
    const bool read = reader.ReadDword(kSection, key, value);
    VRX_FUZZ_CHECK(read == structRead && (!read || value == (stored ^ reader.kObfuscationKey)),
                   "%ls: the value read disagrees with its structure", key);
    return read;
}

// The value the sink must take for a setting, and where an invalid value must be replaced.
DWORD ExpectedSetting(const Files& files, const Setting& setting, std::wstring& replaced) {
    replaced.clear();
    for (const std::wstring* path : {&files.paths.moduleConfig, &files.paths.globalConfig}) {
        DWORD value = 0;
        if (ReadSetting(*path, setting.key, value)) {
            if (!setting.valid(value)) {
                replaced = *path;
                return setting.defaultValue;
            }
            return value;
        }
    }
    return setting.defaultValue;
}

// The index of each log file of this module in the log folder.
std::vector<unsigned long> LogFileIndexes(const Files& files) {
    std::vector<unsigned long> indexes;
    WIN32_FIND_DATAW entry = {};
    const std::wstring pattern = files.paths.folder + L"\\" + files.moduleName + L"*.log";
    const Tessel::UniqueFindHandle find(::FindFirstFileW(pattern.c_str(), &entry));
    if (find) {
        do {
            const std::wstring digits =
                std::wstring(entry.cFileName).substr(files.moduleName.size());
            indexes.push_back(std::wcstoul(digits.c_str(), nullptr, 10));
        } while (::FindNextFileW(find.get(), &entry));
    }
    return indexes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Files& files = LogFiles();
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t split = input.find("\n%%\n");
    const size_t moduleBytes = split == std::string::npos ? size : split + 1;
    WriteConfig(files.paths.moduleConfig, data, moduleBytes);
    if (split == std::string::npos) {
        ::DeleteFileW(files.paths.globalConfig.c_str());
    } else {
        WriteConfig(files.paths.globalConfig, data + split + 4, size - split - 4);
    }
    for (unsigned long index : LogFileIndexes(files)) {
        wchar_t name[32];
        std::swprintf(name, 32, L"%03lu.log", index);
        ::DeleteFileW((files.paths.folder + L"\\" + files.moduleName + name).c_str());
    }

    DWORD expected[ARRAYSIZE(kSettings)] = {};
    std::wstring replaced[ARRAYSIZE(kSettings)];
    for (size_t i = 0; i < ARRAYSIZE(kSettings); ++i) {
        expected[i] = ExpectedSetting(files, kSettings[i], replaced[i]);
    }
    DWORD storedIndex = 0;
    ReadSetting(files.paths.moduleConfig, L"LastLogIdx", storedIndex);

    CLogging sink(
        [](wchar_t* buffer, DWORD capacity) {
            const std::wstring& folder = VrxFuzz::ScratchFolder();
            VRX_FUZZ_CHECK(folder.size() < capacity, "the scratch folder is too long");
            std::wmemcpy(buffer, folder.c_str(), folder.size() + 1);
            return static_cast<DWORD>(ERROR_SUCCESS);
        },
        nullptr);
    VRX_FUZZ_CHECK(sink.Initialize(kGroup, nullptr, nullptr, 0) == ERROR_SUCCESS,
                   "the sink cannot start");
    const DWORD taken[] = {sink.IsEnabled() ? 1u : 0u, sink.GetMaxSize(), sink.GetMaxEntries(),
                           sink.GetSeverity()};
    for (size_t i = 0; i < ARRAYSIZE(kSettings); ++i) {
        const DWORD want = i == 0 ? (expected[0] != 0 ? 1u : 0u) : expected[i];
        VRX_FUZZ_CHECK(taken[i] == want, "%ls: the sink took %lu, the files say %lu",
                       kSettings[i].key, taken[i], want);
        DWORD now = 0;
        VRX_FUZZ_CHECK(replaced[i].empty() || (ReadSetting(replaced[i], kSettings[i].key, now) &&
                                               now == kSettings[i].defaultValue),
                       "%ls: an invalid value was not replaced", kSettings[i].key);
    }

    const DWORD entries = sink.GetMaxEntries();
    const DWORD logged =
        sink.Log(L"fuzz", L"LLVMFuzzerTestOneInput", 1, ETWLogging::kSeverityError, L"a record");
    VRX_FUZZ_CHECK(logged == ERROR_SUCCESS, "a record could not be written (%lu)", logged);
    for (unsigned long index : LogFileIndexes(files)) {
        VRX_FUZZ_CHECK(index < entries, "log file %lu of a rotation of %lu (index stored: %lu)",
                       index, entries, storedIndex);
    }
    DWORD index = 0;
    VRX_FUZZ_CHECK(!ReadSetting(files.paths.moduleConfig, L"LastLogIdx", index) || index < entries,
                   "index %lu stored for a rotation of %lu (before: %lu)", index, entries,
                   storedIndex);
    return 0;
}
