// Earlier versions on the destination and the skip list.
//
// With versions kept, a backup run moves whatever it would overwrite or delete
// into "<account>/.versions/<stamp>/", under the path it had in the account; one
// stamp per run, the local time of its start as "YYYY-MM-DD_HHMMSS", so the names
// sort by age and a Windows folder accepts them. Retention removes whole stamp
// folders, never anything else. The skip list is a file of rsync exclude patterns
// beside Data.dat, one a line, in UTF-8.
#pragma once

#include "UDateTime.h"

#include <string>
#include <string_view>
#include <vector>

namespace kal {

// The folder of versions in an account; an item of this name is refused.
inline constexpr std::string_view VersionsFolder = ".versions";

std::string VersionStamp(TDateTime when);
// The time a stamp stands for; false when `name` is not a stamp.
bool ParseVersionStamp(std::string_view name, TDateTime& when);
// Anchored rsync patterns that together match exactly the stamps older than
// `cutoff` (itself a stamp) and nothing else.
std::vector<std::string> StampPatternsBefore(std::string_view cutoff);
// One run's versions: its stamp, and the names in the account of the items it
// kept versions of.
struct TVersion {
    std::string Stamp;
    std::vector<std::string> Names;
    bool operator==(const TVersion&) const = default;
};
// The filter that lists the stamps and the names under them, and nothing deeper.
inline constexpr const char* VersionListingRules = "--include=/*/ --include=/*/* --exclude=*";
// The runs in the output of a recursive "rsync --list-only" of the folder of
// versions under VersionListingRules, newest first.
std::vector<TVersion> VersionsInListing(std::string_view listing);

// Files of a Windows profile folder that are always locked or not worth keeping.
std::string SuggestedSkipList();
// The patterns of a skip list file, one a line with "\r\n" between them, as an
// edit control shows them; empty when there is no file.
std::string LoadSkipList(const std::string& fileName);
// Stores the non-blank lines of `text`; no lines remove the file. Raises
// EWriteError when it cannot be written.
void SaveSkipList(const std::string& fileName, std::string_view text);
// Whether the file holds a pattern: an empty list adds nothing to a command line.
bool SkipListInUse(const std::string& fileName);

} // namespace kal
