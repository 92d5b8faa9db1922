// Scope-bound owners for Win32 handles: one move-only template, one alias per kind of handle.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <winsvc.h>
#include <wincrypt.h>

#include <utility>

namespace Tessel {

// Owns one resource described by TTraits: `pointer` (the handle type), `Invalid()` (the value
// that owns nothing) and `Close(pointer)` (releases it). Move-only; releases on destruction.
template <typename TTraits>
class TUniqueAny {
public:
    using pointer = typename TTraits::pointer;

    TUniqueAny() noexcept : m_value(TTraits::Invalid()) {}
    explicit TUniqueAny(pointer value) noexcept : m_value(value) {}
    TUniqueAny(TUniqueAny&& other) noexcept : m_value(other.release()) {}
    TUniqueAny& operator=(TUniqueAny&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    TUniqueAny(const TUniqueAny&) = delete;
    TUniqueAny& operator=(const TUniqueAny&) = delete;
    ~TUniqueAny() { reset(); }

    pointer get() const noexcept { return m_value; }
    bool is_valid() const noexcept { return m_value != TTraits::Invalid(); }
    explicit operator bool() const noexcept { return is_valid(); }

    // Gives up ownership without releasing.
    pointer release() noexcept { return std::exchange(m_value, TTraits::Invalid()); }

    // Releases what is owned and takes `value` instead.
    void reset(pointer value = TTraits::Invalid()) noexcept {
        const pointer old = std::exchange(m_value, value);
        if (old != TTraits::Invalid()) {
            TTraits::Close(old);
        }
    }

    // Releases what is owned and exposes the slot to an API that returns a new handle through an
    // out parameter.
    pointer* put() noexcept {
        reset();
        return &m_value;
    }

private:
    pointer m_value;
};

namespace internal {

template <typename T, typename TClose, TClose CloseFn>
struct TNullTraits {
    using pointer = T;
    static pointer Invalid() noexcept { return nullptr; }
    static void Close(pointer value) noexcept { CloseFn(value); }
};

// A handle that is an integer, 0 when it owns nothing.
template <typename T, typename TClose, TClose CloseFn>
struct TZeroTraits {
    using pointer = T;
    static pointer Invalid() noexcept { return 0; }
    static void Close(pointer value) noexcept { CloseFn(value); }
};

template <BOOL(WINAPI* CloseFn)(HANDLE)>
struct TInvalidHandleTraits {
    using pointer = HANDLE;
    static pointer Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(pointer value) noexcept { CloseFn(value); }
};

}  // namespace internal

using UniqueHKey =
    TUniqueAny<internal::TNullTraits<HKEY, decltype(&::RegCloseKey), &::RegCloseKey>>;
using UniqueHandle =
    TUniqueAny<internal::TNullTraits<HANDLE, decltype(&::CloseHandle), &::CloseHandle>>;
using UniqueHModule =
    TUniqueAny<internal::TNullTraits<HMODULE, decltype(&::FreeLibrary), &::FreeLibrary>>;
using UniqueFileHandle = TUniqueAny<internal::TInvalidHandleTraits<&::CloseHandle>>;
using UniqueFindHandle = TUniqueAny<internal::TInvalidHandleTraits<&::FindClose>>;
// A handle of the service control manager or of a service.
using UniqueScHandle = TUniqueAny<
    internal::TNullTraits<SC_HANDLE, decltype(&::CloseServiceHandle), &::CloseServiceHandle>>;
// A wide string the shell or COM allocated with CoTaskMemAlloc.
using UniqueCoTaskMemString =
    TUniqueAny<internal::TNullTraits<PWSTR, decltype(&::CoTaskMemFree), &::CoTaskMemFree>>;
// Memory the platform allocated with LocalAlloc (security descriptors and the like).
using UniqueLocalMem =
    TUniqueAny<internal::TNullTraits<HLOCAL, decltype(&::LocalFree), &::LocalFree>>;

// CryptoAPI objects: a certificate store, a cryptographic message, a certificate, a chain, a
// provider context, a hash, a key.
namespace internal {
inline BOOL WINAPI CloseCertStore(HCERTSTORE store) {
    return ::CertCloseStore(store, 0);
}
inline BOOL WINAPI ReleaseCryptProvider(HCRYPTPROV provider) {
    return ::CryptReleaseContext(provider, 0);
}
// An interface pointer of the IUnknown kind (AddRef/Release).
template <typename T>
struct TReleaseTraits {
    using pointer = T*;
    static pointer Invalid() noexcept { return nullptr; }
    static void Close(pointer value) noexcept { value->Release(); }
};
}  // namespace internal
using UniqueCertStore =
    TUniqueAny<internal::TNullTraits<HCERTSTORE, decltype(&internal::CloseCertStore),
                                     &internal::CloseCertStore>>;
using UniqueCryptMsg =
    TUniqueAny<internal::TNullTraits<HCRYPTMSG, decltype(&::CryptMsgClose), &::CryptMsgClose>>;
using UniqueCertContext =
    TUniqueAny<internal::TNullTraits<PCCERT_CONTEXT, decltype(&::CertFreeCertificateContext),
                                     &::CertFreeCertificateContext>>;
using UniqueCertChain =
    TUniqueAny<internal::TNullTraits<PCCERT_CHAIN_CONTEXT, decltype(&::CertFreeCertificateChain),
                                     &::CertFreeCertificateChain>>;
// A cryptographic service provider context, and a hash object and a key made with it.
using UniqueCryptProv =
    TUniqueAny<internal::TZeroTraits<HCRYPTPROV, decltype(&internal::ReleaseCryptProvider),
                                     &internal::ReleaseCryptProvider>>;
using UniqueCryptHash = TUniqueAny<
    internal::TZeroTraits<HCRYPTHASH, decltype(&::CryptDestroyHash), &::CryptDestroyHash>>;
using UniqueCryptKey =
    TUniqueAny<internal::TZeroTraits<HCRYPTKEY, decltype(&::CryptDestroyKey), &::CryptDestroyKey>>;
// Holds one reference of an interface pointer and releases it.
template <typename T>
using UniqueComPtr = TUniqueAny<internal::TReleaseTraits<T>>;
// Memory allocated from the process heap (HeapAlloc(GetProcessHeap(), ...)).
namespace internal {
inline BOOL WINAPI FreeProcessHeapMem(LPVOID memory) {
    return ::HeapFree(::GetProcessHeap(), 0, memory);
}
}  // namespace internal
using UniqueProcessHeapMem =
    TUniqueAny<internal::TNullTraits<LPVOID, decltype(&internal::FreeProcessHeapMem),
                                     &internal::FreeProcessHeapMem>>;
// A string allocated by the COM string allocator (SysAllocString and the calls that return one).
using UniqueBstr =
    TUniqueAny<internal::TNullTraits<BSTR, decltype(&::SysFreeString), &::SysFreeString>>;

}  // namespace Tessel
