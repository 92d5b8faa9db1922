// The work of AdjustFiltLevel, with the validator that admits the settings library passed in.
#pragma once

#include "support/FileValidator.h"

namespace VrxRunOnce {

// Loads the settings library "VrxSet.dll" from the install folder, once `validator` accepts it,
// and stores filtering level 4 for every user at level 5 who has no friends.
void LowerFilteringLevelOfFriendlessUsers(Tessel::CFileValidator& validator);

}  // namespace VrxRunOnce
