// The tool's commands. Each takes the command line (its first positional argument is the
// command's name) and returns the process exit code; it reports what it did on standard output
// and what went wrong on standard error.
#pragma once

#include <string>

#include "etwlogging/FileLogging.h"
#include "tools/vrxconf/Arguments.h"

namespace VrxConf {

int RunLogging(const CommandLine& line);
int RunReg(const CommandLine& line);
int RunIni(const CommandLine& line);
int RunLogs(const CommandLine& line);
int RunStatus(const CommandLine& line);

// Where the file sink keeps the log files and "log.ini" files of one of the product's modules.
DWORD ComposeProductLogPaths(const std::wstring& module, ETWLogging::CLogging::LogPaths& paths);

}  // namespace VrxConf
