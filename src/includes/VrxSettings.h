// The interface of the product's settings store, as the settings library "VrxSet.dll" hands it
// out through its export GETSETTINGS. The store is a tree of nodes with named values and named
// children; the root's children are the product's users. Names are wide strings, and every value
// is copied out of the store. The slot order of both interfaces is fixed by the library that
// implements them: never reorder, insert or remove a virtual function here.
#pragma once

#include <windows.h>

#include "support/UniqueAny.h"

class SettingsEnumerator;

class SettingsNode {
public:
    // Slot 0: the named child in `child` (null when there is none). Callers go by the pointer.
    virtual DWORD OpenChild(const wchar_t* name, SettingsNode** child) = 0;
    // Slot 1: part of the store's interface; never called by this library.
    virtual DWORD ReservedSlot1() = 0;
    // Slot 2: an enumerator over the node's children; 0 on success.
    virtual DWORD EnumChildren(SettingsEnumerator** enumerator) = 0;
    // Slot 3: copies the named value into `buffer`. `bytes` holds the buffer's size in bytes and
    // receives the value's. ERROR_MORE_DATA (234) for a null or too small buffer, with the size
    // needed; 0 on success.
    virtual DWORD GetValue(const wchar_t* name, void* buffer, DWORD* bytes) = 0;
    // Slot 4: stores `bytes` bytes of `data` under `name`; 0 on success. `flags` is 0.
    virtual DWORD SetValue(const wchar_t* name, const void* data, DWORD bytes, DWORD flags) = 0;
    // Slot 5: what callers use instead of SetValue for an empty text. `flags` is 0.
    virtual DWORD ClearValue(const wchar_t* name, DWORD flags) = 0;
    // Slot 6: gives the node back; the caller must not use it afterwards.
    virtual ULONG Release() = 0;

protected:
    ~SettingsNode() = default;
};

// Walks the children of one node.
class SettingsEnumerator {
public:
    // Slot 0: back to the first child.
    virtual DWORD Reset() = 0;
    // Slot 1: the current child, which the caller releases; 0 on success.
    virtual DWORD Current(SettingsNode** child) = 0;
    // Slot 2: on to the next child.
    virtual DWORD Next() = 0;
    // Slot 3: 0 while there is a current child.
    virtual DWORD AtEnd() = 0;
    // Slot 4: gives the enumerator back.
    virtual ULONG Release() = 0;

protected:
    ~SettingsEnumerator() = default;
};

// The settings library's export GETSETTINGS: the store's root node in `root`; 0 with a root on
// success.
using GetSettingsFn = DWORD(WINAPI*)(SettingsNode** root);
constexpr const char* kGetSettingsExport = "GETSETTINGS";

// Owners that give a node or an enumerator back through its Release slot.
using UniqueSettingsNode = Tessel::UniqueComPtr<SettingsNode>;
using UniqueSettingsEnumerator = Tessel::UniqueComPtr<SettingsEnumerator>;
