#include "UVersions.h"

#include "UFiles.h"
#include "UStreams.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <functional>
#include <map>

namespace kal {

namespace {

// A stamp's shape: '9' stands for any digit, other characters for themselves.
constexpr std::string_view StampShape = "9999-99-99_999999";

bool IsStampShaped(std::string_view name) {
    if (name.size() != StampShape.size())
        return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const bool digit = name[i] >= '0' && name[i] <= '9';
        if (StampShape[i] == '9' ? !digit : name[i] != StampShape[i])
            return false;
    }
    return true;
}

// Lines of `text` without their ends and surrounding blanks; blank lines dropped.
std::vector<std::string> NonBlankLines(std::string_view text) {
    std::vector<std::string> lines;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.remove_suffix(1);
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t'))
            line.remove_prefix(1);
        if (!line.empty())
            lines.emplace_back(line);
    }
    return lines;
}

// rsync lists a byte it deems unprintable as a backslash, "#" and three octal digits.
std::string UnescapedListingName(std::string_view text) {
    std::string name;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const std::string_view rest = text.substr(i);
        if (rest.size() >= 5 && rest.starts_with("\\#") &&
            std::all_of(rest.begin() + 2, rest.begin() + 5,
                        [](char c) { return c >= '0' && c <= '7'; })) {
            name += static_cast<char>((rest[2] - '0') * 64 + (rest[3] - '0') * 8 + (rest[4] - '0'));
            i += 4;
        } else {
            name += text[i];
        }
    }
    return name;
}

} // namespace

std::string VersionStamp(TDateTime when) {
    const TDateTimeParts p = DecodeDateTime(when);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d_%02d%02d%02d", p.Year, p.Month, p.Day, p.Hour,
                  p.Minute, p.Second);
    return text;
}

bool ParseVersionStamp(std::string_view name, TDateTime& when) {
    if (!IsStampShaped(name))
        return false;
    const auto number = [&](std::size_t at, std::size_t length) {
        int value = 0;
        for (char c : name.substr(at, length))
            value = value * 10 + (c - '0');
        return value;
    };
    try {
        when = EncodeDateTime(number(0, 4), number(5, 2), number(8, 2), number(11, 2),
                              number(13, 2), number(15, 2));
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

std::vector<std::string> StampPatternsBefore(std::string_view cutoff) {
    // A stamp is older when it agrees with the cutoff up to some digit and has a
    // smaller one there: one pattern per digit of the cutoff above 0.
    std::vector<std::string> patterns;
    if (!IsStampShaped(cutoff))
        return patterns;
    for (std::size_t i = 0; i < cutoff.size(); ++i) {
        if (StampShape[i] != '9' || cutoff[i] == '0')
            continue;
        std::string pattern(1, '/');
        pattern.append(cutoff.substr(0, i));
        if (cutoff[i] == '1') {
            pattern += '0';
        } else {
            pattern += "[0-";
            pattern += static_cast<char>(cutoff[i] - 1);
            pattern += ']';
        }
        for (char c : StampShape.substr(i + 1)) {
            if (c == '9')
                pattern += "[0-9]";
            else
                pattern += c;
        }
        patterns.push_back(pattern);
    }
    return patterns;
}

std::vector<TVersion> VersionsInListing(std::string_view listing) {
    std::map<std::string, TVersion, std::greater<>> runs;
    for (const std::string& line : NonBlankLines(listing)) {
        // "drwxr-xr-x   4,096 2026/12/08 23:34:32 <path>": the path follows four fields
        // and may hold blanks of its own.
        std::size_t at = 0;
        for (int field = 0; field < 4 && at != std::string::npos; ++field) {
            at = line.find_first_not_of(' ', at);
            at = at == std::string::npos ? at : line.find(' ', at);
        }
        if (at == std::string::npos || at + 1 >= line.size())
            continue;
        const std::string path = UnescapedListingName(std::string_view(line).substr(at + 1));
        const std::size_t slash = path.find('/');
        const std::string stamp = path.substr(0, slash);
        if (!IsStampShaped(stamp))
            continue;
        TVersion& run = runs[stamp];
        run.Stamp = stamp;
        if (slash != std::string::npos && slash + 1 < path.size())
            run.Names.push_back(path.substr(slash + 1));
    }
    std::vector<TVersion> versions;
    for (auto& [stamp, run] : runs)
        versions.push_back(std::move(run));
    return versions;
}

std::string SuggestedSkipList() {
    // Locked while Windows runs, rebuilt by it, or the leftovers of programs.
    return "NTUSER.DAT*\r\nntuser.dat*\r\nUsrClass.dat*\r\npagefile.sys\r\nhiberfil.sys\r\n"
           "swapfile.sys\r\nThumbs.db\r\ndesktop.ini\r\n~$*\r\n*.tmp\r\n$RECYCLE.BIN/\r\n"
           "System Volume Information/\r\n/AppData/Local/Temp/\r\n";
}

std::string LoadSkipList(const std::string& fileName) {
    if (!FileExists(fileName))
        return {};
    TFileStream file(fileName, TFileMode::fmOpenRead);
    std::string bytes;
    char buffer[4096];
    while (const std::size_t got = file.Read(buffer, sizeof buffer))
        bytes.append(buffer, got);
    std::string text;
    for (const std::string& line : NonBlankLines(bytes))
        text += line + "\r\n";
    return text;
}

void SaveSkipList(const std::string& fileName, std::string_view text) {
    const std::vector<std::string> lines = NonBlankLines(text);
    if (lines.empty()) {
        DeleteFileIfExists(fileName);
        return;
    }
    // Written aside and moved over, so a full disk never leaves half a list.
    const std::string temporary = fileName + ".new";
    {
        TFileStream file(temporary, TFileMode::fmCreate);
        for (const std::string& line : lines) {
            file.WriteBuffer(line.data(), line.size());
            file.WriteBuffer("\n", 1);
        }
        file.Close();
    }
    ReplaceFileAtomic(temporary, fileName);
}

bool SkipListInUse(const std::string& fileName) {
    return !fileName.empty() && !LoadSkipList(fileName).empty();
}

} // namespace kal
