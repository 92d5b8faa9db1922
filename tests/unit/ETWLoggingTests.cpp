#include <gtest/gtest.h>
#include <shlobj.h>
#include <knownfolders.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "etwlogging/ETWAppProperties.h"
#include "etwlogging/ETWLogging.h"
#include "support/RegKey.h"
#include "support/UniqueAny.h"
#include "tests/support/Files.h"
#include "tests/support/Registry.h"
#include "tests/support/TraceSessionDouble.h"

using ETWLogging::CETWLogging;
using ETWLogging::internal::ETWAppProperties;
using VrxTest::CTraceSessionDouble;
using VrxTest::TracedEvent;

namespace {

constexpr wchar_t kGroup[] = L"Anti-Spam";
constexpr wchar_t kExeName[] = L"vrxro_unit_tests.exe";
constexpr wchar_t kProfileKey[] = L"SOFTWARE\\Varlen.logging\\Test";
constexpr wchar_t kProviderKey[] = L"SOFTWARE\\Varlen\\Logging\\Provider";
constexpr wchar_t kGroupKey[] = L"SOFTWARE\\Varlen\\Logging\\Provider\\Anti-Spam";
constexpr wchar_t kSourceKey[] =
    L"SOFTWARE\\Varlen\\Logging\\Provider\\Anti-Spam\\vrxro_unit_tests";
constexpr TRACEHANDLE kSession = 0x1234;
constexpr TRACEHANDLE kOtherSession = 0x5678;

const GUID kQarProvider = {
    0xE16CA450, 0x55CC, 0x11E0, {0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}};
const GUID kQarSession = {
    0x491FB070, 0x54CC, 0x11E0, {0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}};
const GUID kEventClass = {
    0xCD1DAAD0, 0x54CC, 0x11E0, {0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}};
const GUID kTestProvider = {
    0x0A0B0C0D, 0x1112, 0x1314, {0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C}};
const GUID kTestSession = {
    0x2A2B2C2D, 0x3132, 0x3334, {0x35, 0x36, 0x37, 0x38, 0x39, 0x3A, 0x3B, 0x3C}};

// The maker's keys and the logging profiles, in both registry views. The logging library reads its
// configuration in the view of the process it runs in, so the tests store it there.
void RemoveLoggingKeys() {
    VrxTest::RemoveProductKeys();
    for (const REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
        Tessel::UniqueHKey software;
        if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_ALL_ACCESS | view,
                            software.put()) == ERROR_SUCCESS) {
            ::RegDeleteTreeW(software.get(), L"Varlen.logging");
        }
    }
}

std::wstring ProgramData() {
    Tessel::UniqueCoTaskMemString path;
    EXPECT_EQ(S_OK, ::SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, path.put()));
    return path ? path.get() : L"";
}

// A key of the test profile, its values stored enciphered.
Tessel::CObfuscatedRegKey ProfileKey(const std::wstring& subKey = L"") {
    Tessel::CObfuscatedRegKey key;
    const std::wstring path = subKey.empty() ? kProfileKey : kProfileKey + (L"\\" + subKey);
    EXPECT_EQ(0u, key.Create(HKEY_LOCAL_MACHINE, path.c_str(), nullptr, REG_OPTION_NON_VOLATILE,
                             KEY_ALL_ACCESS | VrxTest::kNativeView));
    return key;
}

// The registry profile "Test", complete but for "Log Path" and "ETL Path".
void StoreTestProfile() {
    ProfileKey();
    ASSERT_EQ(0u, ProfileKey(L"Session").WriteGuid(L"Session ID Guid", kTestSession));
    ASSERT_EQ(0u, ProfileKey(L"Session").WriteString(L"Session Name", L"Test session"));
    ASSERT_EQ(0u, ProfileKey(L"Provider").WriteGuid(L"Provider Guid", kTestProvider));
    ASSERT_EQ(0u, ProfileKey(L"Controller").WriteString(L"Owner Mutex Name", L"Global\\Owner"));
    ASSERT_EQ(0u, ProfileKey(L"Controller").WriteString(L"Controller Path", L"C:\\ctl.exe"));
}

class ETWAppPropertiesTest : public ::testing::Test {
protected:
    void SetUp() override { RemoveLoggingKeys(); }
    void TearDown() override { RemoveLoggingKeys(); }
};

}  // namespace

TEST_F(ETWAppPropertiesTest, WithoutARegistryProfileQarHasTheBuiltInValues) {
    ETWAppProperties profile;
    ASSERT_TRUE(profile.InitializeProfile(nullptr));
    const std::wstring data = ProgramData();
    EXPECT_EQ(L"QAR", profile.ProfileName());
    EXPECT_EQ(data, profile.DataFolder());
    EXPECT_EQ(kQarSession, profile.SessionId());
    EXPECT_EQ(L"Varlen.{E4367DA7-2B80-47f3-86D2-7626A18FC6F4}", profile.SessionName());
    EXPECT_EQ(kQarProvider, profile.ProviderGuid());
    EXPECT_EQ(L"Global\\Varlen.{0696D115-BE52-46c3-BFEE-D73A305B6581}", profile.OwnerMutexName());
    EXPECT_EQ(data + L"\\Varlen\\VLLOGS", profile.LogFolder());
    EXPECT_EQ(data + L"\\Varlen\\VLLOGS\\ETW", profile.TraceFileFolder());
    EXPECT_EQ(data + L"\\Varlen\\VLLOGS\\ETW\\vllogs.etl", profile.TraceFile());
    EXPECT_EQ(L"", profile.ControllerPath());
    EXPECT_EQ(HKEY_LOCAL_MACHINE, profile.RegistryRoot());
    EXPECT_EQ(L"SOFTWARE\\Varlen\\Logging", profile.RegistryBasePath());
    EXPECT_EQ(L"SOFTWARE\\Varlen\\Logging\\Controller", profile.ControllerKeyPath());
    EXPECT_EQ(kProviderKey, profile.ProviderKeyPath());
    EXPECT_EQ(L"SOFTWARE\\Varlen\\Logging", profile.SettingsKeyPath());
    // A profile is initialised once.
    EXPECT_FALSE(profile.InitializeProfile(L"QAR"));

    ETWAppProperties anyCase;
    EXPECT_TRUE(anyCase.InitializeProfile(L"qar"));
    EXPECT_EQ(kQarProvider, anyCase.ProviderGuid());
}

TEST_F(ETWAppPropertiesTest, AnotherNameWithoutARegistryKeyIsRefusedAndLeavesNoName) {
    ETWAppProperties profile;
    EXPECT_FALSE(profile.InitializeProfile(L"Other"));
    EXPECT_EQ(L"", profile.ProfileName());
    EXPECT_EQ(GUID{}, profile.ProviderGuid());
    EXPECT_TRUE(profile.InitializeProfile(L""));
    EXPECT_EQ(L"QAR", profile.ProfileName());
}

TEST_F(ETWAppPropertiesTest, ARegistryProfileIsReadFromEncipheredValues) {
    StoreTestProfile();
    ASSERT_EQ(0u, ProfileKey().WriteString(L"Log Path", L"\\Logs"));
    ETWAppProperties profile;
    ASSERT_TRUE(profile.InitializeProfile(L"Test"));
    const std::wstring data = ProgramData();
    EXPECT_EQ(kTestSession, profile.SessionId());
    EXPECT_EQ(L"Test session", profile.SessionName());
    EXPECT_EQ(kTestProvider, profile.ProviderGuid());
    EXPECT_EQ(L"Global\\Owner", profile.OwnerMutexName());
    EXPECT_EQ(L"C:\\ctl.exe", profile.ControllerPath());
    EXPECT_EQ(data + L"\\Logs", profile.LogFolder());
    EXPECT_EQ(data + L"\\Varlen\\VLLOGS\\ETW", profile.TraceFileFolder());  // the default
    EXPECT_EQ(data + L"\\Varlen\\VLLOGS\\ETW\\vllogs.etl", profile.TraceFile());
    EXPECT_EQ(kProfileKey, profile.RegistryBasePath());
    EXPECT_EQ(std::wstring(kProfileKey) + L"\\Provider", profile.ProviderKeyPath());
    EXPECT_EQ(std::wstring(kProfileKey) + L"\\Controller", profile.ControllerKeyPath());

    ASSERT_EQ(0u, ProfileKey().WriteString(L"ETL Path", L"\\Traces"));
    ETWAppProperties again;
    ASSERT_TRUE(again.InitializeProfile(L"Test"));
    EXPECT_EQ(data + L"\\Traces\\vllogs.etl", again.TraceFile());
}

TEST_F(ETWAppPropertiesTest, AnIncompleteOrPlainRegistryProfileIsRefused) {
    StoreTestProfile();
    ProfileKey(L"Controller").DeleteValue(L"Owner Mutex Name");
    EXPECT_FALSE(ETWAppProperties().InitializeProfile(L"Test"));

    StoreTestProfile();
    ProfileKey().DeleteSubKeyTree(L"Controller");
    EXPECT_FALSE(ETWAppProperties().InitializeProfile(L"Test"));

    // A value stored without enciphering is not a profile value.
    StoreTestProfile();
    VrxTest::SetString(L"SOFTWARE\\Varlen.logging\\Test\\Provider", L"Provider Guid",
                       L"{0A0B0C0D-1112-1314-1516-1718191A1B1C}", REG_SZ, VrxTest::kNativeView);
    ETWAppProperties plain;
    EXPECT_FALSE(plain.InitializeProfile(L"Test"));
    EXPECT_EQ(L"", plain.ProfileName());
}

namespace {

void AppendBytes(std::vector<BYTE>& bytes, const void* data, size_t size) {
    const BYTE* first = static_cast<const BYTE*>(data);
    bytes.insert(bytes.end(), first, first + size);
}

void AppendCounted(std::vector<BYTE>& bytes, const std::wstring& text) {
    const USHORT count = static_cast<USHORT>(text.size());
    AppendBytes(bytes, &count, sizeof(count));
    AppendBytes(bytes, text.data(), text.size() * sizeof(wchar_t));
}

// The fixed part of an event that this thread sends through a sink initialised for this
// executable in kGroup.
std::vector<BYTE> ExpectedFixedPart(const std::wstring& file, const std::wstring& function,
                                    DWORD line, ULONGLONG messageBytes) {
    std::vector<BYTE> fixed;
    const DWORD processId = ::GetCurrentProcessId();
    const DWORD threadId = ::GetCurrentThreadId();
    AppendBytes(fixed, &processId, sizeof(processId));
    AppendBytes(fixed, &threadId, sizeof(threadId));
    AppendCounted(fixed, kExeName);
    AppendCounted(fixed, file);
    AppendCounted(fixed, function);
    AppendBytes(fixed, &line, sizeof(line));
    AppendCounted(fixed, VrxTest::ExecutableFolder() + L"\\");
    AppendCounted(fixed, L"");  // this executable has no version resource
    AppendCounted(fixed, kGroup);
    AppendBytes(fixed, &messageBytes, sizeof(messageBytes));
    return fixed;
}

// A listener that can be made to fail.
class CThrowingListener : public ETWLogging::LoggingConfigListenerIf {
public:
    void OnChange(bool, DWORD, DWORD) override {
        if (armed) {
            throw std::runtime_error("listener failure");
        }
    }
    bool AttachSink(ETWLogging::CLoggingIf*) override { return true; }
    void GetProviderKey(HKEY& root, std::wstring& path) override {
        root = HKEY_LOCAL_MACHINE;
        path.clear();
    }
    void ApplyRegistryOverrides(HKEY, const wchar_t*) override {}

    bool armed = false;
};

class ETWLoggingTest : public ::testing::Test {
protected:
    void SetUp() override { RemoveLoggingKeys(); }
    void TearDown() override { RemoveLoggingKeys(); }

    // A sink on the controller double, initialised for this executable in kGroup.
    std::unique_ptr<CETWLogging> InitializedSink() {
        auto sink = std::make_unique<CETWLogging>(&controller);
        EXPECT_EQ(
            0u, sink->InitializeEx(nullptr, kGroup, ::GetModuleHandleW(nullptr), nullptr, nullptr));
        return sink;
    }
    // The same, with the provider registered.
    std::unique_ptr<CETWLogging> RegisteredSink() {
        auto sink = InitializedSink();
        EXPECT_EQ(0u, sink->Prepare());
        return sink;
    }

    CTraceSessionDouble controller;
};

}  // namespace

TEST_F(ETWLoggingTest, InitializeExRefusesEmptyNamesAnUnknownProfileAndARegisteredProvider) {
    const HMODULE exe = ::GetModuleHandleW(nullptr);
    CETWLogging sink(&controller);
    EXPECT_EQ(87u, sink.InitializeEx(nullptr, L"", exe, nullptr, nullptr));
    EXPECT_EQ(87u, sink.InitializeEx(nullptr, kGroup, exe, L"", nullptr));
    EXPECT_EQ(87u, sink.InitializeEx(L"Other", kGroup, exe, nullptr, nullptr));
    // The refused profile leaves the way open for the built-in one.
    EXPECT_EQ(0u, sink.Initialize(kGroup, exe, nullptr, 0));
    std::wstring text;
    sink.GetSourcePath(text);
    EXPECT_EQ(L"Anti-Spam\\vrxro_unit_tests", text);
    sink.GetGroupName(text);
    EXPECT_EQ(kGroup, text);
    EXPECT_TRUE(sink.IsEnabled());
    EXPECT_EQ(3u, sink.GetSeverity());

    EXPECT_EQ(0u, sink.Prepare());
    EXPECT_EQ(20001u, sink.InitializeEx(nullptr, kGroup, exe, nullptr, nullptr));
}

TEST_F(ETWLoggingTest, PrepareRegistersOnceAndDestructionUnregisters) {
    controller.registerResult = ERROR_ACCESS_DENIED;
    auto refused = InitializedSink();
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), refused->Prepare());
    EXPECT_EQ(0u, refused->Prepare());
    EXPECT_EQ(1, controller.registrations);
    refused.reset();
    EXPECT_TRUE(controller.unregistered.empty());

    controller.registerResult = ERROR_SUCCESS;
    auto sink = RegisteredSink();
    EXPECT_EQ(0u, sink->Prepare());
    EXPECT_EQ(2, controller.registrations);
    EXPECT_EQ(kQarProvider, controller.controlGuid);
    EXPECT_EQ(kEventClass, controller.eventClassGuid);
    sink.reset();
    EXPECT_EQ(std::vector<TRACEHANDLE>{controller.registrationHandle}, controller.unregistered);
}

TEST_F(ETWLoggingTest, ATraceSessionSetsTheThresholdAndAnotherSessionIsIgnored) {
    auto sink = RegisteredSink();
    EXPECT_FALSE(sink->IsSeverityEnabled(2));
    EXPECT_TRUE(sink->IsSeverityEnabled(3));

    EXPECT_EQ(0u, controller.Enable(kSession, 5));
    EXPECT_TRUE(sink->IsSameSession(kSession));
    EXPECT_EQ(5u, sink->GetSeverity());
    for (const DWORD severity : {3u, 5u, 6u}) {
        EXPECT_TRUE(sink->IsSeverityEnabled(severity)) << severity;
    }
    for (const DWORD severity : {1u, 2u, 4u}) {
        EXPECT_FALSE(sink->IsSeverityEnabled(severity)) << severity;
    }

    EXPECT_EQ(0u, controller.Enable(kOtherSession, 1));
    EXPECT_FALSE(sink->IsSameSession(kOtherSession));
    EXPECT_EQ(5u, sink->GetSeverity());
}

TEST_F(ETWLoggingTest, DisablingReappliesTheThresholdThenTheOverrides) {
    auto sink = RegisteredSink();
    ASSERT_EQ(0u, controller.Enable(kSession, 5));
    VrxTest::SetDword(kProviderKey, L"Severity", 2, VrxTest::kNativeView);

    EXPECT_EQ(0u, controller.Disable(kSession));
    EXPECT_FALSE(sink->IsEnabled());
    EXPECT_EQ(2u, sink->GetSeverity());
    EXPECT_TRUE(sink->IsSameSession(0));

    // An "Enable" override turns the sink on again even as the session goes.
    ASSERT_EQ(0u, controller.Enable(kSession, 4));
    VrxTest::SetDword(kProviderKey, L"Enable", 1, VrxTest::kNativeView);
    EXPECT_EQ(0u, controller.Disable(kSession));
    EXPECT_TRUE(sink->IsEnabled());
}

TEST_F(ETWLoggingTest, ControlRequestsThatCannotBeServedAreAnswered) {
    auto listener = std::make_unique<CThrowingListener>();
    CThrowingListener* const failing = listener.get();
    CETWLogging sink(&controller);
    ASSERT_EQ(0u, sink.InitializeEx(nullptr, kGroup, nullptr, nullptr, listener.release()));
    ASSERT_EQ(0u, sink.Prepare());

    EXPECT_EQ(87u, controller.SendRequest(WMI_GET_ALL_DATA, kSession));
    EXPECT_EQ(87u, controller.SendRequest(WMI_ENABLE_EVENTS, kSession, false));
    // A buffer that names no enabling session.
    EXPECT_EQ(static_cast<ULONG>(ERROR_INVALID_HANDLE),
              controller.SendRequest(WMI_ENABLE_EVENTS, kSession));
    failing->armed = true;
    EXPECT_EQ(574u, controller.Enable(kSession, 5));
}

TEST_F(ETWLoggingTest, OverridesApplyForTheProviderThenTheGroupThenTheSourcePath) {
    VrxTest::SetDword(kProviderKey, L"Severity", 4, VrxTest::kNativeView);
    VrxTest::SetDword(kGroupKey, L"Severity", 5, VrxTest::kNativeView);
    VrxTest::SetDword(kSourceKey, L"Severity", 2, VrxTest::kNativeView);
    EXPECT_EQ(2u, InitializedSink()->GetSeverity());

    VrxTest::DeleteValue(kSourceKey, L"Severity", VrxTest::kNativeView);
    VrxTest::SetDword(kSourceKey, L"Enable", 0, VrxTest::kNativeView);
    auto sink = InitializedSink();
    EXPECT_EQ(5u, sink->GetSeverity());
    EXPECT_FALSE(sink->IsEnabled());
}

TEST_F(ETWLoggingTest, AnEventCarriesTheRecordInTheDocumentedLayout) {
    auto sink = RegisteredSink();
    // Before a trace session enables the provider the event goes to no session.
    sink->LogEx(3, L"early.cpp", L"Early", 1, L"before");
    ASSERT_EQ(0u, controller.Enable(kSession, 5));
    sink->LogEx(4, L"dropped.cpp", L"Dropped", 2, L"below the threshold");
    EXPECT_EQ(0u, sink->LogFormatEx(6, L"C:\\src\\Mod.cpp", L"Fn", 42, L"h\u00e9llo %s #%d",
                                    L"\u20ac", 7));
    EXPECT_EQ(87u, sink->LogFormatEx(6, L"f", L"fn", 3, nullptr));

    ASSERT_EQ(2u, controller.events.size());
    EXPECT_EQ(0u, controller.events[0].session);
    const TracedEvent& event = controller.events[1];
    EXPECT_EQ(kSession, event.session);
    ASSERT_EQ(0x50u, event.header.size());
    const EVENT_TRACE_HEADER& header = event.Header();
    EXPECT_EQ(0x50, header.Size);
    EXPECT_EQ(0, header.FieldTypeFlags);
    EXPECT_EQ(1, header.Class.Type);
    EXPECT_EQ(3, header.Class.Level);  // severity 6
    EXPECT_EQ(2, header.Class.Version);
    EXPECT_EQ(kEventClass, header.Guid);
    EXPECT_EQ(0x120000u, header.Flags);
    const auto* fields = reinterpret_cast<const MOF_FIELD*>(event.header.data() + 0x30);
    EXPECT_EQ(0u, fields[0].DataType);
    EXPECT_EQ(0u, fields[1].DataType);

    const std::string message = "h\xC3\xA9llo \xE2\x82\xAC #7";
    ASSERT_EQ(2u, event.fields.size());
    EXPECT_EQ(message, std::string(event.fields[1].begin(), event.fields[1].end()));
    EXPECT_EQ(ExpectedFixedPart(L"C:\\src\\Mod.cpp", L"Fn", 42, message.size()), event.fields[0]);
}

TEST_F(ETWLoggingTest, LongTextIsCutToTheMessageBufferAndLongNamesToTheirCount) {
    auto sink = RegisteredSink();
    const std::wstring plain(3000, L'a'), accented(3000, L'\u00e9'), fits(2079, L'b');
    sink->LogEx(3, L"f", L"fn", 1, plain.c_str());
    sink->LogEx(3, L"f", L"fn", 2, accented.c_str());
    sink->LogEx(3, L"f", L"fn", 3, fits.c_str());
    const std::wstring longFile(70000, L'x');
    sink->LogEx(3, longFile.c_str(), L"after", 4, L"m");

    ASSERT_EQ(4u, controller.events.size());
    // 2,079 characters and the terminator.
    const std::vector<BYTE>& cut = controller.events[0].fields[1];
    ASSERT_EQ(2080u, cut.size());
    EXPECT_EQ(std::string(2079, 'a') + '\0', std::string(cut.begin(), cut.end()));
    EXPECT_EQ(ExpectedFixedPart(L"f", L"fn", 1, 2080), controller.events[0].fields[0]);
    // Two bytes a character in UTF-8: past the space left beside the text.
    const std::vector<BYTE>& wide = controller.events[1].fields[1];
    ASSERT_EQ(2079u * 2 + 1, wide.size());
    EXPECT_EQ(0xC3, wide[0]);
    EXPECT_EQ(0xA9, wide[4157]);
    EXPECT_EQ(0, wide.back());
    EXPECT_EQ(std::string(2079, 'b'), std::string(controller.events[2].fields[1].begin(),
                                                  controller.events[2].fields[1].end()));

    // The count says 65,535 and the fields after the name stay in place.
    EXPECT_EQ(ExpectedFixedPart(std::wstring(65535, L'x'), L"after", 4, 1),
              controller.events[3].fields[0]);
}
