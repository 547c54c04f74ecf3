// The rsync items of each operation: the sources and the destination of one rsync
// call each, as they follow the options on the command line. Backup, Restore,
// RemoveBackup and EmergancyRecovery run exactly these.
//
// Where a trailing slash decides what rsync copies, the items ask for contents:
// a well-known folder is sent as "<folder>/" into "<account>/<name>/", where its
// restore fetches it from, and the removal mirrors the contents of the empty
// "<program folder>\Temp" onto the account with --delete. A drive root (D:\) is
// kept in a folder named after its letter ("<account>/D/"), one item of its own.
// Restore uses the folder form ("<account>//<name>/" into "<path>/") only for a
// path that exists here as a folder; a file, or a path that is gone, is fetched as
// "<account>//<name>" into its parent folder, so deleted files and folders come back.
// A name beginning with "-" is "<account>/./<name>", so no daemon reads it as an
// option; local paths always begin with "/cygdrive/" or "//".
//
// Runs started while the schedule fires a batch take an auto-close delay of -1,
// except the batch's last, so one terminal stays open between them; the stored
// OutputAutoCloseDelay is never changed for it.
#pragma once

#include "URSync.h"
#include "UDateTime.h"

#include <string>
#include <string_view>
#include <vector>

namespace kal {

// The arguments a Cygwin-built rsync receives: its runtime splits the command line
// by its own rules, where single quotes quote too, unquoted * ? [ ] { } and a
// leading ~ are matched against the disk and a leading @ names a file of arguments.
// Plain: none of that (nor a blank, a control character or a quote) can apply.
bool IsPlainArgument(std::string_view text);
// Always in double quotes; a quote inside and backslashes before a quote or the
// closing quote are escaped, so the text arrives unchanged under those rules and
// under the Microsoft runtime's.
std::string QuotedArgument(std::string_view text);
// Bare when plain, so plain paths read as typed; quoted otherwise.
std::string RSyncArgument(std::string_view text);

// Empty when the profile has nothing to back up (no paths, no well-known folders).
// Items whose name belongs to another item are left out, with a line each in
// `refusals` (UItemNames.h).
// With a `versionStamp`, each item keeps what it replaces under that stamp
// (UVersions.h); a skip list in use excludes its patterns from every item.
std::vector<std::string> BackupItems(const TRSyncProfile& profile,
                                     std::vector<std::string>* refusals = nullptr,
                                     const std::string& versionStamp = {});
// `places`: the local folders items are fetched into that may be missing. With a
// `version`, the items are fetched from that run's versions, and those it kept
// nothing of are left out.
std::vector<std::string> RestoreItems(const TRSyncProfile& profile,
                                      std::vector<std::string>* refusals = nullptr,
                                      std::vector<std::string>* places = nullptr,
                                      const TVersion* version = nullptr);
// Creates the empty folder it mirrors when it is missing.
std::string RemoveBackupItem(const TRSync& sync);
// Removes the stamp folders of versions older than KeepVersionDays before `now`.
std::string VersionRetentionItem(const TRSync& sync, TDateTime now);
std::string EmergancyRecoveryItem(const TRSync& sync, const std::string& folder);

} // namespace kal
