#include "CmdBuf.h"

// The machine hash is made with the SHA256_Init/Update/Final interface, which OpenSSL 3 marks
// deprecated; its result is what the update manager computes, so it is kept.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include "ProductKeys.h"
#include "RegKeyHolder.h"
#include "../../etwlogging/LogFacade.h"

namespace {

constexpr const wchar_t* kLogSource = L"..\\..\\includes\\CmdBuf";
constexpr const wchar_t* kGetMachineGuid = L"CIPCPool::GetMachineGUID";
constexpr const wchar_t* kGetHashVal = L"CIPCPool::GetHashVal";
constexpr const wchar_t* kMachineGuidValue = L"MachineGuid";

static_assert(sizeof(wchar_t) == 2, "the hash is defined over UTF-16 storage");

template <typename... TArgs>
void LogIpc(DWORD severity, const wchar_t* function, int line, const wchar_t* format,
            TArgs... args) {
    ETWLogging::LogIfEnabled(severity, kLogSource, function, line, format, args...);
}

}  // namespace

std::wstring CIPCPool::GetMachineGUID(wchar_t* buffer, DWORD capacity) {
    using ETWLogging::kSeverityError;
    using ETWLogging::kSeverityNormal;
    LogIpc(kSeverityNormal, kGetMachineGuid, 94, L"Entered into Function: %s\r\n", kGetMachineGuid);

    CRegKeyHolder key;
    if (key.Open(HKEY_LOCAL_MACHINE, ProductKeys::kCryptography, ProductKeys::kRead64) !=
        ERROR_SUCCESS) {
        LogIpc(kSeverityError, kGetMachineGuid, 112, L"Failed to open registry key");
        return std::wstring();
    }
    // QueryRegString refuses a value that is not a string, is not terminated or does not fit,
    // so a successful read leaves a terminated text in the buffer.
    DWORD chars = capacity;
    if (buffer == nullptr || capacity == 0 ||
        key.QueryRegString(kMachineGuidValue, buffer, chars) != ERROR_SUCCESS) {
        if (buffer != nullptr && capacity > 0) {
            buffer[0] = L'\0';
        }
        LogIpc(kSeverityError, kGetMachineGuid, 106,
               L"Failed to Obtain the Machine GUID for Machine");
        return std::wstring();
    }
    LogIpc(kSeverityNormal, kGetMachineGuid, 103,
           L"Successfully read the Machine GUID for the machine from registry");
    return std::wstring(buffer);
}

std::wstring CIPCPool::GetHashVal(const std::wstring& text) {
    using ETWLogging::kSeverityNormal;
    LogIpc(kSeverityNormal, kGetHashVal, 120, L"Entered into Function: %s\r\n", kGetHashVal);

    LogIpc(kSeverityNormal, kGetHashVal, 124, L"Initialize SHA256_CTX with\tSHA256_Init()\r\n");
    SHA256_CTX context;
    bool hashed = SHA256_Init(&context) == 1;

    // The byte count is the number of characters, not the storage size: the update manager
    // hashes the same first half of the UTF-16LE text.
    LogIpc(kSeverityNormal, kGetHashVal, 127, L"Running over the data with SHA256_Update()\r\n");
    hashed = hashed && SHA256_Update(&context, text.data(), text.size()) == 1;

    LogIpc(kSeverityNormal, kGetHashVal, 130,
           L"Extracting the hash result\tusing SHA256_Final()\r\n");
    unsigned char digest[SHA256_DIGEST_LENGTH] = {};
    hashed = hashed && SHA256_Final(digest, &context) == 1;
    if (!hashed) {
        return std::wstring();
    }

    static constexpr wchar_t kHexDigits[] = L"0123456789abcdef";
    std::wstring hex;
    hex.reserve(2 * sizeof(digest));
    for (const unsigned char byte : digest) {
        hex.push_back(kHexDigits[byte >> 4]);
        hex.push_back(kHexDigits[byte & 0x0F]);
    }
    return hex;
}
