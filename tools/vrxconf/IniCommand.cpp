// "ini": the obfuscated 32-bit values of the file sink's "log.ini" files.
#include <shlwapi.h>

#include "support/IniReader.h"
#include "support/RtMui.h"
#include "tools/vrxconf/Commands.h"
#include "tools/vrxconf/Console.h"

namespace VrxConf {
namespace {

std::wstring EntryText(const std::wstring& path, const std::wstring& section,
                       const std::wstring& name) {
    return L"[" + section + L"] " + name + L" in " + path;
}

// What a read or write that did not reach the file says.
std::wstring NotReached(const Tessel::CObfuscatedIniReader& ini) {
    if (ini.FileError() == Tessel::kErrorLinkOnPath) {
        return L"refused: " + ini.Path() +
               L" is a link, or a second name of another file, or a folder on its way is a link";
    }
    return ErrorText(ini.FileError() != ERROR_SUCCESS ? ini.FileError() : ::GetLastError());
}

// Loads the file's full path to be held from its root down: the tool, which runs elevated as the
// sink does, refuses a file that is a link or lies behind one, as the sink does.
DWORD LoadHeldFromRoot(Tessel::CObfuscatedIniReader& ini, const std::wstring& path) {
    wchar_t full[MAX_PATH] = {};
    const DWORD chars = ::GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
    if (chars == 0 || chars >= MAX_PATH) {
        return ERROR_BAD_PATHNAME;
    }
    const size_t root = Tessel::FullyQualifiedRootLength(full);
    if (root == 0) {
        return ERROR_BAD_PATHNAME;
    }
    return ini.Load(full, std::wstring(full, root).c_str());
}

// The folder the file is to be written in must exist: the tool creates no folders.
DWORD CheckFolderOf(const std::wstring& path) {
    std::wstring folder = path;
    folder.resize(::PathFindFileNameW(path.c_str()) - path.c_str());
    if (folder.empty()) {
        return ERROR_SUCCESS;
    }
    const DWORD attributes = ::GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return ::GetLastError();
    }
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? ERROR_SUCCESS : ERROR_DIRECTORY;
}

int GetEntry(Tessel::CObfuscatedIniReader& ini, const std::wstring& section,
             const std::wstring& name) {
    const std::wstring& path = ini.Path();
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        const DWORD error =
            attributes == INVALID_FILE_ATTRIBUTES ? ::GetLastError() : ERROR_DIRECTORY;
        return Fail(L"cannot read " + path + L": " + ErrorText(error));
    }
    DWORD value = 0;
    if (!ini.ReadDword(section.c_str(), name.c_str(), value)) {
        if (ini.FileError() != ERROR_SUCCESS) {
            return Fail(L"cannot read " + path + L": " + NotReached(ini));
        }
        return Fail(L"no readable value " + EntryText(path, section, name) +
                    L" (missing, or not in the obfuscated form)");
    }
    PrintLine(EntryText(path, section, name) + L" = " + std::to_wstring(value));
    return kExitOk;
}

int SetEntry(Tessel::CObfuscatedIniReader& ini, const std::wstring& section,
             const std::wstring& name, DWORD value) {
    const std::wstring& path = ini.Path();
    if (const DWORD error = CheckFolderOf(path); error != ERROR_SUCCESS) {
        return Fail(L"cannot write " + path + L": its folder: " + ErrorText(error));
    }
    if (!ini.WriteDword(section.c_str(), name.c_str(), value)) {
        return Fail(L"cannot write " + EntryText(path, section, name) + L": " + NotReached(ini));
    }
    PrintLine(L"set " + EntryText(path, section, name) + L" = " + std::to_wstring(value));
    return kExitOk;
}

}  // namespace

int RunIni(const CommandLine& line) {
    static const wchar_t kUsage[] =
        L"usage: vrxconf ini get|set <log.ini path> <section> <name> [value]";
    std::wstring error;
    if (!CheckOptions(line, {}, error)) {
        return Fail(error, kExitUsage);
    }
    const std::vector<std::wstring>& args = line.positional;
    const bool get = args.size() == 5 && args[1] == L"get";
    const bool set = args.size() == 6 && args[1] == L"set";
    if (!get && !set) {
        return Fail(kUsage, kExitUsage);
    }
    ULONGLONG value = 0;
    if (set && !ParseNumber(args[5], MAXDWORD, value)) {
        return Fail(L"nothing written: " + Quoted(args[5]) +
                        L" is not a 32-bit number (decimal, or hexadecimal after 0x)",
                    kExitUsage);
    }
    Tessel::CObfuscatedIniReader ini;
    if (args[2].empty() || args[3].empty() || args[4].empty()) {
        return Fail(kUsage, kExitUsage);
    }
    if (const DWORD error = LoadHeldFromRoot(ini, args[2]); error != ERROR_SUCCESS) {
        return Fail(L"cannot use " + args[2] + L": " + ErrorText(error));
    }
    return get ? GetEntry(ini, args[3], args[4])
               : SetEntry(ini, args[3], args[4], static_cast<DWORD>(value));
}

}  // namespace VrxConf
