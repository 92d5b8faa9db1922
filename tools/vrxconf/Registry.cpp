#include "tools/vrxconf/Registry.h"

#include "support/RegKey.h"
#include "tools/vrxconf/Console.h"

namespace VrxConf {
namespace {

// The whole value through `key` (plain or enciphered), sized by a first read.
DWORD ReadWhole(Tessel::CRegKey& key, const wchar_t* name, RegistryValue& value) {
    DWORD status = ERROR_MORE_DATA;
    // The value may grow between the two reads; a few rounds settle it.
    for (int round = 0; round < 3 && status == ERROR_MORE_DATA; ++round) {
        DWORD bytes = 0;
        status = key.ReadRawValue(name, &value.type, nullptr, &bytes);
        if (status != ERROR_SUCCESS) {
            return status;
        }
        value.bytes.assign(bytes, 0);
        status = key.ReadRawValue(name, &value.type, value.bytes.data(), &bytes);
        value.bytes.resize(bytes);
    }
    return status;
}

std::wstring FaultText(Tessel::RecordFault fault) {
    switch (fault) {
        case Tessel::RecordFault::Truncated:
            return L"the enciphered record is truncated";
        case Tessel::RecordFault::BadTag:
            return L"bad magic: the record does not start with \"VLRG\"";
        case Tessel::RecordFault::TrailingBytes:
            return L"the enciphered record is longer than its length field says";
        case Tessel::RecordFault::DigestMismatch:
            return L"digest mismatch: the enciphered record was changed or damaged";
        case Tessel::RecordFault::DigestFailed:
            return L"the record's digest cannot be computed";
        case Tessel::RecordFault::None:
            break;
    }
    return L"the record's payload is not a valid value of its type";
}

// Why the enciphered key refused a value, from its raw bytes.
std::wstring RefusalReason(HKEY key, const wchar_t* name) {
    Tessel::CRegKey plain;
    plain.Attach(key);
    RegistryValue raw;
    const DWORD status = ReadWhole(plain, name, raw);
    plain.Detach();
    if (status != ERROR_SUCCESS) {
        return ErrorText(status);
    }
    if (raw.type != REG_BINARY) {
        return L"not an enciphered value: it is stored as plain " + TypeName(raw.type);
    }
    return FaultText(Tessel::InspectEncipheredRecord(raw.bytes.data(), raw.bytes.size()));
}

std::wstring OpenFailureText(DWORD status) {
    return status == ERROR_FILE_NOT_FOUND ? L"the key does not exist" : ErrorText(status);
}

}  // namespace

std::wstring ValuePathText(const std::wstring& subKey, const std::wstring& name, REGSAM view) {
    return L"HKLM\\" + subKey + L" " + Quoted(name) + L" (" + ViewName(view) + L")";
}

ReadOutcome ReadMachineValue(const std::wstring& subKey, const std::wstring& name, REGSAM view,
                             bool enciphered) {
    ReadOutcome outcome;
    Tessel::CObfuscatedRegKey obfuscated;
    Tessel::CRegKey plainKey;
    Tessel::CRegKey& key = enciphered ? obfuscated : plainKey;
    outcome.status = key.Open(HKEY_LOCAL_MACHINE, subKey.c_str(), KEY_QUERY_VALUE | view);
    if (outcome.status != ERROR_SUCCESS) {
        outcome.reason = OpenFailureText(outcome.status);
        return outcome;
    }
    outcome.keyOpened = true;
    outcome.status = ReadWhole(key, name.c_str(), outcome.value);
    if (outcome.status == ERROR_FILE_NOT_FOUND) {
        outcome.reason = L"no such value";
    } else if (outcome.status == ERROR_INVALID_DATA && enciphered) {
        outcome.reason = RefusalReason(key.Handle(), name.c_str());
    } else if (outcome.status != ERROR_SUCCESS) {
        outcome.reason = ErrorText(outcome.status);
    }
    return outcome;
}

DWORD WriteEncipheredValue(const std::wstring& subKey, const std::wstring& name, REGSAM view,
                           const RegistryValue& value, std::wstring& reason) {
    Tessel::CObfuscatedRegKey key;
    DWORD disposition = 0;
    DWORD status = key.Create(HKEY_LOCAL_MACHINE, subKey.c_str(), nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_QUERY_VALUE | KEY_SET_VALUE | view, nullptr, &disposition);
    if (status != ERROR_SUCCESS) {
        reason = L"cannot create or open the key: " + ErrorText(status);
        return status;
    }
    status = key.WriteRawValue(name.c_str(), value.type, value.bytes.data(),
                               static_cast<DWORD>(value.bytes.size()));
    if (status != ERROR_SUCCESS) {
        reason = ErrorText(status);
        key.Close();
        if (disposition == REG_CREATED_NEW_KEY) {
            ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), view, 0);
        }
    }
    return status;
}

DWORD DeleteMachineValue(const std::wstring& subKey, const std::wstring& name, REGSAM view,
                         std::wstring& reason) {
    Tessel::CRegKey key;
    DWORD status = key.Open(HKEY_LOCAL_MACHINE, subKey.c_str(), KEY_SET_VALUE | view);
    if (status != ERROR_SUCCESS) {
        reason = OpenFailureText(status);
        return status;
    }
    status = key.DeleteValue(name.c_str());
    if (status != ERROR_SUCCESS) {
        reason = status == ERROR_FILE_NOT_FOUND ? L"no such value" : ErrorText(status);
    }
    return status;
}

}  // namespace VrxConf
