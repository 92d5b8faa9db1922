// A stand-in for the platform's validation library vlnvtpa.dll. Its export
// "NotComDllGetInterface" hands out the validation-control interface; the tests steer it, and
// read what it was asked, through environment variables of their own process:
//   VTP_STANDIN_NAMES   interface names offered, separated by ';' (default: both names)
//   VTP_STANDIN_STATUS  status reported by Validate (default 0)
//   VTP_STANDIN_FLAGS   flags reported by Validate (default 0)
//   VTP_STANDIN_ASKED   the stand-in appends every name it is asked for, each followed by ';'
//   VTP_STANDIN_CALLS   the stand-in appends "<mode>|<path>;" for every validation
//   VTP_STANDIN_LIVE    the number of interface references held
#include <windows.h>

#include <cwchar>
#include <string>

#include "support/ValidationControl.h"

namespace {

std::wstring Variable(const wchar_t* name) {
    wchar_t value[4096] = {};
    const DWORD chars = ::GetEnvironmentVariableW(name, value, ARRAYSIZE(value));
    return chars > 0 && chars < ARRAYSIZE(value) ? std::wstring(value, chars) : std::wstring();
}

void Append(const wchar_t* name, const std::wstring& text) {
    ::SetEnvironmentVariableW(name, (Variable(name) + text).c_str());
}

DWORD NumberVariable(const wchar_t* name) {
    const std::wstring text = Variable(name);
    return text.empty() ? 0 : static_cast<DWORD>(wcstoul(text.c_str(), nullptr, 0));
}

LONG g_live = 0;

void PublishLive() {
    ::SetEnvironmentVariableW(L"VTP_STANDIN_LIVE", std::to_wstring(g_live).c_str());
}

class ValidationControl final : public Tessel::IVtpValidationControl {
public:
    ULONG WINAPI AddRef() override {
        ++g_live;
        PublishLive();
        return static_cast<ULONG>(::InterlockedIncrement(&m_references));
    }
    ULONG WINAPI Release() override {
        --g_live;
        PublishLive();
        const LONG left = ::InterlockedDecrement(&m_references);
        if (left == 0) {
            delete this;
        }
        return static_cast<ULONG>(left);
    }
    HRESULT WINAPI Validate(const wchar_t* path, DWORD mode, DWORD* status, DWORD* flags) override {
        Append(L"VTP_STANDIN_CALLS", std::to_wstring(mode) + L"|" + (path ? path : L"") + L";");
        *status = NumberVariable(L"VTP_STANDIN_STATUS");
        *flags = NumberVariable(L"VTP_STANDIN_FLAGS");
        return S_OK;
    }

private:
    LONG m_references = 0;
};

bool Offers(const std::string& name) {
    std::wstring names = Variable(L"VTP_STANDIN_NAMES");
    if (names.empty()) {
        names = L"VtpValidationControl2;VtpValidationControl";
    }
    const std::wstring wide(name.begin(), name.end());
    return (L";" + names + L";").find(L";" + wide + L";") != std::wstring::npos;
}

}  // namespace

extern "C" __declspec(dllexport) DWORD WINAPI NotComDllGetInterface(const char* name, void** out) {
    const std::string asked = name != nullptr ? name : "";
    Append(L"VTP_STANDIN_ASKED", std::wstring(asked.begin(), asked.end()) + L";");
    if (out == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    *out = nullptr;
    if (!Offers(asked)) {
        return static_cast<DWORD>(E_NOINTERFACE);
    }
    auto* control = new ValidationControl;
    control->AddRef();
    *out = static_cast<Tessel::IVtpValidationControl*>(control);
    return ERROR_SUCCESS;
}
