// Which Windows release the process runs on, its version numbers and service pack, and whether
// the process runs as a 32-bit process on 64-bit Windows.
//
// The version the platform reports to a process can be falsified by compatibility settings, so
// the numbers come from the product version of the system's kernel32.dll instead; the platform
// family and the service pack are confirmed with VerifyVersionInfoW probes.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>

namespace Tessel {

// Release identifiers.
enum : DWORD {
    kOSReleaseUndetermined = 0,
    kOSReleaseWindows95 = 1,
    kOSReleaseWindows98 = 2,
    kOSReleaseWindowsNT4 = 3,  // NT 4 or earlier
    kOSReleaseWindows2000 = 4,
    kOSReleaseWindowsMe = 5,
    kOSReleaseWindowsXP = 6,  // XP and Server 2003
    kOSReleaseWindowsVista = 7,
    kOSReleaseWindows7 = 8,
    kOSReleaseWindows8 = 9,
    kOSReleaseWindows81 = 10,  // 6.3 and any later 6.x
    kOSReleaseWindows10 = 11,  // every 10.x, Windows 11 included
    kOSReleaseUnrecognised = 12,
};

// WOW64 values: whether the process is a 32-bit process on 64-bit Windows.
enum : DWORD {
    kWow64No = 0,
    kWow64Yes = 1,
    kWow64Undetermined = 2,
};

// Major, minor and service-pack numbers of the release.
struct OSReleaseRecord {
    WORD major = 0;
    WORD minor = 0;
    WORD servicePack = 0;
};

// The four numbers of kernel32.dll's "ProductVersion".
struct OSVersionNumbers {
    DWORD major = 0;
    DWORD minor = 0;
    DWORD build = 0;
    DWORD revision = 0;
};

// The platform's version check, behind a virtual operation so that another adapter can stand in
// for it.
class WinOSVersionAPI {
public:
    // VerifyVersionInfoW(info, typeMask, conditionMask).
    virtual BOOL VerifyVersion(OSVERSIONINFOEXW* info, DWORD typeMask, DWORDLONG conditionMask);
};

// The release identifier and WOW64 value (undetermined reported as 0). False, with identifier 0,
// when the release could not be determined or is not one this library knows.
bool GetOSReleaseAndWow64(DWORD& releaseId, DWORD& wow64);

// The release identifier; 0 when undetermined or not one this library knows.
DWORD GetOSReleaseId();

namespace internal {

// Splits a "ProductVersion" string at '.' and converts up to four parts (missing parts stay 0).
// Every part read must start with a decimal digit and fit in 32 bits; what follows a part's digits
// is ignored ("1350 (build label)" is 1350). False for an empty string or a part that is not a
// number or is out of range.
bool ParseProductVersion(const std::wstring& text, OSVersionNumbers& numbers);

// kernel32's IsWow64Process for the current process, looked up at run time: true only when the
// call exists, succeeds and reports 1.
bool QueryIsWow64Process();

// Release identifier of an NT-family system from its major and minor version.
DWORD ClassifyNtRelease(DWORD major, DWORD minor);

// An OSVERSIONINFOEXW as the probes pass it: zero-filled, its size field set.
OSVERSIONINFOEXW EmptyVersionRecord();

// Answers the questions above for one proxy object; copies share one state, so the release is
// worked out once for all of them. TApi is WinOSVersionAPI or an adapter derived from it.
template <class TApi>
class OSInfoProxy {
public:
    class _Impl;

    explicit OSInfoProxy(TApi api = TApi()) : OSInfoProxy(nullptr, std::move(api)) {}
    // Uses `state` (a fresh one when null) as the shared state.
    explicit OSInfoProxy(std::shared_ptr<_Impl> state, TApi api = TApi())
        : m_api(std::move(api)), m_impl(state ? std::move(state) : std::make_shared<_Impl>()) {}
    OSInfoProxy(const OSInfoProxy&) = default;
    OSInfoProxy& operator=(const OSInfoProxy&) = default;
    virtual ~OSInfoProxy() = default;

    // The release identifier, 0 when undetermined.
    virtual DWORD ReleaseId() {
        return m_impl->Determine(m_api) ? m_impl->ReleaseId() : kOSReleaseUndetermined;
    }

    // 0 or 1, or 2 when undetermined.
    virtual DWORD Wow64State() {
        return m_impl->Determine(m_api) ? m_impl->Wow64() : kWow64Undetermined;
    }

    // Fills `record` (zeros when undetermined); true when determined and recognised.
    virtual bool ReleaseRecord(OSReleaseRecord& record) {
        if (!m_impl->Determine(m_api)) {
            record = OSReleaseRecord();
            return false;
        }
        record = m_impl->Release();
        return m_impl->ReleaseId() != kOSReleaseUnrecognised;
    }

    // Both values (0 and 2 when undetermined); true when determined.
    virtual bool ReleaseAndWow64(DWORD& releaseId, DWORD& wow64) {
        if (!m_impl->Determine(m_api)) {
            releaseId = kOSReleaseUndetermined;
            wow64 = kWow64Undetermined;
            return false;
        }
        releaseId = m_impl->ReleaseId();
        wow64 = m_impl->Wow64();
        return true;
    }

    // Asks the platform each time, without the one-time classification.
    virtual bool IsWow64() { return QueryIsWow64Process(); }

    // Whether the platform is of the NT family; asks the platform each time.
    virtual bool IsNtPlatform() { return _Impl::PlatformIs(m_api, VER_PLATFORM_WIN32_NT); }

    // kernel32's version numbers (zeros when undetermined); true when determined.
    virtual bool VersionNumbers(OSVersionNumbers& numbers) {
        if (!m_impl->Determine(m_api)) {
            numbers = OSVersionNumbers();
            return false;
        }
        numbers = m_impl->Version();
        return true;
    }

private:
    TApi m_api;
    std::shared_ptr<_Impl> m_impl;
};

// The state of a proxy and its copies, and the one-time classification that fills it.
template <class TApi>
class OSInfoProxy<TApi>::_Impl {
public:
    _Impl() = default;
    _Impl(const _Impl&) = delete;
    _Impl& operator=(const _Impl&) = delete;
    virtual ~_Impl() = default;

    // Classifies the release on the first call, probing through `api`, and reports whether it
    // was classified. Concurrent callers wait for the one classifying (they report undetermined
    // if that attempt fails); after a failure the next call tries again.
    bool Determine(TApi& api) {
        LONG state = kNotDone;
        if (!m_initState.compare_exchange_strong(state, kInProgress)) {
            while (state == kInProgress) {
                YieldProcessor();
                state = m_initState.load();
            }
            return state == kDone && m_succeeded;
        }
        // Reopens the state for a later call unless the classification completes.
        struct Reopen {
            std::atomic<LONG>& state;
            bool done = false;
            ~Reopen() {
                if (!done) {
                    state.store(kNotDone);
                }
            }
        } reopen{m_initState};
        if (!Classify(api)) {
            return false;
        }
        reopen.done = true;
        m_initState.store(kDone);
        return true;
    }

    // The results; meaningful once Determine has returned true.
    DWORD ReleaseId() const { return m_releaseId; }
    DWORD Wow64() const { return m_wow64; }
    const OSReleaseRecord& Release() const { return m_release; }
    const OSVersionNumbers& Version() const { return m_version; }

    // Whether VerifyVersion confirms the platform identifier `platformId`.
    static bool PlatformIs(TApi& api, DWORD platformId) {
        OSVERSIONINFOEXW info = EmptyVersionRecord();
        info.dwPlatformId = platformId;
        return api.VerifyVersion(&info, VER_PLATFORMID,
                                 ::VerSetConditionMask(0, VER_PLATFORMID, VER_EQUAL)) == TRUE;
    }

protected:
    // Fills `numbers` from kernel32.dll's "ProductVersion"; false when there is no such string or
    // it does not parse.
    virtual bool ReadSystemVersion(OSVersionNumbers& numbers);

private:
    enum : LONG { kNotDone = 0, kInProgress = 1, kDone = 2 };
    // Windows 9x minor versions are searched below this bound; reaching it is a failure.
    static constexpr DWORD kMinorVersionBound = 100;

    bool Classify(TApi& api) {
        OSVersionNumbers version;
        if (!ReadSystemVersion(version)) {
            return false;
        }
        OSReleaseRecord release;
        DWORD releaseId = kOSReleaseUndetermined;
        DWORD wow64 = kWow64No;
        if (PlatformIs(api, VER_PLATFORM_WIN32_WINDOWS)) {
            DWORD minor = 0;
            if (!FindMinorVersion(api, kMinorVersionBound, minor)) {
                return false;
            }
            release.major = 4;
            release.minor = static_cast<WORD>(minor);
            releaseId = minor == 0   ? kOSReleaseWindows95
                        : minor < 90 ? kOSReleaseWindows98
                                     : kOSReleaseWindowsMe;
        } else if (PlatformIs(api, VER_PLATFORM_WIN32_NT)) {
            releaseId = ClassifyNtRelease(version.major, version.minor);
            release.major = static_cast<WORD>(version.major);
            release.minor = static_cast<WORD>(version.minor);
            release.servicePack = ProbeServicePack(api, ServicePackLimit(version));
            if (releaseId != kOSReleaseWindowsNT4 && releaseId != kOSReleaseWindows2000) {
                wow64 = QueryIsWow64Process() ? kWow64Yes : kWow64No;
            }
        } else {
            return false;
        }
        m_version = version;
        m_release = release;
        m_releaseId = releaseId;
        m_wow64 = wow64;
        m_succeeded = true;
        return true;
    }

    static bool MinorVersionIs(TApi& api, DWORD minor, BYTE condition) {
        OSVERSIONINFOEXW info = EmptyVersionRecord();
        info.dwMinorVersion = minor;
        return api.VerifyVersion(&info, VER_MINORVERSION,
                                 ::VerSetConditionMask(0, VER_MINORVERSION, condition)) == TRUE;
    }

    // Finds the minor version with VER_LESS probes: steps of 8 up to the first probe above it,
    // then steps of 4, 2 and 1 down or up, then one equality test that settles the last step.
    // False when the probe reaches `bound`.
    static bool FindMinorVersion(TApi& api, DWORD bound, DWORD& minor) {
        DWORD probe = 8;
        while (!MinorVersionIs(api, probe, VER_LESS)) {
            probe += 8;
            if (probe >= bound) {
                return false;
            }
        }
        for (DWORD step = 4; step != 0; step /= 2) {
            if (MinorVersionIs(api, probe, VER_LESS)) {
                probe -= step;
            } else {
                probe += step;
            }
        }
        if (!MinorVersionIs(api, probe, VER_EQUAL)) {
            --probe;
        }
        minor = probe;
        return true;
    }

    // The highest service pack worth probing for on an NT release.
    static WORD ServicePackLimit(const OSVersionNumbers& version) {
        if (version.major == 5) {
            return version.minor == 0 ? 4 : 3;
        }
        if (version.major == 6 && version.minor <= 1) {
            return version.minor == 0 ? 2 : 1;
        }
        return 0;
    }

    // The service-pack major number, probed downwards from `limit`; 0 when none matches.
    static WORD ProbeServicePack(TApi& api, WORD limit) {
        for (WORD servicePack = limit; servicePack >= 1; --servicePack) {
            OSVERSIONINFOEXW info = EmptyVersionRecord();
            info.wServicePackMajor = servicePack;
            if (api.VerifyVersion(&info, VER_SERVICEPACKMAJOR,
                                  ::VerSetConditionMask(0, VER_SERVICEPACKMAJOR, VER_EQUAL)) ==
                TRUE) {
                return servicePack;
            }
        }
        return 0;
    }

    std::atomic<LONG> m_initState{kNotDone};
    bool m_succeeded = false;
    OSReleaseRecord m_release;
    OSVersionNumbers m_version;
    DWORD m_releaseId = kOSReleaseUndetermined;
    DWORD m_wow64 = kWow64Undetermined;
};

// kernel32.dll's product version, read through the system folder.
bool ReadKernel32Version(OSVersionNumbers& numbers);

template <class TApi>
bool OSInfoProxy<TApi>::_Impl::ReadSystemVersion(OSVersionNumbers& numbers) {
    return ReadKernel32Version(numbers);
}

// What the free functions report, for any proxy: the WOW64 value with undetermined as 0, and
// false with identifier 0 for an undetermined or unrecognised release.
template <class TApi>
bool ReleaseAndWow64Of(OSInfoProxy<TApi>& proxy, DWORD& releaseId, DWORD& wow64) {
    bool determined = proxy.ReleaseAndWow64(releaseId, wow64);
    if (wow64 == kWow64Undetermined) {
        wow64 = kWow64No;
    }
    if (releaseId == kOSReleaseUnrecognised) {
        releaseId = kOSReleaseUndetermined;
        determined = false;
    }
    return determined;
}

template <class TApi>
DWORD ReleaseIdOf(OSInfoProxy<TApi>& proxy) {
    const DWORD releaseId = proxy.ReleaseId();
    return releaseId == kOSReleaseUnrecognised ? kOSReleaseUndetermined : releaseId;
}

}  // namespace internal
}  // namespace Tessel
