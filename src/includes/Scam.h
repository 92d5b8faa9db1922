// Changes the configuration of one Windows service through the service control manager.
#pragma once

#include <windows.h>

#include <string>
#include <utility>

class CScam {
public:
    explicit CScam(std::wstring serviceName) : m_serviceName(std::move(serviceName)) {}

    // Replaces the service's whole start-dependency list with `dependencies`: service names and
    // "+"-prefixed group names, each terminated, the list ending with an extra terminator (an empty
    // list is two terminators). Nothing else in the configuration changes. Returns 0 when the
    // change was made, 1 when the manager or the service cannot be opened or the change is refused.
    DWORD SetDependency(const wchar_t* dependencies) const;

private:
    std::wstring m_serviceName;
};
