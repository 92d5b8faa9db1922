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

// Runs a Unix program (Wine starts ELF files as they are) and waits until `done` holds.
template <typename TDone>
void RunUnix(const std::wstring& program, std::wstring commandLine, TDone done) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                          nullptr, &startup, &process)) {
        return;
    }
    const Tessel::UniqueHandle processHandle(process.hProcess);
    const Tessel::UniqueHandle threadHandle(process.hThread);
    // Wine does not wait for a Unix child through its handle: poll for the effect.
    for (int i = 0; i < 200 && !done(); ++i) {
        ::Sleep(10);
    }
}

}  // namespace

ScopedFolderLink::ScopedFolderLink(const std::wstring& link, const std::wstring& target)
    : m_link(link) {
    if (RunningUnderWine()) {
        RunUnix(L"Z:\\bin\\ln", L"ln -s \"" + UnixPath(target) + L"\" \"" + UnixPath(link) + L"\"",
                [&] { return Tessel::IsReparsePoint(link.c_str()); });
    } else {
        ::CreateSymbolicLinkW(
            link.c_str(), target.c_str(),
            SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
    }
    m_made = Tessel::IsReparsePoint(link.c_str());
}

ScopedFolderLink::~ScopedFolderLink() {
    if (!Tessel::IsReparsePoint(m_link.c_str()) || ::RemoveDirectoryW(m_link.c_str())) {
        return;
    }
    if (RunningUnderWine()) {
        RunUnix(L"Z:\\bin\\rm", L"rm \"" + UnixPath(m_link) + L"\"",
                [&] { return !Tessel::IsReparsePoint(m_link.c_str()); });
    }
}

}  // namespace VrxTest
