// The module holder: a path buffer and the module loaded from it, loaded only after the file has
// been validated, freed when the holder goes.
#pragma once

#include <windows.h>

#include <cwchar>

#include "etwlogging/LogFacade.h"
#include "support/FileValidator.h"
#include "support/HeldPath.h"
#include "support/UniqueAny.h"

// A zero-filled buffer of N wide characters.
template <size_t N>
struct TStatBuffer {
    static constexpr size_t kCapacity = N;
    wchar_t text[N] = {};
};

// Where the holder's records come from.
struct TVRXVars {
    static constexpr const wchar_t* kSource = L"src\\includes\\hmodule";
    static constexpr const wchar_t* kLoadFunction =
        L"CHModuleT<struct TStatBuffer<260>,struct TVRXVars>::Load";
    static constexpr int kLoadLine = 145;
};

template <class TBuffer, class TVars>
class CHModuleT {
public:
    // Validates with the process's validator.
    CHModuleT() : m_validator(nullptr) {}
    // Validates with `validator`, which must outlive the holder's loads.
    explicit CHModuleT(Tessel::CFileValidator& validator) : m_validator(&validator) {}
    CHModuleT(const CHModuleT&) = delete;
    CHModuleT& operator=(const CHModuleT&) = delete;

    // The path buffer, filled by the caller before Load.
    wchar_t* Path() { return m_path.text; }
    static constexpr size_t PathCapacity() { return TBuffer::kCapacity; }

    // Validates the file named by the path buffer (its contents up to the first terminator, which
    // must be inside the buffer), then loads it with LoadLibraryW when it is accepted. A refused
    // file, a relative path, a path through a reparse point, a file that cannot be held unchanged
    // until it is loaded, or a module not mapped from the held file, is not loaded (or is freed)
    // and is logged at severity 4. A module held before is freed first. Returns the loaded module,
    // or null.
    HMODULE Load() {
        m_module.reset();
        const wchar_t* path = m_path.text;
        const bool terminated = wmemchr(path, L'\0', TBuffer::kCapacity) != nullptr;
        Tessel::CFileValidator& validator =
            m_validator != nullptr ? *m_validator : Tessel::GetFileValidator();
        // Only a fully qualified path without links is loaded, held unchanged from before its
        // validation until it is loaded.
        Tessel::CHeldPath hold;
        const bool held = terminated && hold.Hold(path) == ERROR_SUCCESS;
        const DWORD validation =
            terminated ? validator.ValidateFile(path) : DWORD{ERROR_INVALID_PARAMETER};
        validator.ReleaseValidationService();
        if (validation == ERROR_SUCCESS && held) {
            const HMODULE loaded = ::LoadLibraryW(path);
            m_module.reset(loaded != nullptr ? hold.KeepIfLoadedFromHeldFile(loaded) : nullptr);
            if (loaded == nullptr || m_module) {
                return m_module.get();
            }
        }
        ETWLogging::LogIfEnabled(4, TVars::kSource, TVars::kLoadFunction, TVars::kLoadLine,
                                 L"Unable to validate file: %s \r\n", terminated ? path : L"");
        return nullptr;
    }

    HMODULE Get() const { return m_module.get(); }

private:
    TBuffer m_path;
    Tessel::CFileValidator* m_validator;
    Tessel::UniqueHModule m_module;
};

using CHModule = CHModuleT<TStatBuffer<260>, TVRXVars>;
