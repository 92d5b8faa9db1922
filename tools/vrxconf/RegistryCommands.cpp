// "logging" and "reg": the enciphered registry values.
#include "etwlogging/DefaultLogBuilder.h"
#include "tools/vrxconf/Commands.h"
#include "tools/vrxconf/Console.h"
#include "tools/vrxconf/Registry.h"

namespace VrxConf {
namespace {

using ETWLogging::CDefaultLogBuilder;

// The mechanism values: 1 selects the log files; the library takes any other value as event
// tracing, and the tool stores 0 for it.
constexpr DWORD kMechanismEtw = 0;

int WriteValue(const std::wstring& subKey, const std::wstring& name, REGSAM view,
               const RegistryValue& value) {
    std::wstring reason;
    if (WriteEncipheredValue(subKey, name, view, value, reason) != ERROR_SUCCESS) {
        return Fail(L"cannot set " + ValuePathText(subKey, name, view) + L": " + reason);
    }
    PrintLine(L"set " + ValuePathText(subKey, name, view) + L" = " + DescribeValue(value));
    return kExitOk;
}

int GetValue(const std::wstring& subKey, const std::wstring& name, REGSAM view,
             const CommandLine& line) {
    const ReadOutcome read = ReadMachineValue(subKey, name, view, true);
    if (read.status != ERROR_SUCCESS) {
        return Fail(L"cannot read " + ValuePathText(subKey, name, view) + L": " + read.reason);
    }
    DWORD expected = REG_NONE;
    if (line.options.count(L"--type") != 0 &&
        ParseTypeName(line.Option(L"--type", L""), expected) && expected != read.value.type) {
        return Fail(ValuePathText(subKey, name, view) + L" holds " + TypeName(read.value.type) +
                    L", not " + TypeName(expected) + L": " + DescribeValue(read.value));
    }
    PrintLine(ValuePathText(subKey, name, view) + L" = " + DescribeValue(read.value));
    return kExitOk;
}

int DeleteValue(const std::wstring& subKey, const std::wstring& name, REGSAM view) {
    std::wstring reason;
    if (DeleteMachineValue(subKey, name, view, reason) != ERROR_SUCCESS) {
        return Fail(L"cannot delete " + ValuePathText(subKey, name, view) + L": " + reason);
    }
    PrintLine(L"deleted " + ValuePathText(subKey, name, view));
    return kExitOk;
}

}  // namespace

int RunLogging(const CommandLine& line) {
    std::wstring error;
    REGSAM view = 0;
    if (!CheckOptions(line, {L"--view"}, error) || !ParseView(line, view, error)) {
        return Fail(error, kExitUsage);
    }
    const std::vector<std::wstring>& args = line.positional;
    if (args.size() != 2 || (args[1] != L"file" && args[1] != L"etw")) {
        return Fail(L"usage: vrxconf logging file|etw [--view 32|64]", kExitUsage);
    }
    const DWORD mechanism = args[1] == L"file" ? CDefaultLogBuilder::kMechanismFile : kMechanismEtw;
    RegistryValue value;
    ParseValue(REG_DWORD, {std::to_wstring(mechanism)}, value, error);
    return WriteValue(CDefaultLogBuilder::kMechanismKeyPath, CDefaultLogBuilder::kMechanismValue,
                      view, value);
}

int RunReg(const CommandLine& line) {
    static const wchar_t kUsage[] =
        L"usage: vrxconf reg get|set|delete <HKLM\\key> <name> [--type "
        L"dword|qword|sz|multi_sz|binary] [--view 32|64] [value]";
    std::wstring error;
    REGSAM view = 0;
    DWORD type = REG_SZ;
    if (!CheckOptions(line, {L"--view", L"--type"}, error) || !ParseView(line, view, error)) {
        return Fail(error, kExitUsage);
    }
    if (!ParseTypeName(line.Option(L"--type", L"sz"), type)) {
        return Fail(L"unknown --type " + Quoted(line.Option(L"--type", L"")), kExitUsage);
    }
    const std::vector<std::wstring>& args = line.positional;
    std::wstring subKey;
    if (args.size() < 4) {
        return Fail(kUsage, kExitUsage);
    }
    if (!SplitMachineKeyPath(args[2], subKey)) {
        return Fail(Quoted(args[2]) + L" is not a key under HKLM (write HKLM\\SOFTWARE\\...)",
                    kExitUsage);
    }
    const std::wstring& operation = args[1];
    const std::wstring& name = args[3];
    if (operation == L"set") {
        RegistryValue value;
        if (!ParseValue(type, {args.begin() + 4, args.end()}, value, error)) {
            return Fail(L"nothing written: " + error, kExitUsage);
        }
        return WriteValue(subKey, name, view, value);
    }
    if (args.size() != 4 || (operation != L"get" && operation != L"delete")) {
        return Fail(kUsage, kExitUsage);
    }
    return operation == L"get" ? GetValue(subKey, name, view, line)
                               : DeleteValue(subKey, name, view);
}

}  // namespace VrxConf
