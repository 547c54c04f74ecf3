// Translation of the drive-letter paths a Windows rsync build accepts into host
// paths, shared by the Linux stand-in (kal-rsync) and the Wine bridge (RSync.exe).
//
// An argument is translated when it is, or when the value after "--option=" is:
//   /cygdrive/<L>/rest   ->  <host folder of L>/rest   (rest kept byte for byte)
//   /cygdrive/<L>        ->  <host folder of L>
//   <L>:/rest, <L>:\rest ->  <host folder of L>/rest   (backslashes become slashes)
// The letter is taken without regard to case. Everything else passes unchanged,
// so daemon addresses ("host::Module/") and plain options reach rsync as given.
#pragma once

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace kal::rsynctools {

// Host folder for an upper-case drive letter, or nothing when the drive is unknown.
using DriveLookup = std::function<std::optional<std::string>(char letter)>;

class EDriveNotMapped : public std::runtime_error {
public:
    explicit EDriveNotMapped(char letter);
    char Letter() const { return FLetter; }

private:
    char FLetter;
};

// Throws EDriveNotMapped when an argument names a drive the lookup does not know.
std::string MapArgument(const std::string& arg, const DriveLookup& lookup);
std::vector<std::string> MapArguments(const std::vector<std::string>& args,
                                      const DriveLookup& lookup);

// The stand-in's lookup: $KAL_DRIVE_<L>, else $KAL_DRIVES_ROOT/<L>, else unknown.
std::optional<std::string> EnvironmentDrive(char letter);

} // namespace kal::rsynctools
