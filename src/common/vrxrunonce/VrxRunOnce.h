// The run-once actions, each exported in the form rundll32 calls. No action reads its arguments.
#pragma once

#include <windows.h>

#define VRX_ACTION(Name) extern "C" int CALLBACK Name(HWND, HINSTANCE, LPSTR, int)

VRX_ACTION(AdjustFiltLevel);
VRX_ACTION(CheckOutlook);
VRX_ACTION(ConvertUFilters);
VRX_ACTION(DeleteVRXTask);
VRX_ACTION(ExtractAutoFillData);
VRX_ACTION(ExtractContent);
VRX_ACTION(MoveApfFile);
VRX_ACTION(RemoveServiceDependency);
VRX_ACTION(SetInstallDate);
VRX_ACTION(SignalContentUpdate);

#undef VRX_ACTION
