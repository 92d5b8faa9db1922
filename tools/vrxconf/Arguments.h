// The tool's command line: options and positional arguments, registry paths, views and values.
#pragma once

#include <windows.h>

#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include "tools/vrxconf/Console.h"

namespace VrxConf {

// The arguments after the program name: "--name value" options and everything else in order.
struct CommandLine {
    std::vector<std::wstring> positional;
    std::map<std::wstring, std::wstring> options;

    // The option's value, or `fallback` when it was not given.
    std::wstring Option(const wchar_t* name, const wchar_t* fallback) const;
};

// Splits the arguments. Every option takes a value; an option without one, or given twice, is
// refused with `error` saying why.
bool ParseCommandLine(int argc, const wchar_t* const* argv, CommandLine& line, std::wstring& error);

// Refuses options other than `allowed`.
bool CheckOptions(const CommandLine& line, std::initializer_list<const wchar_t*> allowed,
                  std::wstring& error);

// The registry view named by "--view": 32 (the default: where the shipped 32-bit DLL reads its
// logging settings) or 64.
bool ParseView(const CommandLine& line, REGSAM& view, std::wstring& error);
const wchar_t* ViewName(REGSAM view);

// The sub-key of a path under HKEY_LOCAL_MACHINE, written "HKLM\..." or
// "HKEY_LOCAL_MACHINE\..." in any case.
bool SplitMachineKeyPath(const std::wstring& path, std::wstring& subKey);

// A decimal or "0x" hexadecimal number of at most `max`.
bool ParseNumber(const std::wstring& text, ULONGLONG max, ULONGLONG& value);

// A value as CRegKey::WriteRawValue takes it: strings in UTF-16 with their terminators.
struct RegistryValue {
    DWORD type = REG_NONE;
    std::vector<BYTE> bytes;
};

// "dword", "qword", "sz", "multi_sz" or "binary".
bool ParseTypeName(const std::wstring& name, DWORD& type);
// "REG_DWORD" and so on; "type N" for others.
std::wstring TypeName(DWORD type);

// The value of `type` given by `texts`: one number for dword and qword, one text for sz, one or
// more texts for multi_sz (one per string), one run of hexadecimal byte pairs for binary.
bool ParseValue(DWORD type, const std::vector<std::wstring>& texts, RegistryValue& value,
                std::wstring& error);
// The value as a person reads it: numbers in decimal and hexadecimal, strings in double quotes,
// bytes in hexadecimal.
std::wstring DescribeValue(const RegistryValue& value);

}  // namespace VrxConf
