// vrxconf: the support tool for VrxRO.dll's enciphered settings, its log configuration and its
// log files. See Usage() for the commands.
#include <windows.h>

#include <memory>

#include "etwlogging/LogFacade.h"
#include "tools/vrxconf/Commands.h"
#include "tools/vrxconf/Console.h"

namespace {

constexpr wchar_t kUsage[] =
    L"usage:\r\n"
    L"  vrxconf logging file|etw [--view 32|64]\r\n"
    L"      selects the DLL's logging mechanism (\"Logging Mechanism\" under\r\n"
    L"      HKLM\\SOFTWARE\\Varlen\\Logging)\r\n"
    L"  vrxconf reg get|set|delete <HKLM\\key> <name> [--type dword|qword|sz|multi_sz|binary]\r\n"
    L"          [--view 32|64] [value...]\r\n"
    L"      reads, writes or deletes an enciphered value (set: --type sz unless given)\r\n"
    L"  vrxconf ini get|set <log.ini path> <section> <name> [value]\r\n"
    L"      reads or writes an obfuscated 32-bit value of a log.ini file\r\n"
    L"  vrxconf logs [--module VrxRO] [--tail N]\r\n"
    L"      prints a module's log files, oldest first\r\n"
    L"  vrxconf status\r\n"
    L"      shows what the DLL's actions would read on this machine, in both registry views\r\n"
    L"--view defaults to 32, the view the shipped 32-bit DLL reads its logging settings in.\r\n"
    L"Exit status: 0 done, 1 failed, 2 bad arguments (nothing written).";

// The tool keeps no log of its own: the library code it runs logs through the facade, which
// would otherwise make a sink of the machine's logging mechanism for this process.
class CNoSinkBuilder final : public ETWLogging::CLogBuilderIf {
public:
    bool Build(const wchar_t*, HMODULE, const wchar_t*, DWORD, ETWLogging::CLoggingIf**,
               Tessel::CRegKey*) override {
        return false;
    }
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
    using namespace VrxConf;
    ETWLogging::InstallLogBuilder(
        ETWLogging::MakeLogBuilderPtr(std::make_unique<CNoSinkBuilder>()));

    CommandLine line;
    std::wstring error;
    if (!ParseCommandLine(argc, argv, line, error)) {
        PrintErrorLine(kUsage);
        return Fail(error, kExitUsage);
    }
    struct Command {
        const wchar_t* name;
        int (*run)(const CommandLine&);
    };
    static const Command kCommands[] = {{L"logging", &RunLogging},
                                        {L"reg", &RunReg},
                                        {L"ini", &RunIni},
                                        {L"logs", &RunLogs},
                                        {L"status", &RunStatus}};
    if (!line.positional.empty()) {
        for (const Command& command : kCommands) {
            if (line.positional.front() == command.name) {
                return command.run(line);
            }
        }
    }
    if (line.positional.size() == 1 && line.positional.front() == L"help") {
        PrintLine(kUsage);
        return kExitOk;
    }
    PrintErrorLine(kUsage);
    return kExitUsage;
}
