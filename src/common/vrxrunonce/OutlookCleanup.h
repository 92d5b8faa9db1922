// The work of CheckOutlook, with the two system facts it depends on passed in, so that either
// profile layout and a failed profile lookup can be exercised on any machine.
#pragma once

#include <windows.h>

namespace VrxRunOnce {

struct OutlookCleanupSources {
    // Fills `path` (MAX_PATH characters) with the default user's profile folder.
    HRESULT (*defaultProfileFolder)(wchar_t* path);
    // The running Windows release, as Tessel::GetOSReleaseId reports it.
    DWORD (*releaseId)();
};

// The default user's profile folder from the shell, and the release from the support library.
OutlookCleanupSources SystemOutlookCleanupSources();

// When the product's Outlook client extension is registered, deletes Outlook's extension cache
// "extend.dat" in every folder beside the default user's profile.
void DeleteOutlookExtensionCaches(const OutlookCleanupSources& sources);

}  // namespace VrxRunOnce
