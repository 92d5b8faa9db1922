// A sink that keeps every record it is given, installed in the facade's builder slot by the test
// main, so tests can assert severity, source, function, line and text of what the code logs.
#pragma once

#include <windows.h>

#include <ostream>
#include <string>
#include <vector>

#include "etwlogging/LoggingIf.h"

namespace VrxTest {

struct LogRecord {
    DWORD severity = 0;
    std::wstring file;
    std::wstring function;
    int line = 0;
    std::wstring text;

    bool operator==(const LogRecord& other) const {
        return severity == other.severity && file == other.file && function == other.function &&
               line == other.line && text == other.text;
    }
};
void PrintTo(const LogRecord& record, std::ostream* out);

// Installs the capturing builder; call before anything logs.
void InstallCapturingLogBuilder();

// Every record written since the last ClearLogRecords.
std::vector<LogRecord> LogRecords();
void ClearLogRecords();

// The severities the capturing sink reports as enabled: those at or above the threshold (default
// 1, every severity).
void SetCapturedSeverityThreshold(DWORD threshold);

// A sink that records into a caller's vector; enables every severity at or above `threshold`.
class CRecordingSink : public ETWLogging::CLoggingIf {
public:
    explicit CRecordingSink(std::vector<LogRecord>& records, DWORD threshold = 1)
        : m_records(records), m_threshold(threshold) {}

    DWORD Initialize(const wchar_t*, HMODULE, const wchar_t*, DWORD) override { return 0; }
    DWORD Prepare() override { return m_prepareResult; }
    void GetSourcePath(std::wstring&) override {}
    void GetGroupName(std::wstring&) override {}
    DWORD Shutdown() override { return 0; }
    void SetEnabled(bool enabled) override { m_enabled = enabled; }
    bool IsEnabled() override { return m_enabled; }
    DWORD LogFormat(DWORD, const wchar_t*, const wchar_t*, int, const wchar_t*, ...) override {
        return 0;
    }
    DWORD Log(const wchar_t* file, const wchar_t* function, int line, DWORD severity,
              const wchar_t* message) override;
    int IsSeverityEnabled(DWORD severity) override { return severity >= m_threshold; }
    void SetMaxEntries(DWORD) override {}
    DWORD GetMaxEntries() override { return 0; }
    void SetMaxSize(DWORD) override {}
    DWORD GetMaxSize() override { return 0; }
    DWORD SetSeverity(DWORD threshold) override { return m_threshold = threshold; }
    DWORD GetSeverity() override { return m_threshold; }
    LONG AddRef() override { return 1; }
    LONG Release() override { return 1; }

    void SetPrepareResult(DWORD result) { m_prepareResult = result; }

private:
    std::vector<LogRecord>& m_records;
    DWORD m_threshold;
    DWORD m_prepareResult = 0;
    bool m_enabled = true;
};

}  // namespace VrxTest
