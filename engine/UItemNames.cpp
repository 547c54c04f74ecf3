#include "UItemNames.h"

#include "URSync.h"
#include "UVersions.h"

#include <cctype>
#include <map>
#include <mutex>
#include <tuple>

namespace kal {

namespace {

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

// Where the name of a profile path begins: after its last "\" or ":".
std::size_t NameStart(std::string_view path) {
    const auto pos = path.find_last_of("\\:");
    return pos == std::string_view::npos ? 0 : pos + 1;
}

// Who may keep a name when two items want it; lower ranks first.
enum TRank { rkProgram, rkCommonFolder, rkPath };

// One item's wish for a name in the account.
struct TClaim {
    TRank Rank;
    std::string Key;      // the name as Windows compares it
    std::string Identity; // equal for the same item, whichever profile holds it
    std::string Name;     // as kept
    std::string Label;    // how messages name the item
    std::string Parent;   // a path's folder, offered in its place
};

TClaim PathClaim(std::string_view path, const std::string& profile) {
    const std::string name = ItemName(path);
    std::string label(WithoutTrailingSeparators(path));
    if (!profile.empty())
        label += " (profile \"" + profile + "\")";
    // The folder as a user names it: D:\B, but D:\ for a drive.
    const std::string parent = ItemParent(path);
    const std::string_view folder = WithoutTrailingSeparators(parent);
    return {rkPath,
            FileNameKey(name),
            FileNameKey(ToRSyncPath(WithoutTrailingSeparators(path))),
            name,
            label,
            IsDriveLetter(folder) ? parent : std::string(folder)};
}

TClaim SourceClaim(const TRSyncProfile& profile, TCommonSource source) {
    std::string name = TRSyncProfile::GetCommonSourceName(source);
    name.pop_back();
    // The folder itself, so that a profile path naming it is the same item.
    std::string folder = profile.GetCommonSourcePath(source);
    folder = folder.empty() ? "\x01" + name : FileNameKey(WithoutTrailingSeparators(folder));
    return {
        rkCommonFolder, FileNameKey(name), folder, name, "the common folder \"" + name + "\"", ""};
}

// Every name the configuration and the program want, in no particular order.
std::vector<TClaim> AllClaims(const TRSyncProfile& some) {
    std::vector<TClaim> claims;
    for (const std::string& name : ReservedItemNames())
        claims.push_back({rkProgram, FileNameKey(name), "\x02" + name, name,
                          "Kalvaren's own folder \"" + name + "\"", ""});
    const TRSync* sync = some.Sync();
    if (!sync)
        return claims;
    std::lock_guard lock(sync->Mutex());
    std::map<TCommonSource, TClaim> sources;
    for (const TRSyncProfile* profile : sync->ProfileList()) {
        const std::string profileName = profile->Name();
        for (const std::string& path : profile->PathList())
            if (!path.empty())
                claims.push_back(PathClaim(path, profileName));
        const TCommonSourceSet set = profile->CommonSources();
        for (int s = csDesktop; s < CommonSourceCount; ++s) {
            const auto source = static_cast<TCommonSource>(s);
            if (set.Contains(source) && !sources.contains(source))
                sources.emplace(source, SourceClaim(some, source));
        }
    }
    for (auto& [source, claim] : sources)
        claims.push_back(std::move(claim));
    return claims;
}

bool Before(const TClaim& a, const TClaim& b) {
    return std::tie(a.Rank, a.Identity) < std::tie(b.Rank, b.Identity);
}

// The first of the other items that want `item`'s name; nullptr when none does.
const TClaim* Rival(const std::vector<TClaim>& claims, const TClaim& item) {
    const TClaim* rival = nullptr;
    for (const TClaim& claim : claims)
        if (claim.Key == item.Key && claim.Identity != item.Identity &&
            (!rival || Before(claim, *rival)))
            rival = &claim;
    return rival;
}

std::string RivalText(const std::string& lead, const TClaim& item, const TClaim& rival) {
    std::string text = lead + ": it would be kept on the server as \"" + item.Name + "\", which " +
                       rival.Label + " already uses.";
    if (!item.Parent.empty())
        text += " Add its folder " + item.Parent + " instead.";
    else if (!rival.Parent.empty())
        text += " Replace " + rival.Label + " by its folder " + rival.Parent + " first.";
    return text;
}

std::string ConflictText(const TRSyncProfile& profile, const TClaim& item) {
    const std::vector<TClaim> claims = AllClaims(profile);
    const TClaim* rival = Rival(claims, item);
    return rival ? RivalText(item.Label + " cannot be added", item, *rival) : std::string();
}

} // namespace

bool IsDriveLetter(std::string_view path) {
    return path.size() == 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0]));
}

std::string_view WithoutTrailingSeparators(std::string_view path) {
    while (path.size() > 1 && IsSeparator(path.back()))
        path.remove_suffix(1);
    return path;
}

bool IsDriveRoot(std::string_view path) {
    return IsDriveLetter(WithoutTrailingSeparators(path));
}

std::string ItemName(std::string_view path) {
    path = WithoutTrailingSeparators(path);
    if (IsDriveLetter(path))
        return std::string(1, path[0]);
    return std::string(path.substr(NameStart(path)));
}

std::string ItemParent(std::string_view path) {
    path = WithoutTrailingSeparators(path);
    if (IsDriveLetter(path))
        return {};
    return std::string(path.substr(0, NameStart(path)));
}

const std::vector<std::string>& ReservedItemNames() {
    // Where earlier states of changed and deleted files are kept.
    static const std::vector<std::string> names = {std::string(VersionsFolder)};
    return names;
}

std::string NameConflict(const TRSyncProfile& profile, std::string_view path) {
    return ConflictText(profile, PathClaim(path, ""));
}

std::string NameConflict(const TRSyncProfile& profile, TCommonSource source) {
    return ConflictText(profile, SourceClaim(profile, source));
}

TNameRefusals RefusedItems(const TRSyncProfile& profile) {
    TNameRefusals refusals;
    const std::vector<TClaim> claims = AllClaims(profile);
    const auto refuse = [&](const TClaim& item) {
        const TClaim* rival = Rival(claims, item);
        if (!rival || !Before(*rival, item))
            return false;
        refusals.Lines.push_back(RivalText(item.Label + " was left out", item, *rival));
        return true;
    };
    const std::string name = profile.Name();
    for (const std::string& path : profile.PathList())
        refusals.Paths.push_back(!path.empty() && refuse(PathClaim(path, name)));
    const TCommonSourceSet sources = profile.CommonSources();
    for (int s = csDesktop; s < CommonSourceCount; ++s) {
        const auto source = static_cast<TCommonSource>(s);
        if (sources.Contains(source) && refuse(SourceClaim(profile, source)))
            refusals.Sources.Include(source);
    }
    return refusals;
}

} // namespace kal
