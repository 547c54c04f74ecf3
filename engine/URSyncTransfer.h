// The rsync items of each operation: the sources and the destination of one rsync
// call each, as they follow the options on the command line. Backup, Restore,
// RemoveBackup and EmergancyRecovery run exactly these.
//
// Where a trailing slash decides what rsync copies, the items ask for contents:
// a well-known folder is sent as "<folder>/" into "<account>/<name>/", where its
// restore fetches it from, and the removal mirrors the contents of the empty
// "<program folder>\Temp" onto the account with --delete. A path that names an
// existing file is restored into its folder, since rsync refuses a file given as
// a folder.
//
// Runs started while the schedule fires a batch take an auto-close delay of -1,
// except the batch's last, so one terminal stays open between them; the stored
// OutputAutoCloseDelay is never changed for it.
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
