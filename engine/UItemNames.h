// The names items are kept under in the account on the destination. Every
// profile path lies directly in the account under its last name (a drive root
// under its letter), every well-known folder under its fixed name, and all
// profiles share the account: two different items with one name would share one
// place, the later one's files overwriting the other's and a restore handing each
// the other's files. So one name holds one item. Names are compared as Windows
// compares them, without regard to case; the same path in several profiles is
// one item.
//
// Where a configuration of an earlier version already holds such a pair, the
// name belongs to the program's own folders first, then to the well-known
// folders, then to the path that sorts first. That order does not depend on the
// order of the profiles, which moves with their schedules, so a name never
// changes hands between two runs.
#pragma once

#include "URSyncProfile.h"

#include <string>
#include <string_view>
#include <vector>

namespace kal {

// A bare drive, "D:".
bool IsDriveLetter(std::string_view path);
// Trailing separators name the same folder, but rsync reads them as "its contents".
std::string_view WithoutTrailingSeparators(std::string_view path);
bool IsDriveRoot(std::string_view path);
// The name a profile path is kept under: its last component, or the letter of a
// drive root, whose contents must not spill into the account itself.
std::string ItemName(std::string_view path);
// The folder holding a profile path; empty for a drive root or a bare name.
std::string ItemParent(std::string_view path);

// Folders the program keeps in the account for itself; no item may take their names.
const std::vector<std::string>& ReservedItemNames();

// Why `path` or `source` cannot join `profile`, or "" when it can: another item
// of any profile of its configuration, or the program itself, is kept under its name.
std::string NameConflict(const TRSyncProfile& profile, std::string_view path);
std::string NameConflict(const TRSyncProfile& profile, TCommonSource source);

// The items of a profile whose name belongs to another item: runs leave them out
// and say why, one line each.
struct TNameRefusals {
    std::vector<bool> Paths; // by index of the profile's paths
    TCommonSourceSet Sources;
    std::vector<std::string> Lines;
};
TNameRefusals RefusedItems(const TRSyncProfile& profile);

} // namespace kal
