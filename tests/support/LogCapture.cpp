#include "LogCapture.h"

#include <memory>
#include <mutex>

#include "etwlogging/LogFacade.h"

namespace VrxTest {
namespace {

struct CapturedLog {
    std::mutex lock;
    std::vector<LogRecord> records;
    DWORD threshold = 1;
};

CapturedLog& TheLog() {
    static CapturedLog log;
    return log;
}

// The process sink: records into the shared log under its lock.
class CCapturingSink : public CRecordingSink {
public:
    CCapturingSink() : CRecordingSink(m_unused) {}
    DWORD Log(const wchar_t* file, const wchar_t* function, int line, DWORD severity,
              const wchar_t* message) override {
        CapturedLog& log = TheLog();
        std::lock_guard<std::mutex> guard(log.lock);
        log.records.push_back({severity, file ? file : L"", function ? function : L"", line,
                               message ? message : L""});
        return 0;
    }
    int IsSeverityEnabled(DWORD severity) override {
        CapturedLog& log = TheLog();
        std::lock_guard<std::mutex> guard(log.lock);
        return severity >= log.threshold;
    }

private:
    std::vector<LogRecord> m_unused;
};

class CCapturingBuilder final : public ETWLogging::CLogBuilderIf {
public:
    bool Build(const wchar_t*, HMODULE, const wchar_t*, DWORD, ETWLogging::CLoggingIf** sink,
               Tessel::CRegKey*) override {
        *sink = new CCapturingSink();
        return true;
    }
};

}  // namespace

void PrintTo(const LogRecord& record, std::ostream* out) {
    auto narrow = [](const std::wstring& text) { return std::string(text.begin(), text.end()); };
    *out << "{" << record.severity << ", \"" << narrow(record.file) << "\", \""
         << narrow(record.function) << "\", " << record.line << ", \"" << narrow(record.text)
         << "\"}";
}

DWORD CRecordingSink::Log(const wchar_t* file, const wchar_t* function, int line, DWORD severity,
                          const wchar_t* message) {
    m_records.push_back(
        {severity, file ? file : L"", function ? function : L"", line, message ? message : L""});
    return 0;
}

void InstallCapturingLogBuilder() {
    ETWLogging::InstallLogBuilder(
        ETWLogging::MakeLogBuilderPtr(std::make_unique<CCapturingBuilder>()));
}

std::vector<LogRecord> LogRecords() {
    CapturedLog& log = TheLog();
    std::lock_guard<std::mutex> guard(log.lock);
    return log.records;
}

void ClearLogRecords() {
    CapturedLog& log = TheLog();
    std::lock_guard<std::mutex> guard(log.lock);
    log.records.clear();
}

void SetCapturedSeverityThreshold(DWORD threshold) {
    CapturedLog& log = TheLog();
    std::lock_guard<std::mutex> guard(log.lock);
    log.threshold = threshold;
}

}  // namespace VrxTest
