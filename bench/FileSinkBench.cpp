// Records per second through the logging facade into the file sink, against a bare loop that
// opens, appends and closes the same number of bytes per record.
//   vrx_bench_filesink [runs] [records per run]
// The sink is chosen by the mechanism override; its files go to
// <ProgramData>\Varlen\VLLOGS\Bench\vrx_bench_filesink\, the bare loop's beside them. The folder
// is emptied first and removed at the end, with those above it that the sink created.
#include <shlobj.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "Stats.h"
#include "etwlogging/LogFacade.h"
#include "support/IniReader.h"
#include "support/UniqueAny.h"

namespace {

std::wstring ProgramData() {
    wchar_t data[MAX_PATH] = {};
    ::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, data);
    return data;
}

// The log folder and the folders above it up to <ProgramData>, deepest first.
std::vector<std::wstring> LogFolderChain() {
    std::vector<std::wstring> chain;
    std::wstring folder = ProgramData();
    for (const wchar_t* part : {L"Varlen", L"VLLOGS", L"Bench", L"vrx_bench_filesink"}) {
        folder += std::wstring(L"\\") + part;
        chain.insert(chain.begin(), folder);
    }
    return chain;
}

bool FolderExists(const std::wstring& folder) {
    const DWORD attributes = ::GetFileAttributesW(folder.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

ULONGLONG FileBytes(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return 0;
    }
    return (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// Empties the sink's folder (log files, log.ini), so that every run starts at file 000.
void RemoveFolderFiles(const std::wstring& folder) {
    WIN32_FIND_DATAW entry = {};
    const Tessel::UniqueFindHandle search(::FindFirstFileW((folder + L"\\*.*").c_str(), &entry));
    if (!search) {
        return;
    }
    do {
        ::DeleteFileW((folder + L"\\" + entry.cFileName).c_str());
    } while (::FindNextFileW(search.get(), &entry));
}

double FacadeRecordsPerSecond(int records) {
    const LARGE_INTEGER start = VrxBench::Now();
    for (int i = 0; i < records; ++i) {
        ETWLogging::LogIfEnabled(3, L"Bench", L"FacadeRecordsPerSecond", 40,
                                 L"record %d of the file sink benchmark", i);
    }
    return records / VrxBench::Seconds(start, VrxBench::Now());
}

double BareRecordsPerSecond(const std::wstring& path, const std::string& line, int records) {
    ::DeleteFileW(path.c_str());
    const LARGE_INTEGER start = VrxBench::Now();
    for (int i = 0; i < records; ++i) {
        const Tessel::UniqueFileHandle file(::CreateFileW(
            path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        ::SetFilePointer(file.get(), 0, nullptr, FILE_END);
        DWORD written = 0;
        ::WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    }
    return records / VrxBench::Seconds(start, VrxBench::Now());
}

// Opens a file as the sink opens each of its files: without following a link, then checked on
// the handle (attributes, number of names, final path).
Tessel::UniqueFileHandle OpenAndCheck(const std::wstring& path, DWORD access, DWORD disposition) {
    Tessel::UniqueFileHandle file(
        ::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                      disposition, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    FILE_ATTRIBUTE_TAG_INFO attributes = {};
    FILE_STANDARD_INFO standard = {};
    wchar_t finalPath[MAX_PATH + 8] = {};
    ::GetFileInformationByHandleEx(file.get(), FileAttributeTagInfo, &attributes,
                                   sizeof(attributes));
    ::GetFileInformationByHandleEx(file.get(), FileStandardInfo, &standard, sizeof(standard));
    ::GetFinalPathNameByHandleW(file.get(), finalPath, ARRAYSIZE(finalPath),
                                FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    return file;
}

// The platform work the sink does for every record, done bare: whether "log.ini" is there, the
// file opened and checked and held while its "LastLogIdx" is read, then the log file opened and
// checked the same way (after the creation that finds it there), appended to and closed.
double BareSinkWorkRecordsPerSecond(const std::wstring& folder, const std::string& line,
                                    int records) {
    const std::wstring path = folder + L"\\bare-sink.log";
    const std::wstring ini = folder + L"\\bare-sink.ini";
    DWORD index = 0;
    ::WritePrivateProfileStructW(L"Config", L"LastLogIdx", &index, sizeof(index), ini.c_str());
    ::DeleteFileW(path.c_str());
    ::CloseHandle(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    const LARGE_INTEGER start = VrxBench::Now();
    for (int i = 0; i < records; ++i) {
        ::GetFileAttributesW(ini.c_str());
        {
            const Tessel::UniqueFileHandle held =
                OpenAndCheck(ini, FILE_READ_DATA | FILE_READ_ATTRIBUTES, OPEN_EXISTING);
            ::GetPrivateProfileStructW(L"Config", L"LastLogIdx", &index, sizeof(index),
                                       ini.c_str());
        }
        Tessel::UniqueFileHandle(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                               CREATE_NEW, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        const Tessel::UniqueFileHandle file =
            OpenAndCheck(path, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
        LARGE_INTEGER size = {};
        ::GetFileSizeEx(file.get(), &size);
        LARGE_INTEGER zero = {};
        ::SetFilePointerEx(file.get(), zero, nullptr, FILE_END);
        DWORD written = 0;
        ::WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    }
    return records / VrxBench::Seconds(start, VrxBench::Now());
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const int runs = argc > 1 ? _wtoi(argv[1]) : 7;
    const int records = argc > 2 ? _wtoi(argv[2]) : 500;
    ETWLogging::InitializeLogging(nullptr, L"Bench", nullptr, nullptr, 1);  // 1: the file sink
    const std::vector<std::wstring> chain = LogFolderChain();
    // Removed at the end, deepest first: the log folder, and those above it that the sink creates.
    std::vector<std::wstring> toRemove;
    for (const std::wstring& above : chain) {
        if (above == chain.front() || !FolderExists(above)) {
            toRemove.push_back(above);
        }
    }
    const std::wstring folder = chain.front();
    const std::wstring firstFile = folder + L"\\vrx_bench_filesink000.log";

    // One warm-up run sizes the records: the bare loop writes as many bytes per record.
    RemoveFolderFiles(folder);
    FacadeRecordsPerSecond(records);
    const size_t lineBytes = static_cast<size_t>((FileBytes(firstFile) - 2) / records);
    const std::string line(lineBytes, 'x');
    std::printf("file sink: %d records a run, %zu bytes a record\n", records, lineBytes);

    // A configured installation has "log.ini" beside the logs, which the sink reads for every
    // record: LastLogIdx 0 keeps it at the first file.
    Tessel::CObfuscatedIniReader config;
    if (config.Load((folder + L"\\log.ini").c_str()) != ERROR_SUCCESS ||
        !config.WriteDword(L"Config", L"LastLogIdx", 0)) {
        std::fprintf(stderr, "cannot write log.ini\n");
        return 1;
    }
    const std::wstring bareFile = folder + L"\\bare.log";
    std::vector<double> facade;
    std::vector<double> bare;
    std::vector<double> bareSinkWork;
    for (int run = 0; run < runs; ++run) {
        bare.push_back(BareRecordsPerSecond(bareFile, line, records));
        bareSinkWork.push_back(BareSinkWorkRecordsPerSecond(folder, line, records));
        facade.push_back(FacadeRecordsPerSecond(records));
    }
    const double floor = VrxBench::Summarise("bare open/append/close", bare, "records/s");
    const double sinkFloor =
        VrxBench::Summarise("bare checked ini read+open/append", bareSinkWork, "records/s");
    const double subject = VrxBench::Summarise("facade into file sink", facade, "records/s");
    VrxBench::PrintRatio("file sink", subject / floor, ">= 0.8x");
    VrxBench::PrintRatio("file sink, to its own bare work", subject / sinkFloor, ">= 0.8x");

    // The sink holds its folders as long as it is initialised: shut it down to remove them.
    if (ETWLogging::CLoggingIf* sink = ETWLogging::GetLogFacade()->Sink()) {
        sink->Shutdown();
    }
    RemoveFolderFiles(folder);
    for (const std::wstring& above : toRemove) {
        ::RemoveDirectoryW(above.c_str());
    }
    return 0;
}
