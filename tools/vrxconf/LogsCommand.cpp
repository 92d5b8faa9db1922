// "logs": the file sink's log files of one module, oldest first.
#include <algorithm>
#include <cstring>
#include <vector>

#include "src/common/vrxrunonce/ActionLog.h"
#include "support/ReparsePoints.h"
#include "support/UniqueAny.h"
#include "tools/vrxconf/Commands.h"
#include "tools/vrxconf/Console.h"

namespace VrxConf {
namespace {

constexpr wchar_t kDefaultModule[] = L"VrxRO";
constexpr wchar_t kByteOrderMark = L'\xFEFF';

struct LogFile {
    std::wstring path;
    FILETIME lastWrite;
};

bool WrittenEarlier(const LogFile& left, const LogFile& right) {
    const LONG order = ::CompareFileTime(&left.lastWrite, &right.lastWrite);
    return order != 0 ? order < 0 : left.path < right.path;
}

// The module's log files (<module>000.log and on, host-named ones too), oldest first.
std::vector<LogFile> FindLogFiles(const std::wstring& folder, const std::wstring& module) {
    std::vector<LogFile> files;
    WIN32_FIND_DATAW found = {};
    const Tessel::UniqueFindHandle find(
        ::FindFirstFileW((folder + L"\\" + module + L"*.log").c_str(), &found));
    if (!find) {
        return files;
    }
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            files.push_back({folder + L"\\" + found.cFileName, found.ftLastWriteTime});
        }
    } while (::FindNextFileW(find.get(), &found));
    std::sort(files.begin(), files.end(), WrittenEarlier);
    return files;
}

std::wstring Below(const std::wstring& folder, const std::wstring& path) {
    return path.substr(folder.size() + 1);
}

// The lines of a UTF-16LE log file below the data folder; the sink may be writing it, so writers
// are not shut out. A link in its place, or a second name of a file elsewhere, is not read.
DWORD ReadLogLines(const std::wstring& dataFolder, const std::wstring& path,
                   std::vector<std::wstring>& lines) {
    Tessel::CLinkFreeFile file;
    if (const DWORD error = file.Open(dataFolder, Below(dataFolder, path), GENERIC_READ,
                                      Tessel::FileDisposition::kOpenExisting);
        error != ERROR_SUCCESS) {
        return error;
    }
    LARGE_INTEGER size = {};
    if (!::GetFileSizeEx(file.Get(), &size)) {
        return ::GetLastError();
    }
    if (size.QuadPart > 64 * 1024 * 1024) {
        return ERROR_FILE_TOO_LARGE;
    }
    std::wstring text(static_cast<size_t>(size.QuadPart) / sizeof(wchar_t), L'\0');
    DWORD read = 0;
    if (!text.empty() &&
        !::ReadFile(file.Get(), &text[0], static_cast<DWORD>(text.size() * sizeof(wchar_t)), &read,
                    nullptr)) {
        return ::GetLastError();
    }
    text.resize(read / sizeof(wchar_t));
    size_t at = !text.empty() && text[0] == kByteOrderMark ? 1 : 0;
    while (at < text.size()) {
        size_t end = text.find(L'\n', at);
        if (end == std::wstring::npos) {
            end = text.size();
        }
        const size_t lineEnd = end > at && text[end - 1] == L'\r' ? end - 1 : end;
        lines.push_back(text.substr(at, lineEnd - at));
        at = end + 1;
    }
    return ERROR_SUCCESS;
}

}  // namespace

DWORD ComposeProductLogPaths(const std::wstring& module, ETWLogging::CLogging::LogPaths& paths) {
    wchar_t dataFolder[MAX_PATH] = {};
    if (const DWORD status = ETWLogging::CLogging().GetLogRoot(dataFolder, MAX_PATH);
        status != ERROR_SUCCESS) {
        return status;
    }
    return ETWLogging::CLogging::ComposeLogPaths(dataFolder, VrxRunOnce::kLogGroupName, module,
                                                 paths)
               ? ERROR_SUCCESS
               : ERROR_OUTOFMEMORY;
}

int RunLogs(const CommandLine& line) {
    std::wstring error;
    if (!CheckOptions(line, {L"--module", L"--tail"}, error)) {
        return Fail(error, kExitUsage);
    }
    ULONGLONG tail = 0;
    const bool hasTail = line.options.count(L"--tail") != 0;
    if (line.positional.size() != 1 ||
        (hasTail && (!ParseNumber(line.Option(L"--tail", L""), MAXDWORD, tail) || tail == 0))) {
        return Fail(L"usage: vrxconf logs [--module VrxRO] [--tail N], N at least 1", kExitUsage);
    }
    const std::wstring module = line.Option(L"--module", kDefaultModule);
    ETWLogging::CLogging::LogPaths paths;
    if (const DWORD status = ComposeProductLogPaths(module, paths); status != ERROR_SUCCESS) {
        return Fail(L"cannot find the log folder: " + ErrorText(status));
    }
    // The folders from "Varlen" down stay as they are while the files are read; one that is a
    // link would show another folder's files.
    Tessel::CLinkFreePath folders;
    if (const DWORD status = folders.Hold(paths.dataFolder, Below(paths.dataFolder, paths.folder));
        status != ERROR_SUCCESS) {
        return Fail(status == Tessel::kErrorLinkOnPath
                        ? L"refused: the log folder " + paths.folder +
                              L" is a link, or a folder on its way is one"
                        : L"cannot read the log folder " + paths.folder + L": " +
                              ErrorText(status));
    }
    const std::vector<LogFile> files = FindLogFiles(paths.folder, module);
    if (files.empty()) {
        return Fail(L"no log files of " + module + L" in " + paths.folder);
    }

    struct Line {
        size_t file;
        std::wstring text;
    };
    std::vector<Line> lines;
    int result = kExitOk;
    for (size_t i = 0; i < files.size(); ++i) {
        std::vector<std::wstring> fileLines;
        const DWORD status = ReadLogLines(paths.dataFolder, files[i].path, fileLines);
        if (status == Tessel::kErrorLinkOnPath) {
            result = Fail(L"refused: " + files[i].path +
                          L" is a link, or a second name of another file");
        } else if (status != ERROR_SUCCESS) {
            result = Fail(L"cannot read " + files[i].path + L": " + ErrorText(status));
        }
        for (std::wstring& text : fileLines) {
            lines.push_back({i, std::move(text)});
        }
    }
    const size_t first = hasTail && tail < lines.size() ? lines.size() - tail : 0;
    size_t shownFile = files.size();
    for (size_t i = first; i < lines.size(); ++i) {
        if (lines[i].file != shownFile) {
            shownFile = lines[i].file;
            PrintLine(L"== " + files[shownFile].path);
        }
        PrintLine(lines[i].text);
    }
    return result;
}

}  // namespace VrxConf
