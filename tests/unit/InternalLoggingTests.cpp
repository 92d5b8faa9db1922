#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "etwlogging/LogFacade.h"
#include "etwlogging/TesselLogHandler.h"
#include "support/Logging/internal_logging.h"
#include "tests/support/DebugOutput.h"
#include "tests/support/LogCapture.h"

using Tessel::CDefaultLoggingHandler;
using Tessel::CLogger;
using Tessel::ILoggingHandler;

namespace {

struct HandledMessage {
    DWORD type;
    std::wstring file;
    std::wstring function;
    DWORD line;
    std::wstring text;

    bool operator==(const HandledMessage& other) const {
        return type == other.type && file == other.file && function == other.function &&
               line == other.line && text == other.text;
    }
};

class CRecordingHandler : public ILoggingHandler {
public:
    void Log(DWORD type, const wchar_t* file, const wchar_t* function, DWORD line,
             const wchar_t* message) override {
        messages.push_back({type, file, function, line, message});
    }
    std::vector<HandledMessage> messages;
};

std::wstring SystemText(DWORD error) {
    wchar_t text[1024] = {};
    ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                     text, 1024, nullptr);
    return text;
}

std::wstring Hex(const void* handler) {
    wchar_t text[16];
    swprintf(text, 16, L"0x%08X", static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(handler)));
    return text;
}

HandledMessage Error(const wchar_t* function, DWORD line, const std::wstring& text) {
    return {2, L"Logging\\internal_logging", function, line, text};
}

const wchar_t* const kRegister = L"Tessel::CLogger::RegisterHandler";
const wchar_t* const kUnregister = L"Tessel::CLogger::UnregisterHandler";

// Every test starts with no handler registered and ends by putting back the one registered before
// (the logging facade's bridge, once the facade exists): the registration is process-wide.
class CLoggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved = CLogger::RegisteredHandler();
        ClearRegistration();
    }
    void TearDown() override {
        ClearRegistration();
        if (saved != nullptr) {
            CLogger::RegisterHandler(saved);
        }
    }
    static void ClearRegistration() {
        if (ILoggingHandler* registered = CLogger::RegisteredHandler()) {
            CLogger::UnregisterHandler(registered);
        }
    }

    ILoggingHandler* saved = nullptr;

    CRecordingHandler first;
    CRecordingHandler second;
};

}  // namespace

TEST_F(CLoggerTest, RegisteringReplacesOnlyNothingItselfOrTheDefault) {
    EXPECT_EQ(0u, CLogger::RegisterHandler(&first));
    EXPECT_EQ(0u, CLogger::RegisterHandler(&first)) << "the same handler again";
    EXPECT_TRUE(first.messages.empty());

    EXPECT_EQ(5023u, CLogger::RegisterHandler(&second));
    EXPECT_EQ(&first, CLogger::RegisteredHandler());
    EXPECT_EQ((std::vector<HandledMessage>{
                  Error(kRegister, 72,
                        SystemText(5023) + L": Registered Logging Handler " + Hex(&first) +
                            L" cannot be replaced with " + Hex(&second))}),
              first.messages);

    first.messages.clear();
    EXPECT_EQ(87u, CLogger::RegisterHandler(nullptr));
    EXPECT_EQ((std::vector<HandledMessage>{
                  Error(kRegister, 62, SystemText(87) + L": Cannot Register (NULL) handler")}),
              first.messages);

    // The default handler gives way to any handler.
    ASSERT_EQ(0u, CLogger::UnregisterHandler(&first));
    ASSERT_EQ(0u, CLogger::RegisterHandler(&CDefaultLoggingHandler::Instance()));
    EXPECT_EQ(0u, CLogger::RegisterHandler(&second));
    EXPECT_EQ(&second, CLogger::RegisteredHandler());
}

TEST_F(CLoggerTest, UnregisteringTellsTheHandlersInvolvedWhatWentWrong) {
    EXPECT_EQ(5023u, CLogger::UnregisterHandler(&first)) << "none registered";
    EXPECT_EQ(nullptr, CLogger::RegisteredHandler());
    EXPECT_EQ((std::vector<HandledMessage>{Error(kUnregister, 107,
                                                 SystemText(5023) +
                                                     L": Request to Unregister Logging handler " +
                                                     Hex(&first) + L", but none are registered")}),
              first.messages);
    first.messages.clear();

    ASSERT_EQ(0u, CLogger::RegisterHandler(&first));
    EXPECT_EQ(5023u, CLogger::UnregisterHandler(&second));
    EXPECT_EQ(&first, CLogger::RegisteredHandler());
    const std::wstring mismatch = SystemText(5023) +
                                  L": Failed to Unregister Logging handler (requested handler " +
                                  Hex(&second) + L" != registered handler " + Hex(&first) + L")";
    EXPECT_EQ((std::vector<HandledMessage>{Error(kUnregister, 115, mismatch)}), first.messages);
    EXPECT_EQ((std::vector<HandledMessage>{Error(kUnregister, 120, mismatch)}), second.messages);
    first.messages.clear();

    EXPECT_EQ(87u, CLogger::UnregisterHandler(nullptr));
    EXPECT_EQ((std::vector<HandledMessage>{
                  Error(kUnregister, 97, SystemText(87) + L": Cannot Unregister (NULL) handler")}),
              first.messages);

    EXPECT_EQ(0u, CLogger::UnregisterHandler(&first));
    EXPECT_EQ(nullptr, CLogger::RegisteredHandler());
}

TEST_F(CLoggerTest, MessagesAreFormattedForTheRegisteredHandler) {
    ASSERT_EQ(0u, CLogger::RegisterHandler(&first));
    const std::wstring longText(5000, L'z');
    CLogger::Log(1, L"src", L"fn", 12, L"%s #%d", L"value", 7);
    CLogger::Log(7, L"src", L"fn", 13, L"%s", longText.c_str());
    EXPECT_EQ((std::vector<HandledMessage>{{1, L"src", L"fn", 12, L"value #7"},
                                           {7, L"src", L"fn", 13, longText}}),
              first.messages);
}

TEST_F(CLoggerTest, WithoutAHandlerTheDefaultOneWritesTaggedLinesToTheDebugger) {
    VrxTest::DebugOutputCapture debugger;
    CLogger::Log(2, L"file.cpp", L"Fn", 40, L"failed with %d", 5);
    EXPECT_EQ(&CDefaultLoggingHandler::Instance(), CLogger::RegisteredHandler());
    CLogger::Log(0, L"file.cpp", L"Fn", 41, L"untagged: not shown");
    CLogger::Log(1, L"file.cpp", L"Fn", 42, L"note");
    CLogger::Log(9, L"file.cpp", L"Fn", 43, L"odd");
    EXPECT_EQ((std::vector<std::wstring>{L"file.cpp(40): [ERROR]: [Fn]: failed with 5\n",
                                         L"file.cpp(42): [INFO]: [Fn]: note\n",
                                         L"file.cpp(43): [UNKNOWN]: [Fn]: odd\n"}),
              debugger.Lines());
}

namespace {

// Uses the process's facade, whose sink is the test's capturing sink.
class SupportLogBridgeTest : public ::testing::Test {
protected:
    void SetUp() override {
        ETWLogging::IsLoggingEnabled(1);  // creates the facade, which registers the bridge
        VrxTest::ClearLogRecords();
        VrxTest::SetCapturedSeverityThreshold(6);  // the bridge must not care
    }
    void TearDown() override { VrxTest::SetCapturedSeverityThreshold(1); }
};

}  // namespace

TEST_F(SupportLogBridgeTest, SupportLibraryMessagesReachTheSinkAtTheSeverityOfTheirType) {
    ASSERT_EQ(&ETWLogging::CTesselLogHandler::Instance(), CLogger::RegisteredHandler());
    CLogger::Log(0, L"f", L"fn", 1, L"untagged %d", 0);
    CLogger::Log(1, L"f", L"fn", 2, L"information");
    CLogger::Log(2, L"f", L"fn", 3, L"error");
    CLogger::Log(7, L"f", L"fn", 4, L"unrecognised");
    EXPECT_EQ((std::vector<VrxTest::LogRecord>{{1, L"f", L"fn", 1, L"untagged 0"},
                                               {1, L"f", L"fn", 2, L"information"},
                                               {4, L"f", L"fn", 3, L"error"},
                                               {2, L"f", L"fn", 4, L"unrecognised"}}),
              VrxTest::LogRecords());
}

TEST_F(SupportLogBridgeTest, AnotherHandlerIsRefusedAndTheRefusalIsLogged) {
    CRecordingHandler other;
    EXPECT_EQ(5023u, CLogger::RegisterHandler(&other));
    EXPECT_EQ(&ETWLogging::CTesselLogHandler::Instance(), CLogger::RegisteredHandler());
    const std::vector<VrxTest::LogRecord> records = VrxTest::LogRecords();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(4u, records[0].severity);
    EXPECT_EQ(L"Logging\\internal_logging", records[0].file);
    EXPECT_EQ(kRegister, records[0].function);
    EXPECT_EQ(72, records[0].line);
    EXPECT_TRUE(other.messages.empty());
}

TEST(LogFacadeSupportHandler, OnlyAFacadeWithASinkRegistersAndItUnregistersWhenItGoes) {
    ILoggingHandler* const saved = CLogger::RegisteredHandler();
    if (saved != nullptr) {
        CLogger::UnregisterHandler(saved);
    }
    std::vector<VrxTest::LogRecord> records;
    CRecordingHandler handler;
    {
        ETWLogging::CLogFacade withoutSink(ETWLogging::LogInitValues{}, nullptr);
        withoutSink.RegisterSupportLogHandler(&handler);
        EXPECT_EQ(nullptr, CLogger::RegisteredHandler());
    }
    {
        struct Builder : ETWLogging::CLogBuilderIf {
            explicit Builder(std::vector<VrxTest::LogRecord>& r) : records(r) {}
            bool Build(const wchar_t*, HMODULE, const wchar_t*, DWORD,
                       ETWLogging::CLoggingIf** sink, Tessel::CRegKey*) override {
                *sink = new VrxTest::CRecordingSink(records);
                return true;
            }
            std::vector<VrxTest::LogRecord>& records;
        } builder(records);
        ETWLogging::CLogFacade facade(ETWLogging::LogInitValues{}, &builder);
        facade.RegisterSupportLogHandler(&handler);
        EXPECT_EQ(&handler, CLogger::RegisteredHandler());
    }
    EXPECT_EQ(nullptr, CLogger::RegisteredHandler());
    EXPECT_TRUE(handler.messages.empty());
    if (saved != nullptr) {
        CLogger::RegisterHandler(saved);
    }
}
