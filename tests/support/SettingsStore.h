// The settings-library stand-in's store file, as the tests write and read it: see
// testbed/settings/SettingsStandIn.cpp for the format and the recorded calls.
#pragma once

#include <windows.h>

#include <string>

namespace VrxTest {

// Store file lines.
std::string StoreNode(const std::string& path);
std::string StoreValue(const std::string& path, const std::string& name, const std::string& hex);
std::string StoreFailure(const std::string& path, const std::string& operation);

// Value bytes in hex: a 32-bit number, a wide text with its terminator.
std::string DwordHex(DWORD value);
std::string TextHex(const std::wstring& text);

// A user node `path` whose "_SETTINGS_NAME" is `sid`, with "UserFilteringLevel" holding `level`
// (hex bytes; null: no such value).
std::string StoreUser(const std::string& path, const std::wstring& sid, const char* levelHex);

// Reads back a store file's text: the bytes of value `name` of node `path`. False when the node
// has no such value.
bool FindStoredValue(const std::string& store, const std::string& path, const std::string& name,
                     std::string& bytes);
// Stored bytes as wide text, up to its first terminator (a trailing odd byte is ignored).
std::wstring WideTextOf(const std::string& bytes);

// Starts the stand-in's records of the process afresh; the accessors read them.
void ClearSettingsStandInRecords();
// "<path>|<name>|<hex bytes>;" for every SetValue the store was asked for.
std::wstring SettingsWrites();
// The same without the bytes: "<path>|<name>;" for every SetValue.
std::wstring SettingsWriteNames();
// Nodes and enumerators handed out and not given back ("0" when all came back, empty when the
// store handed out none).
std::wstring SettingsObjectsLive();

}  // namespace VrxTest
