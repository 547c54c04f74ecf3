// The rsync items of each operation: the sources and the destination of one rsync
// call each, as they follow the options on the command line. Backup, Restore,
// RemoveBackup and EmergancyRecovery run exactly these.
#pragma once

#include "URSync.h"

#include <string>
#include <vector>

namespace kal {

// Empty when the profile has nothing to back up (no paths, no well-known folders).
std::vector<std::string> BackupItems(const TRSyncProfile& profile);
std::vector<std::string> RestoreItems(const TRSyncProfile& profile);
// Creates the empty folder it mirrors when it is missing.
std::string RemoveBackupItem(const TRSync& sync);
std::string EmergancyRecoveryItem(const TRSync& sync, const std::string& folder);

} // namespace kal
