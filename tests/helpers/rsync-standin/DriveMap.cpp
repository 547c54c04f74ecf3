#include "DriveMap.h"

#include <cctype>
#include <cstdlib>
#include <string_view>

namespace kal::rsynctools {

EDriveNotMapped::EDriveNotMapped(char letter)
    : std::runtime_error(std::string("no host folder for drive ") + letter + ":"), FLetter(letter) {
}

namespace {

constexpr std::string_view CygPrefix = "/cygdrive/";

bool IsDriveLetter(char c) {
    return std::isalpha(static_cast<unsigned char>(c)) != 0;
}

char Upper(char c) {
    return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}

// A host root of "/" must not turn "/cygdrive/Z/etc" into "//etc": POSIX leaves a
// leading double slash implementation-defined.
std::string JoinHost(std::string host, std::string_view rest) {
    while (host.size() > 1 && host.back() == '/')
        host.pop_back();
    if (rest.empty())
        return host;
    if (host == "/")
        return std::string(rest);
    return host + std::string(rest);
}

std::string HostOf(char letter, const DriveLookup& lookup) {
    const char drive = Upper(letter);
    std::optional<std::string> host = lookup(drive);
    if (!host || host->empty())
        throw EDriveNotMapped(drive);
    return *host;
}

std::optional<std::string> MapPath(std::string_view text, const DriveLookup& lookup) {
    if (text.substr(0, CygPrefix.size()) == CygPrefix && text.size() > CygPrefix.size() &&
        IsDriveLetter(text[CygPrefix.size()])) {
        const std::string_view rest = text.substr(CygPrefix.size() + 1);
        if (!rest.empty() && rest.front() != '/')
            return std::nullopt; // "/cygdrive/data/..." is no drive
        return JoinHost(HostOf(text[CygPrefix.size()], lookup), rest);
    }
    if (text.size() >= 3 && IsDriveLetter(text[0]) && text[1] == ':' &&
        (text[2] == '/' || text[2] == '\\')) {
        std::string rest(text.substr(2));
        for (char& c : rest)
            if (c == '\\')
                c = '/';
        return JoinHost(HostOf(text[0], lookup), rest);
    }
    return std::nullopt;
}

} // namespace

std::string MapArgument(const std::string& arg, const DriveLookup& lookup) {
    if (std::optional<std::string> mapped = MapPath(arg, lookup))
        return *mapped;
    if (arg.rfind("--", 0) == 0) {
        const std::size_t eq = arg.find('=');
        if (eq != std::string::npos) {
            if (std::optional<std::string> value =
                    MapPath(std::string_view(arg).substr(eq + 1), lookup))
                return arg.substr(0, eq + 1) + *value;
        }
    }
    return arg;
}

std::vector<std::string> MapArguments(const std::vector<std::string>& args,
                                      const DriveLookup& lookup) {
    std::vector<std::string> mapped;
    mapped.reserve(args.size());
    for (const std::string& arg : args)
        mapped.push_back(MapArgument(arg, lookup));
    return mapped;
}

std::optional<std::string> EnvironmentDrive(char letter) {
    const std::string name = std::string("KAL_DRIVE_") + Upper(letter);
    if (const char* folder = std::getenv(name.c_str()); folder && *folder)
        return std::string(folder);
    if (const char* root = std::getenv("KAL_DRIVES_ROOT"); root && *root)
        return JoinHost(root, std::string("/") + Upper(letter));
    return std::nullopt;
}

} // namespace kal::rsynctools
