// The SHA-256 digests and the names of the files inside a cabinet, worked out in memory with the
// platform's cabinet interface: nothing is written to disk.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "support/FileSignature.h"

namespace Tessel {

// One digest per file of the cabinet, in cabinet order. False when the file is not a cabinet,
// is damaged (a member lies in no folder of the cabinet, fails to decompress or its checksum does
// not match), spans several cabinets, or its path cannot be given to the cabinet interface (the
// ANSI code page).
bool DigestCabinetMembers(const wchar_t* path, std::vector<Sha256Digest>& digests);

// The name of every file of the cabinet, as stored (a relative path, unless the cabinet is
// hostile), in cabinet order; no member is decompressed. False on the same conditions as above,
// a damaged member's data aside.
bool ListCabinetMembers(const wchar_t* path, std::vector<std::wstring>& names);

}  // namespace Tessel
