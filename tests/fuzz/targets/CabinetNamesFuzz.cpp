// The member names of a content package, listed through the platform's cabinet interface and
// checked for containment before anything is unpacked. An input is a cabinet as it is, or, when
// it starts with "names\n", the member names of one (one a line; a line starting with "*" holds a
// name flagged as UTF-8), which the target stores in a cabinet of its own making, uncompressed.
//
// What must hold for every name that passes the containment check: below a folder it resolves,
// as the platform resolves a path, to that folder or somewhere inside it, names no device, and
// stays inside in the ANSI form that the unpacker (an ANSI interface) may be handed. Every eighth
// package whose names all pass is unpacked into a folder of its own, after which nothing may
// have appeared beside that folder.
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <cwctype>
#include <set>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "src/common/vrxrunonce/VrxCabUtils.h"
#include "support/CabinetDigests.h"
#include "support/UniqueAny.h"

namespace {

using Bytes = std::vector<BYTE>;

constexpr char kNamesMode[] = "names\n";
constexpr WORD kNameIsUtf8 = 0x80;  // _A_NAME_IS_UTF

void Put(Bytes& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out.push_back(static_cast<BYTE>(value >> (8 * i)));
    }
}

// An uncompressed single-folder cabinet holding one byte for each name.
Bytes MakeCabinet(const std::string& lines) {
    struct Member {
        std::string name;
        WORD attributes;
    };
    std::vector<Member> members;
    size_t start = 0;
    while (start < lines.size() && members.size() < 64) {
        size_t end = lines.find('\n', start);
        if (end == std::string::npos) {
            end = lines.size();
        }
        std::string name = lines.substr(start, end - start);
        const bool utf8 = !name.empty() && name[0] == '*';
        name = name.substr(utf8 ? 1 : 0);
        name.resize(std::strlen(name.c_str()));
        if (!name.empty()) {
            members.push_back({name, static_cast<WORD>(utf8 ? kNameIsUtf8 : 0)});
        }
        start = end + 1;
    }
    constexpr size_t kHeader = 36;
    constexpr size_t kFolder = 8;
    Bytes files;
    for (size_t i = 0; i < members.size(); ++i) {
        Put(files, 1, 4);  // size
        Put(files, i, 4);  // offset in the folder
        Put(files, 0, 2);  // folder
        Put(files, 0x5A21, 2);
        Put(files, 0, 2);
        Put(files, members[i].attributes, 2);
        files.insert(files.end(), members[i].name.begin(), members[i].name.end());
        files.push_back(0);
    }
    const size_t dataAt = kHeader + kFolder + files.size();
    const size_t total = dataAt + 8 + members.size();
    Bytes cabinet = {'M', 'S', 'C', 'F'};
    Put(cabinet, 0, 4);
    Put(cabinet, total, 4);
    Put(cabinet, 0, 4);
    Put(cabinet, kHeader + kFolder, 4);
    Put(cabinet, 0, 4);
    cabinet.push_back(3);
    cabinet.push_back(1);
    Put(cabinet, 1, 2);  // folders
    Put(cabinet, members.size(), 2);
    Put(cabinet, 0, 2);  // flags
    Put(cabinet, 0x1234, 2);
    Put(cabinet, 0, 2);
    Put(cabinet, dataAt, 4);  // the folder: its data block, uncompressed
    Put(cabinet, 1, 2);
    Put(cabinet, 0, 2);
    cabinet.insert(cabinet.end(), files.begin(), files.end());
    Put(cabinet, 0, 4);  // no checksum
    Put(cabinet, members.size(), 2);
    Put(cabinet, members.size(), 2);
    cabinet.insert(cabinet.end(), members.size(), 'x');
    return cabinet;
}

std::wstring Upper(std::wstring text) {
    for (wchar_t& c : text) {
        c = static_cast<wchar_t>(std::towupper(c));
    }
    return text;
}

using IsDosDeviceNameFn = ULONG(WINAPI*)(const wchar_t*);

// Whether `full` opens a device: the platform's answer, and the reserved names that Windows
// documents (the platform under test may know fewer), whatever extension follows.
bool NamesDevice(const std::wstring& full) {
    static const auto isDevice = reinterpret_cast<IsDosDeviceNameFn>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "RtlIsDosDeviceName_U")));
    if (isDevice != nullptr && isDevice(full.c_str()) != 0) {
        return true;
    }
    std::wstring stem = Upper(full.substr(full.find_last_of(L"\\/") + 1));
    stem = stem.substr(0, stem.find_first_of(L".:"));
    stem = stem.substr(0, stem.find_last_not_of(L" ") + 1);
    static const std::set<std::wstring> kReserved = {L"CON", L"PRN",    L"AUX",
                                                     L"NUL", L"CONIN$", L"CONOUT$"};
    const std::wstring digits = L"0123456789\u00B9\u00B2\u00B3";
    return kReserved.count(stem) != 0 ||
           (stem.size() == 4 &&
            (stem.compare(0, 3, L"COM") == 0 || stem.compare(0, 3, L"LPT") == 0) &&
            digits.find(stem[3]) != std::wstring::npos);
}

// Checks the name at every level: each folder on the way must be a folder inside, not a device.
void CheckStaysInside(const std::wstring& folder, const std::wstring& name, const char* form) {
    const std::wstring joined = folder + L"\\" + name;
    wchar_t full[4 * MAX_PATH] = {};
    const DWORD length = ::GetFullPathNameW(joined.c_str(), ARRAYSIZE(full), full, nullptr);
    if (length == 0 || length >= ARRAYSIZE(full)) {
        return;  // no path the platform opens
    }
    const std::wstring resolved(full, length);
    // The folder itself ("." and the like) is no file, but not outside either.
    const std::wstring inside = Upper(folder) + L"\\";
    VRX_FUZZ_CHECK(Upper(resolved + L"\\").compare(0, inside.size(), inside) == 0,
                   "member \"%ls\" (%s) resolves to %ls", name.c_str(), form, resolved.c_str());
    for (size_t at = inside.size(); at <= resolved.size(); ++at) {
        if (at == resolved.size() || resolved[at] == L'\\') {
            VRX_FUZZ_CHECK(!NamesDevice(resolved.substr(0, at)),
                           "member \"%ls\" (%s) opens the device %ls", name.c_str(), form,
                           resolved.substr(0, at).c_str());
        }
    }
}

// The name as an ANSI interface would receive it, best-fit characters and all.
std::wstring AnsiForm(const std::wstring& name) {
    const int bytes =
        ::WideCharToMultiByte(CP_ACP, 0, name.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) {
        return name;
    }
    std::string ansi(static_cast<size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, name.c_str(), -1, &ansi[0], bytes, nullptr, nullptr);
    const int chars = ::MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, nullptr, 0);
    std::wstring wide(static_cast<size_t>(chars), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, &wide[0], chars);
    wide.resize(wcslen(wide.c_str()));
    return wide;
}

std::set<std::wstring> Entries(const std::wstring& folder) {
    std::set<std::wstring> names;
    WIN32_FIND_DATAW entry = {};
    const Tessel::UniqueFindHandle find(::FindFirstFileW((folder + L"\\*").c_str(), &entry));
    if (find) {
        do {
            names.insert(entry.cFileName);
        } while (::FindNextFileW(find.get(), &entry));
    }
    return names;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::wstring& scratch = VrxFuzz::ScratchFolder();
    const std::wstring cabinet = scratch + L"\\package.cab";
    const std::wstring destination = scratch + L"\\unpacked";
    const std::string input(reinterpret_cast<const char*>(data), size);
    const bool namesMode = input.compare(0, sizeof(kNamesMode) - 1, kNamesMode) == 0;
    const Bytes bytes =
        namesMode ? MakeCabinet(input.substr(sizeof(kNamesMode) - 1)) : Bytes(data, data + size);
    VRX_FUZZ_CHECK(VrxFuzz::WriteBytes(cabinet, bytes.data(), bytes.size()), "cannot write");

    std::vector<std::wstring> names;
    if (!Tessel::ListCabinetMembers(cabinet.c_str(), names)) {
        return 0;
    }
    bool allPass = !names.empty();
    for (const std::wstring& name : names) {
        if (!VRXUtils::IsContainedMemberName(name)) {
            allPass = false;
            continue;
        }
        CheckStaysInside(destination, name, "as listed");
        CheckStaysInside(destination, AnsiForm(name), "in the ANSI code page");
    }
    // Unpacking is slow: one package in eight, picked by its contents.
    if (!allPass || Tessel::HashBytes(data, size)[0] % 8 != 0) {
        return 0;
    }
    // A folder of its own each time: the platform's unpacker has been seen to keep a member file
    // open after a failed unpack, which keeps that file and its folder from being removed.
    static unsigned unpacks = 0;
    const std::wstring folder = destination + std::to_wstring(++unpacks);
    VRX_FUZZ_CHECK(::CreateDirectoryW(folder.c_str(), nullptr), "cannot make %ls (%lu)",
                   folder.c_str(), ::GetLastError());
    const std::set<std::wstring> before = Entries(scratch);
    VRXUtils::ExtractCabFile(cabinet.c_str(), folder.c_str());
    VRX_FUZZ_CHECK(Entries(scratch) == before, "unpacking left something beside its folder");
    VrxFuzz::RemoveTree(folder);
    return 0;
}
