#include "DefaultLogBuilder.h"

#include <memory>
#include <new>

#include "ETWLogging.h"
#include "FileLogging.h"
#include "support/RegKey.h"

namespace ETWLogging {

bool CDefaultLogBuilder::Build(const wchar_t* groupName, HMODULE module, const wchar_t* hostName,
                               DWORD mechanismOverride, CLoggingIf** sink,
                               Tessel::CRegKey* settings) {
    return BuildEx(nullptr, groupName, module, hostName, mechanismOverride, sink, settings);
}

bool CDefaultLogBuilder::BuildEx(const wchar_t* profileName, const wchar_t* groupName,
                                 HMODULE module, const wchar_t* hostName, DWORD mechanismOverride,
                                 CLoggingIf** sink, Tessel::CRegKey* settings) {
    const bool fileSink = ChooseFileSink(mechanismOverride, settings);
    if (sink == nullptr || *sink != nullptr || (groupName != nullptr && *groupName == L'\0') ||
        (hostName != nullptr && *hostName == L'\0')) {
        return false;
    }
    std::unique_ptr<CLoggingIf> created(CreateSink(fileSink));
    if (!created ||
        InitializeSink(*created, profileName, groupName, module, hostName) != ERROR_SUCCESS) {
        return false;
    }
    *sink = created.release();
    (*sink)->AddRef();
    return true;
}

bool CDefaultLogBuilder::ChooseFileSink(DWORD mechanismOverride, Tessel::CRegKey* settings) {
    if (mechanismOverride == kMechanismFile) {
        return true;
    }
    DWORD mechanism = 0;
    if (settings != nullptr) {
        return settings->ReadDword(kMechanismValue, mechanism) == ERROR_SUCCESS &&
               mechanism == kMechanismFile;
    }
    Tessel::CObfuscatedRegKey key;
    return key.Open(HKEY_LOCAL_MACHINE, kMechanismKeyPath, KEY_QUERY_VALUE) == ERROR_SUCCESS &&
           key.ReadDword(kMechanismValue, mechanism) == ERROR_SUCCESS &&
           mechanism == kMechanismFile;
}

CLoggingIf* CDefaultLogBuilder::CreateSink(bool fileSink) {
    if (fileSink) {
        return new (std::nothrow) CLogging();
    }
    return new (std::nothrow) CETWLogging();
}

DWORD CDefaultLogBuilder::InitializeSink(CLoggingIf& sink, const wchar_t* profileName,
                                         const wchar_t* groupName, HMODULE module,
                                         const wchar_t* hostName) {
    if (auto* extended = dynamic_cast<CLoggingIf_ex*>(&sink)) {
        if (extended->InitializeEx(profileName, groupName, module, hostName, nullptr) ==
            ERROR_SUCCESS) {
            return ERROR_SUCCESS;
        }
    }
    return sink.Initialize(groupName, module, hostName, 0);
}

}  // namespace ETWLogging
