// "status": what the DLL's actions would read on this machine, in both registry views.
#include <shlwapi.h>

#include <cstring>

#include "etwlogging/DefaultLogBuilder.h"
#include "src/common/vrxrunonce/ProductLocations.h"
#include "src/includes/CmdBuf.h"
#include "src/includes/ProductKeys.h"
#include "support/FileValidator.h"
#include "support/NotComDll.h"
#include "tools/vrxconf/Commands.h"
#include "tools/vrxconf/Console.h"
#include "tools/vrxconf/Registry.h"

namespace VrxConf {
namespace {

using ETWLogging::CDefaultLogBuilder;

constexpr REGSAM kViews[] = {KEY_WOW64_64KEY, KEY_WOW64_32KEY};
constexpr wchar_t kValidationLibrary[] = L"vlnvtpa.dll";

bool IsDword(const ReadOutcome& read, DWORD& number) {
    if (read.status != ERROR_SUCCESS || read.value.type != REG_DWORD ||
        read.value.bytes.size() != sizeof(DWORD)) {
        return false;
    }
    std::memcpy(&number, read.value.bytes.data(), sizeof(number));
    return true;
}

// The text of a terminated string value, empty for anything else.
std::wstring TextOf(const ReadOutcome& read) {
    if (read.status != ERROR_SUCCESS || read.value.type != REG_SZ || read.value.bytes.size() < 2) {
        return std::wstring();
    }
    return std::wstring(reinterpret_cast<const wchar_t*>(read.value.bytes.data()));
}

std::wstring MechanismMeaning(const ReadOutcome& read) {
    DWORD mechanism = 0;
    return IsDword(read, mechanism) && mechanism == CDefaultLogBuilder::kMechanismFile
               ? L"log files"
               : L"event tracing";
}

std::wstring HostProductMeaning(const ReadOutcome& read) {
    DWORD enable = 0;
    return IsDword(read, enable) && enable != 0
               ? L"enabled: RemoveServiceDependency keeps the service's dependency"
               : L"not enabled: RemoveServiceDependency removes the service's dependency";
}

std::wstring UpdateManagerNames(const ReadOutcome& read) {
    const std::wstring identifier = TextOf(read);
    if (identifier.empty()) {
        return L"no update manager objects can be named";
    }
    const std::wstring hash = CIPCPool::GetHashVal(identifier);
    return L"update manager mutex " + UpdMgrObjects::MutexName(hash) + L", install event " +
           UpdMgrObjects::EventName(hash);
}

std::wstring PlatformVersionMeaning(const ReadOutcome& read) {
    if (!read.keyOpened) {
        return L"no platform core: no validation service";
    }
    const std::wstring text = TextOf(read);
    return L"platform version " + std::to_wstring(Tessel::internal::PlatformVersionFromText(
                                      text.empty() ? nullptr : text.c_str()));
}

std::wstring ValidationServiceMeaning(const ReadOutcome& read) {
    const std::wstring folder = TextOf(read);
    if (folder.empty()) {
        return L"validation service not configured: the library's own signature check decides";
    }
    const std::wstring library = folder + L"\\" + kValidationLibrary;
    return ::PathFileExistsW(library.c_str())
               ? L"validation service configured: " + library + L" is there"
               : L"validation service not usable: " + library + L" is missing";
}

struct StatusItem {
    const wchar_t* label;
    const wchar_t* subKey;
    const wchar_t* name;
    bool enciphered;
    // The view the shipped 32-bit DLL reads the value in.
    REGSAM readView;
    // What the value means to the actions; null when the value speaks for itself.
    std::wstring (*meaning)(const ReadOutcome& read);
};

const StatusItem kItems[] = {
    {L"install folder", ProductKeys::kVrx, ProductKeys::kInstallDirValue, false, KEY_WOW64_64KEY,
     nullptr},
    {L"product version", ProductKeys::kSubstitute, L"version2", false, KEY_WOW64_64KEY, nullptr},
    {L"installed content", ProductKeys::kVrx, L"content", false, KEY_WOW64_64KEY, nullptr},
    {L"content being installed", ProductKeys::kVrx, L"upd_content", false, KEY_WOW64_64KEY,
     nullptr},
    {L"host product switch", ProductKeys::kZedHost, ProductKeys::kEnableValue, false,
     KEY_WOW64_64KEY, &HostProductMeaning},
    {L"logging mechanism", CDefaultLogBuilder::kMechanismKeyPath,
     CDefaultLogBuilder::kMechanismValue, true, KEY_WOW64_32KEY, &MechanismMeaning},
    {L"machine identifier", ProductKeys::kCryptography, L"MachineGuid", false, KEY_WOW64_64KEY,
     &UpdateManagerNames},
    {L"platform core", Tessel::kPlatformKey, L"keelbase_version", false, KEY_WOW64_32KEY,
     &PlatformVersionMeaning},
    {L"platform validation library", Tessel::kPlatformKey, L"szInstallDir32", false,
     KEY_WOW64_32KEY, &ValidationServiceMeaning},
};

void PrintItem(const StatusItem& item) {
    PrintLine(std::wstring(item.label) + L": HKLM\\" + item.subKey + L" " + Quoted(item.name) +
              (item.enciphered ? L", enciphered" : L"") + L"; the DLL reads the " +
              ViewName(item.readView));
    for (const REGSAM view : kViews) {
        const ReadOutcome read = ReadMachineValue(item.subKey, item.name, view, item.enciphered);
        std::wstring line = std::wstring(L"  ") + ViewName(view) + L": " +
                            (read.status == ERROR_SUCCESS ? DescribeValue(read.value)
                                                          : L"not read: " + read.reason);
        if (item.meaning != nullptr) {
            line += L" -> " + item.meaning(read);
        }
        PrintLine(line);
    }
}

// The folder the actions work in, and whether it comes from the registry or the fallback.
void PrintInstallFolderInUse() {
    wchar_t folder[MAX_PATH] = {};
    if (!GetVRXInstallPath(folder, MAX_PATH)) {
        PrintLine(L"  the actions find no install folder");
        return;
    }
    const ReadOutcome read =
        ReadMachineValue(ProductKeys::kVrx, ProductKeys::kInstallDirValue, KEY_WOW64_64KEY, false);
    const bool fromRegistry = TextOf(read) == folder;
    PrintLine(std::wstring(L"  the actions use ") + folder +
              (fromRegistry ? L" (from \"Install Dir\")"
                            : L" (the program-files fallback: \"Install Dir\" is not readable)"));
}

void PrintLogLocations() {
    ETWLogging::CLogging::LogPaths paths;
    if (ComposeProductLogPaths(L"VrxRO", paths) != ERROR_SUCCESS) {
        return;
    }
    PrintLine(L"log files of VrxRO: " + paths.folder + L"; settings in " + paths.moduleConfig +
              L" and " + paths.globalConfig);
}

}  // namespace

int RunStatus(const CommandLine& line) {
    std::wstring error;
    if (!CheckOptions(line, {}, error) || line.positional.size() != 1) {
        return Fail(error.empty() ? L"usage: vrxconf status" : error, kExitUsage);
    }
    PrintLine(std::wstring(L"vrxconf runs as a ") + (sizeof(void*) == 8 ? L"64-bit" : L"32-bit") +
              L" process; values of both registry views follow");
    for (const StatusItem& item : kItems) {
        PrintItem(item);
        if (&item == &kItems[0]) {
            PrintInstallFolderInUse();
        }
    }
    PrintLogLocations();
    return kExitOk;
}

}  // namespace VrxConf
