// The settings store as the actions that walk the product's users open it, and the reads on its
// nodes. Each read accepts a null node and then gives its empty result.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "../../../support/FileValidator.h"
#include "../../../support/UniqueAny.h"
#include "../../includes/VrxSettings.h"

namespace VrxRunOnce {

// The settings library, its root and the enumerator of the root's children (the users). Members
// go in reverse order: the enumerator and the root before the library that implements them.
struct SettingsUsers {
    Tessel::UniqueHModule library;
    UniqueSettingsNode root;
    UniqueSettingsEnumerator users;
};

// Lines of the records an action writes when it cannot open the store's users.
struct SettingsOpenLines {
    int installPath;
    int library;
    int api;
    int root;
    int users;
};

// Loads "VrxSet.dll" from the install folder once `validator` accepts it and takes the root's
// users. When a step fails, logs it as an error of `action` at its line and returns false.
bool OpenSettingsUsers(const wchar_t* action, const SettingsOpenLines& lines,
                       Tessel::CFileValidator& validator, SettingsUsers& opened);

// Visits each child the enumerator gives, from the first, and releases it after the visit; a
// child the store does not give is skipped.
void ForEachSettingChild(SettingsEnumerator& children,
                         const std::function<void(SettingsNode* child)>& visit);

// The named value as text (wide characters), up to its first terminator; empty when the value is
// missing, unreadable, empty or of an odd number of bytes.
std::wstring ReadSettingString(SettingsNode* node, const wchar_t* name);

// The named 32-bit value, or `fallback` when it cannot be read (missing, empty, or longer than
// four bytes). A value shorter than four bytes reads as its bytes with the rest zero.
DWORD ReadSettingDword(SettingsNode* node, const wchar_t* name, DWORD fallback);

// The named child, or an empty owner.
UniqueSettingsNode OpenSettingChild(SettingsNode* node, const wchar_t* name);

// An enumerator over the node's children, or an empty owner.
UniqueSettingsEnumerator EnumSettingChildren(SettingsNode* node);

}  // namespace VrxRunOnce
