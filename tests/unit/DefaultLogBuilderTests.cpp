#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "etwlogging/DefaultLogBuilder.h"
#include "etwlogging/ETWLogging.h"
#include "etwlogging/FileLogging.h"
#include "etwlogging/LogFacade.h"
#include "support/RegKey.h"
#include "tests/support/Registry.h"

using ETWLogging::CDefaultLogBuilder;
using ETWLogging::CETWLogging;
using ETWLogging::CLogBuilderIf;
using ETWLogging::CLogging;
using ETWLogging::CLoggingIf;

namespace {

constexpr wchar_t kGroup[] = L"Anti-Spam";
constexpr wchar_t kLoggingKey[] = L"SOFTWARE\\Varlen\\Logging";

// The logging configuration is read in the view of the process that logs.
void StoreMechanism(DWORD mechanism, REGSAM view = VrxTest::kNativeView) {
    Tessel::CObfuscatedRegKey key;
    ASSERT_EQ(0u, key.Create(HKEY_LOCAL_MACHINE, kLoggingKey, nullptr, REG_OPTION_NON_VOLATILE,
                             KEY_ALL_ACCESS | view));
    ASSERT_EQ(0u, key.WriteDword(L"Logging Mechanism", mechanism));
}

// A settings source that counts what is read from it.
class CCountingSettings : public Tessel::CRegKey {
public:
    DWORD ReadDword(const wchar_t* name, DWORD& value) override {
        ++reads;
        lastName = name;
        value = mechanism;
        return ERROR_SUCCESS;
    }
    DWORD mechanism = 1;
    int reads = 0;
    std::wstring lastName;
};

class DefaultLogBuilderTest : public VrxTest::ProductRegistryTest {
protected:
    // What the builder makes with the facade's arguments; null when it refuses.
    std::unique_ptr<CLoggingIf> Build(DWORD mechanismOverride = 0,
                                      Tessel::CRegKey* settings = nullptr,
                                      const wchar_t* profile = nullptr) {
        CLoggingIf* sink = nullptr;
        const bool built = builder.BuildEx(profile, kGroup, ::GetModuleHandleW(nullptr), nullptr,
                                           mechanismOverride, &sink, settings);
        EXPECT_EQ(built, sink != nullptr);
        return std::unique_ptr<CLoggingIf>(sink);
    }

    CDefaultLogBuilder builder;
};

DWORD Write(ETWLogging::CLogFacade& facade, DWORD severity, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const DWORD result = facade.WriteV(severity, L"file", L"func", 7, format, args);
    va_end(args);
    return result;
}

bool IsFileSink(const std::unique_ptr<CLoggingIf>& sink) {
    return dynamic_cast<CLogging*>(sink.get()) != nullptr;
}
bool IsTraceSink(const std::unique_ptr<CLoggingIf>& sink) {
    return dynamic_cast<CETWLogging*>(sink.get()) != nullptr;
}

}  // namespace

TEST_F(DefaultLogBuilderTest, OnlyAnEncipheredMechanismOfOneBuildsTheFileSink) {
    EXPECT_TRUE(IsTraceSink(Build()));  // no key
    for (const DWORD mechanism : {0u, 2u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(mechanism);
        StoreMechanism(mechanism);
        EXPECT_TRUE(IsTraceSink(Build()));
    }
    StoreMechanism(1);
    const std::unique_ptr<CLoggingIf> file = Build();
    ASSERT_TRUE(IsFileSink(file));
    EXPECT_EQ(2, file->AddRef());  // the builder took the first reference

    // A plain value is no mechanism record.
    VrxTest::SetDword(kLoggingKey, L"Logging Mechanism", 1, VrxTest::kNativeView);
    EXPECT_TRUE(IsTraceSink(Build()));

    // Nor is a record stored in the other view only.
    VrxTest::RemoveProductKeys();
    StoreMechanism(1, VrxTest::kOtherView);
    EXPECT_TRUE(IsTraceSink(Build()));
}

TEST_F(DefaultLogBuilderTest, TheOverrideOrTheSettingsSourceDecideInsteadOfTheRegistry) {
    StoreMechanism(2);
    CCountingSettings settings;
    EXPECT_TRUE(IsFileSink(Build(1, &settings)));
    EXPECT_EQ(0, settings.reads);

    EXPECT_TRUE(IsFileSink(Build(0, &settings)));
    EXPECT_EQ(1, settings.reads);
    EXPECT_EQ(L"Logging Mechanism", settings.lastName);
    settings.mechanism = 0;
    EXPECT_TRUE(IsTraceSink(Build(0, &settings)));
}

TEST_F(DefaultLogBuilderTest, RefusalsLeaveTheOutputAsItWas) {
    const HMODULE exe = ::GetModuleHandleW(nullptr);
    for (const DWORD mechanism : {0u, 1u}) {
        SCOPED_TRACE(mechanism);
        CLoggingIf* sink = nullptr;
        EXPECT_FALSE(builder.BuildEx(nullptr, L"", exe, nullptr, mechanism, &sink, nullptr));
        EXPECT_FALSE(builder.Build(kGroup, exe, L"", mechanism, &sink, nullptr));
        EXPECT_EQ(nullptr, sink);

        CETWLogging held;
        sink = &held;
        EXPECT_FALSE(builder.Build(kGroup, exe, nullptr, mechanism, &sink, nullptr));
        EXPECT_EQ(&held, sink);
    }
}

TEST_F(DefaultLogBuilderTest, ARefusedProfileFallsBackToTheBuiltInOne) {
    const std::unique_ptr<CLoggingIf> sink = Build(0, nullptr, L"Unknown");
    ASSERT_TRUE(IsTraceSink(sink));
    std::wstring sourcePath;
    sink->GetSourcePath(sourcePath);
    EXPECT_EQ(L"Anti-Spam\\vrxro_unit_tests", sourcePath);
}

TEST(LogFacade, AnEmptyBuilderSlotGetsTheDefaultBuilder) {
    ETWLogging::LogBuilderPtr slot(nullptr, [](CLogBuilderIf*) {});
    CLogBuilderIf* const builder = ETWLogging::internal::BuilderInSlot(slot);
    ASSERT_NE(nullptr, builder);
    EXPECT_EQ(builder, slot.get());
    EXPECT_NE(nullptr, dynamic_cast<CDefaultLogBuilder*>(builder));
    EXPECT_EQ(builder, ETWLogging::internal::BuilderInSlot(slot));
}

TEST_F(DefaultLogBuilderTest, AFacadeOnThePlatformsEventTracingAnswersAndWrites) {
    // The facade the library makes without a logging key: the event-tracing sink on the
    // platform's own tracing, which may have no trace session.
    ETWLogging::LogInitValues values;
    values.groupName = kGroup;
    values.hasHostName = false;
    ETWLogging::CLogFacade facade(values, &builder);
    ASSERT_NE(nullptr, dynamic_cast<CETWLogging*>(facade.Sink()));
    EXPECT_NE(0, facade.IsEnabled(3));
    EXPECT_EQ(0, facade.IsEnabled(2));
    EXPECT_EQ(0u, Write(facade, 4, L"no session listens: %d", 1));
    EXPECT_EQ(0u, Write(facade, 4, L"still nothing"));
}
