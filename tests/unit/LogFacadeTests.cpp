#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "etwlogging/LogFacade.h"
#include "tests/support/LogCapture.h"

using ETWLogging::CLogBuilderIf;
using ETWLogging::CLogBuilderIf_ex;
using ETWLogging::CLogFacade;
using ETWLogging::CLoggingIf;
using ETWLogging::LogInitValues;
using VrxTest::CRecordingSink;
using VrxTest::LogRecord;

namespace {

// Builds a recording sink, or fails, and remembers the arguments it was given.
class CTestBuilder : public CLogBuilderIf_ex {
public:
    explicit CTestBuilder(std::vector<LogRecord>& records) : m_records(records) {}

    bool Build(const wchar_t* group, HMODULE module, const wchar_t* host, DWORD mechanism,
               CLoggingIf** sink, Tessel::CRegKey*) override {
        calls.push_back(L"Build");
        Remember(nullptr, group, module, host, mechanism);
        return Make(buildSucceeds, sink);
    }
    bool BuildEx(const wchar_t* profile, const wchar_t* group, HMODULE module, const wchar_t* host,
                 DWORD mechanism, CLoggingIf** sink, Tessel::CRegKey*) override {
        calls.push_back(L"BuildEx");
        Remember(profile, group, module, host, mechanism);
        return Make(buildExSucceeds, sink);
    }

    bool buildSucceeds = true;
    bool buildExSucceeds = true;
    std::vector<std::wstring> calls;
    std::wstring profile = L"<null>", group, host = L"<null>";
    HMODULE module = nullptr;
    DWORD mechanism = 0;

private:
    void Remember(const wchar_t* p, const wchar_t* g, HMODULE m, const wchar_t* h, DWORD o) {
        profile = p ? p : L"<null>";
        group = g ? g : L"<null>";
        host = h ? h : L"<null>";
        module = m;
        mechanism = o;
    }
    bool Make(bool succeed, CLoggingIf** sink) {
        if (succeed) {
            *sink = new CRecordingSink(m_records, 3);
        }
        return succeed;
    }
    std::vector<LogRecord>& m_records;
};

// A non-extended builder.
class CPlainBuilder : public CLogBuilderIf {
public:
    explicit CPlainBuilder(CLoggingIf* sink) : m_sink(sink) {}
    bool Build(const wchar_t*, HMODULE, const wchar_t*, DWORD, CLoggingIf** sink,
               Tessel::CRegKey*) override {
        *sink = m_sink;
        return m_sink != nullptr;
    }

private:
    CLoggingIf* m_sink;
};

// An extended sink that records what reaches LogFormatV, formatted.
class CRecordingExSink : public ETWLogging::CLoggingIf_ex {
public:
    explicit CRecordingExSink(std::vector<LogRecord>& records) : m_records(records) {}
    DWORD Initialize(const wchar_t*, HMODULE, const wchar_t*, DWORD) override { return 0; }
    DWORD Prepare() override { return 0; }
    void GetSourcePath(std::wstring&) override {}
    void GetGroupName(std::wstring&) override {}
    DWORD Shutdown() override { return 0; }
    void SetEnabled(bool) override {}
    bool IsEnabled() override { return true; }
    DWORD LogFormat(DWORD, const wchar_t*, const wchar_t*, int, const wchar_t*, ...) override {
        return 0;
    }
    DWORD Log(const wchar_t*, const wchar_t*, int, DWORD, const wchar_t*) override { return 0; }
    int IsSeverityEnabled(DWORD severity) override { return severity >= 3; }
    void SetMaxEntries(DWORD) override {}
    DWORD GetMaxEntries() override { return 0; }
    void SetMaxSize(DWORD) override {}
    DWORD GetMaxSize() override { return 0; }
    DWORD SetSeverity(DWORD value) override { return value; }
    DWORD GetSeverity() override { return 3; }
    LONG AddRef() override { return 0; }
    LONG Release() override { return 0; }
    DWORD InitializeEx(const wchar_t*, const wchar_t*, HMODULE, const wchar_t*,
                       ETWLogging::LoggingConfigListenerIf*) override {
        return 0;
    }
    DWORD LogEx(DWORD, const wchar_t*, const wchar_t*, int, const wchar_t*) override { return 0; }
    DWORD LogFormatV(DWORD severity, const wchar_t* file, const wchar_t* function, int line,
                     const wchar_t* format, va_list args) override {
        wchar_t text[256];
        _vsnwprintf(text, 255, format, args);
        text[255] = L'\0';
        m_records.push_back({severity, file, function, line, text});
        return 0;
    }
    DWORD LogFormatEx(DWORD, const wchar_t*, const wchar_t*, int, const wchar_t*, ...) override {
        return 0;
    }
    bool IsSameSession(TRACEHANDLE) override { return false; }
    ULONG OnTraceControl(WMIDPREQUESTCODE, void*) override { return 0; }
    void ResetEventClass() override {}
    void GetModuleName(std::wstring&, HMODULE, bool) override {}
    void ComposeSourcePath() override {}
    DWORD UnregisterProvider() override { return 0; }
    DWORD Stop() override { return 0; }
    DWORD SeverityToLevel(DWORD severity) override { return severity; }

private:
    std::vector<LogRecord>& m_records;
};

DWORD Write(CLogFacade& facade, DWORD severity, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const DWORD result = facade.WriteV(severity, L"file", L"func", 7, format, args);
    va_end(args);
    return result;
}

}  // namespace

TEST(LogFacade, WithoutBuilderOrWithFailingBuilderNothingIsEnabledOrWritten) {
    CLogFacade noBuilder(LogInitValues{}, nullptr);
    EXPECT_EQ(nullptr, noBuilder.Sink());
    for (DWORD severity = 1; severity <= 6; ++severity) {
        EXPECT_EQ(0, noBuilder.IsEnabled(severity));
    }
    EXPECT_EQ(1627u, Write(noBuilder, 4, L"dropped"));

    std::vector<LogRecord> records;
    CTestBuilder failing(records);
    failing.buildSucceeds = failing.buildExSucceeds = false;
    CLogFacade failed(LogInitValues{}, &failing);
    EXPECT_EQ(nullptr, failed.Sink());
    EXPECT_EQ((std::vector<std::wstring>{L"BuildEx", L"Build"}), failing.calls);
    EXPECT_EQ(0, failed.IsEnabled(4));
    EXPECT_TRUE(records.empty());
}

TEST(LogFacade, ExtendedBuilderGetsAllValuesAndPlainBuildIsTheFallback) {
    std::vector<LogRecord> records;
    LogInitValues values;
    values.hasProfileName = true;
    values.profileName = L"QAR";
    values.groupName = L"Anti-Spam";
    values.hasHostName = false;
    values.mechanismOverride = 1;

    CTestBuilder builder(records);
    CLogFacade facade(values, &builder);
    EXPECT_NE(nullptr, facade.Sink());
    EXPECT_EQ((std::vector<std::wstring>{L"BuildEx"}), builder.calls);
    EXPECT_EQ(L"QAR", builder.profile);
    EXPECT_EQ(L"Anti-Spam", builder.group);
    EXPECT_EQ(L"<null>", builder.host);
    EXPECT_EQ(1u, builder.mechanism);

    CTestBuilder fallback(records);
    fallback.buildExSucceeds = false;
    CLogFacade viaBuild(values, &fallback);
    EXPECT_NE(nullptr, viaBuild.Sink());
    EXPECT_EQ((std::vector<std::wstring>{L"BuildEx", L"Build"}), fallback.calls);
}

TEST(LogFacade, DefaultsNameNoGroupNoHostAndTheLoggingModule) {
    std::vector<LogRecord> records;
    CTestBuilder builder(records);
    CLogFacade facade(LogInitValues{}, &builder);
    EXPECT_EQ(L"<null>", builder.profile);
    EXPECT_EQ(L"_no_group", builder.group);
    EXPECT_EQ(L"_no_host", builder.host);
    EXPECT_EQ(::GetModuleHandleW(nullptr), builder.module);  // the logging code is in this exe
    EXPECT_EQ(0u, builder.mechanism);
}

TEST(LogFacade, InitializeLoggingResolvesANullModuleToTheLoggingModule) {
    // The test main initialises logging as the library entry point does.
    const LogInitValues& stored = ETWLogging::internal::StoredLogInitValues();
    EXPECT_EQ(L"Anti-Spam", stored.groupName);
    EXPECT_EQ(nullptr, stored.ProfileNameOrNull());
    EXPECT_EQ(nullptr, stored.HostNameOrNull());
    EXPECT_EQ(::GetModuleHandleW(nullptr), stored.module);
    EXPECT_EQ(0u, stored.mechanismOverride);
}

TEST(LogFacade, PlainSinkGetsFormattedTextCutOnlyBeyond4160Characters) {
    std::vector<LogRecord> records;
    auto* sink = new CRecordingSink(records, 1);
    CPlainBuilder builder(sink);
    CLogFacade facade(LogInitValues{}, &builder);

    EXPECT_EQ(0u, Write(facade, 4, L"%s has %d%%", L"disk", 5));
    const std::wstring long3000(3000, L'a'), long4160(4160, L'b'), long5000(5000, L'c');
    Write(facade, 4, L"%s", long3000.c_str());
    Write(facade, 4, L"%s", long4160.c_str());
    Write(facade, 4, L"%s", long5000.c_str());
    Write(facade, 3, L"100%");  // always a format, even without arguments

    ASSERT_EQ(5u, records.size());
    EXPECT_EQ((LogRecord{4, L"file", L"func", 7, L"disk has 5%"}), records[0]);
    EXPECT_EQ(long3000, records[1].text);
    EXPECT_EQ(long4160, records[2].text);
    EXPECT_EQ(std::wstring(2080, L'c'), records[3].text);
    EXPECT_EQ(L"100", records[4].text);
}

TEST(LogFacade, PlainSinkIsNotAskedForTheSeverityButAnUnreadySinkDropsTheRecord) {
    std::vector<LogRecord> records;
    auto* sink = new CRecordingSink(records, 6);
    CPlainBuilder builder(sink);
    CLogFacade facade(LogInitValues{}, &builder);

    EXPECT_EQ(0, facade.IsEnabled(1));
    Write(facade, 1, L"written anyway");
    sink->SetPrepareResult(ERROR_NOT_READY);
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_READY), Write(facade, 4, L"dropped"));

    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(L"written anyway", records[0].text);
}

TEST(LogFacade, ExtendedSinkFormatsItselfAndOnlyEnabledSeverities) {
    std::vector<LogRecord> records;
    CPlainBuilder builder(new CRecordingExSink(records));
    CLogFacade facade(LogInitValues{}, &builder);

    EXPECT_EQ(0u, Write(facade, 1, L"below threshold"));
    EXPECT_EQ(0u, Write(facade, 3, L"#%d of %s", 7, L"content"));

    ASSERT_EQ(1u, records.size());
    EXPECT_EQ((LogRecord{3, L"file", L"func", 7, L"#7 of content"}), records[0]);
}

TEST(LoggingIf, NamedSeverityOperationsFormatIntoABoundedBufferWhateverTheThreshold) {
    std::vector<LogRecord> records;
    CRecordingSink sink(records, 6);
    sink.LogNormal(L"f", L"fn", 1, L"n%d", 1);
    sink.LogError(L"f", L"fn", 2, L"e");
    sink.LogWarning(L"f", L"fn", 3, L"w");
    sink.LogCritical(L"f", L"fn", 4, L"c");
    const std::wstring huge(5000, L'x');
    sink.LogInformation(L"f", L"fn", 5, L"%s", huge.c_str());

    ASSERT_EQ(5u, records.size());
    EXPECT_EQ((LogRecord{1, L"f", L"fn", 1, L"n1"}), records[0]);
    EXPECT_EQ(4u, records[1].severity);
    EXPECT_EQ(2u, records[2].severity);
    EXPECT_EQ(5u, records[3].severity);
    EXPECT_EQ(3u, records[4].severity);
    EXPECT_EQ(std::wstring(CLoggingIf::kMaxFormattedChars, L'x'), records[4].text);
}
