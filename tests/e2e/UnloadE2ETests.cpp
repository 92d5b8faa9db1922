// Every action called by a host that then unloads the DLL and returns from main, with each sink
// selected: nothing the DLL registered (exit handlers, thread-local destructors, platform
// callbacks) may outlive it, and loading it loads none of the DLLs it delay-loads (the host
// checks that). A crashing process's exit status is not reliable under Wine, so the
// crash report that Wine's debugger writes into the host's output is looked for too.
#include <gtest/gtest.h>

#include <cwchar>
#include <ostream>
#include <string>

#include "RunDll32.h"
#include "tests/support/Files.h"
#include "tests/support/LogFile.h"
#include "tests/support/Registry.h"

using namespace VrxTest;

namespace {

struct ActionCase {
    const wchar_t* name;
    // In this arrangement the action writes records; the other three log only on failures
    // (a profile cache that cannot be deleted, an "apf" file with no install folder, a task that
    // cannot be deleted) and reach the sink without a record.
    bool writesRecords;
};

const ActionCase kActions[] = {{L"AdjustFiltLevel", true},     {L"CheckOutlook", false},
                               {L"ConvertUFilters", true},     {L"DeleteVRXTask", false},
                               {L"ExtractAutoFillData", true}, {L"ExtractContent", true},
                               {L"MoveApfFile", false},        {L"RemoveServiceDependency", true},
                               {L"SetInstallDate", true},      {L"SignalContentUpdate", true}};

void PrintTo(const ActionCase& action, std::ostream* out) {
    *out << std::string(action.name, action.name + wcslen(action.name));
}

struct SinkCase {
    const char* name;
    DWORD mechanism;
};

std::string Narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());
}

}  // namespace

class UnloadE2E : public ProductRegistryTest, public ::testing::WithParamInterface<ActionCase> {
protected:
    ScratchFolder scratch;
    ScratchFolder install;
    LibraryLogFolder logFolder;
};

TEST_P(UnloadE2E, TheHostExitsCleanlyAfterUnloadingTheDll) {
    // A signed settings library in the install folder takes the actions that load it on into
    // validated loading (which refuses it).
    SetString(kVrxKey, L"Install Dir", install.Path());
    CopyFileTo(FixturePath(L"signing\\settings\\VrxSet.dll"), install / L"VrxSet.dll");
    logFolder.LogEverySeverity();  // every action writes a record then, progress notes included
    const std::wstring host = ExecutableFolder() + L"\\vrx_unload_host.exe";
    for (const SinkCase& sink : {SinkCase{"file sink", kMechanismFileSink},
                                 SinkCase{"event tracing", kMechanismEventTracing}}) {
        SCOPED_TRACE(sink.name);
        StoreMechanism(sink.mechanism);
        const std::wstring output = scratch / (L"host-output-" + std::to_wstring(sink.mechanism));
        const DWORD exitCode = RunProgram(
            host, L"vrx_unload_host.exe \"" + DllUnderTest() + L"\" " + GetParam().name, output);
        const std::string report = ReadTextFile(output);
        EXPECT_EQ(0u, exitCode) << report;
        EXPECT_EQ(std::string::npos, report.find("Unhandled")) << report;
        if (sink.mechanism == kMechanismFileSink && GetParam().writesRecords) {
            EXPECT_TRUE(FileExists(logFolder.Path() + L"\\VrxRO000.log")) << "nothing was logged";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(EveryAction, UnloadE2E, ::testing::ValuesIn(kActions),
                         [](const ::testing::TestParamInfo<ActionCase>& info) {
                             return Narrow(info.param.name);
                         });
