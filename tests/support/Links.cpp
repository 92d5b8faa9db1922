#include "tests/support/Links.h"

#include "support/ReparsePoints.h"
#include "support/UniqueAny.h"
#include "tests/support/Files.h"

namespace VrxTest {

namespace {

// Wine's own mapping of a Windows path to the Unix one.
std::wstring UnixPath(const std::wstring& path) {
    using ToUnixFn = char*(CDECL*)(LPCWSTR);
    const auto toUnix = reinterpret_cast<ToUnixFn>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    const Tessel::UniqueProcessHeapMem unix(toUnix != nullptr ? toUnix(path.c_str()) : nullptr);
    wchar_t wide[MAX_PATH * 4] = {};
    if (unix) {
        ::MultiByteToWideChar(CP_UTF8, 0, static_cast<const char*>(unix.get()), -1, wide,
                              ARRAYSIZE(wide));
    }
    return wide;
}

std::wstring Quoted(const std::wstring& path) {
    return L"'" + UnixPath(path) + L"'";
}

// Runs a Unix shell command (Wine starts ELF files as they are); true when it succeeded. Wine
// does not wait for a Unix child through its handle: the command leaves a marker file behind
// when it succeeds, which is waited for.
bool RunUnixCommand(const std::wstring& command) {
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    static unsigned counter = 0;
    const std::wstring marker = std::wstring(temp) + L"vrx-link-" +
                                std::to_wstring(::GetCurrentProcessId()) + L"-" +
                                std::to_wstring(++counter) + L".done";
    std::wstring commandLine = L"sh -c \"" + command + L" && : > " + Quoted(marker) + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessW(L"Z:\\bin\\sh", &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                          nullptr, &startup, &process)) {
        return false;
    }
    const Tessel::UniqueHandle processHandle(process.hProcess);
    const Tessel::UniqueHandle threadHandle(process.hThread);
    for (int i = 0; i < 200 && !FileExists(marker); ++i) {
        ::Sleep(10);
    }
    return ::DeleteFileW(marker.c_str()) != FALSE;
}

}  // namespace

ScopedLink::ScopedLink(const std::wstring& link, const std::wstring& target, LinkKind kind)
    : m_link(link), m_kind(kind) {
    if (kind == LinkKind::kHardLink) {
        m_made = ::CreateHardLinkW(link.c_str(), target.c_str(), nullptr) != FALSE;
    } else if (RunningUnderWine()) {
        m_made = RunUnixCommand(L"ln -s " + Quoted(target) + L" " + Quoted(link));
    } else {
        ::CreateSymbolicLinkW(link.c_str(), target.c_str(),
                              (kind == LinkKind::kFolder ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) |
                                  SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
        m_made = Tessel::IsReparsePoint(link.c_str());
    }
}

ScopedLink::~ScopedLink() {
    if (!m_made) {
        return;
    }
    if (m_kind == LinkKind::kHardLink) {
        ::DeleteFileW(m_link.c_str());
    } else if (RunningUnderWine()) {
        RunUnixCommand(L"rm -f " + Quoted(m_link));
    } else if (m_kind == LinkKind::kFolder) {
        ::RemoveDirectoryW(m_link.c_str());
    } else {
        ::DeleteFileW(m_link.c_str());
    }
}

}  // namespace VrxTest
