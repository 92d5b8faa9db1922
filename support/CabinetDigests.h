// The SHA-256 digests of the files inside a cabinet, worked out in memory with the platform's
// cabinet interface: nothing is written to disk.
#pragma once

#include <windows.h>

#include <vector>

#include "support/FileSignature.h"

namespace Tessel {

// One digest per file of the cabinet, in cabinet order. False when the file is not a cabinet,
// is damaged (a member fails to decompress or its checksum does not match), spans several
// cabinets, or its path cannot be given to the cabinet interface (the ANSI code page).
bool DigestCabinetMembers(const wchar_t* path, std::vector<Sha256Digest>& digests);

}  // namespace Tessel
