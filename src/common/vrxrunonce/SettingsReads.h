// Reads on the settings store's nodes, shared by the actions that walk the product's users. Each
// accepts a null node and then gives its empty result.
#pragma once

#include <windows.h>

#include <string>

#include "../../includes/VrxSettings.h"

namespace VrxRunOnce {

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
