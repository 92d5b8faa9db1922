// Actions whose work is not implemented yet: they keep the entry form and report success.
#include "VrxRunOnce.h"

#define VRX_PENDING_ACTION(Name)                                \
    extern "C" int CALLBACK Name(HWND, HINSTANCE, LPSTR, int) { \
        return 0;                                               \
    }

VRX_PENDING_ACTION(ConvertUFilters)

#undef VRX_PENDING_ACTION
