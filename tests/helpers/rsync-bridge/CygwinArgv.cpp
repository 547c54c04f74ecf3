#include "CygwinArgv.h"

#include <algorithm>
#include <cctype>

namespace kal::rsynctools {

namespace {

bool IsSeparator(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// One character of a word. Quoted characters, and those a backslash escapes in a
// pattern, are never special.
struct TChar {
    char C;
    bool Literal;
};
using TWord = std::vector<TChar>;

bool Special(const TChar& c, char what) {
    return !c.Literal && c.C == what;
}

std::string Text(const TWord& word, std::size_t from = 0, std::size_t to = std::string::npos) {
    std::string text;
    for (std::size_t i = from; i < std::min(to, word.size()); ++i)
        text += word[i].C;
    return text;
}

// The next word of `rest`, its quoted characters marked; false when only
// separators are left.
bool NextWord(std::string_view& rest, TWord& word) {
    word.clear();
    std::size_t i = 0;
    while (i < rest.size() && IsSeparator(rest[i]))
        ++i;
    if (i == rest.size()) {
        rest = {};
        return false;
    }
    char quote = 0; // the open quote; 0 outside quotes
    std::size_t backslashes = 0;
    const auto put = [&](char c, std::size_t count = 1) {
        for (; count > 0; --count)
            word.push_back({c, quote != 0});
    };
    for (; i < rest.size() && (quote || !IsSeparator(rest[i])); ++i) {
        const char c = rest[i];
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        const bool isQuote = quote ? c == quote : c == '"' || c == '\'';
        if (!isQuote) {
            put('\\', backslashes);
            put(c);
        } else {
            put('\\', backslashes / 2);
            if (backslashes % 2 == 1)
                put(c);
            else if (quote && i + 1 < rest.size() && rest[i + 1] == quote)
                put(rest[++i]);
            else
                quote = quote ? 0 : c;
        }
        backslashes = 0;
    }
    put('\\', backslashes);
    rest.remove_prefix(i);
    return true;
}

// "D:..." or "\\server\...": unquoted backslashes there are separators, not escapes.
bool IsDosPath(const std::string& text) {
    if (text.size() >= 2 && text[1] == ':' && std::isalpha(static_cast<unsigned char>(text[0])))
        return true;
    return text.size() > 3 && text[0] == '\\' && text[1] == '\\' &&
           std::isalpha(static_cast<unsigned char>(text[2])) &&
           text.find('\\', 3) != std::string::npos;
}

// The word as a pattern: an unquoted backslash escapes the next character.
TWord Pattern(const TWord& word) {
    const bool dos = IsDosPath(Text(word));
    TWord pattern;
    for (std::size_t i = 0; i < word.size(); ++i) {
        if (Special(word[i], '\\') && !dos && i + 1 < word.size())
            pattern.push_back({word[++i].C, true});
        else if (Special(word[i], '\\'))
            pattern.push_back({'\\', true});
        else
            pattern.push_back(word[i]);
    }
    return pattern;
}

// Where the set opened at `open` closes, or npos when it does not (then "[" is plain).
std::size_t SetEnd(const TWord& p, std::size_t open) {
    std::size_t i = open + 1;
    if (i < p.size() && Special(p[i], '!'))
        ++i;
    if (i < p.size() && Special(p[i], ']'))
        ++i;
    for (; i < p.size(); ++i)
        if (Special(p[i], ']'))
            return i;
    return std::string::npos;
}

bool IsMagic(const TWord& p, std::size_t i) {
    return Special(p[i], '*') || Special(p[i], '?') ||
           (Special(p[i], '[') && SetEnd(p, i) != std::string::npos);
}

// Length in bytes of the UTF-8 character starting with `lead`.
std::size_t CharLength(unsigned char lead) {
    return lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
}

char32_t Decode(std::string_view text, std::size_t at, std::size_t& length) {
    const auto lead = static_cast<unsigned char>(text[at]);
    length = std::min(CharLength(lead), text.size() - at);
    if (length == 1)
        return lead;
    char32_t c = lead & (0x3F >> (length - 1));
    for (std::size_t k = 1; k < length; ++k)
        c = (c << 6) | (static_cast<unsigned char>(text[at + k]) & 0x3F);
    return c;
}

char32_t DecodePattern(const TWord& p, std::size_t at, std::size_t& length) {
    std::string bytes;
    for (std::size_t k = at; k < p.size() && k < at + 4; ++k)
        bytes += p[k].C;
    return Decode(bytes, 0, length);
}

bool Match(const TWord& p, std::size_t pi, std::string_view s, std::size_t si) {
    while (pi < p.size()) {
        if (Special(p[pi], '*')) {
            for (std::size_t k = si;; k += CharLength(static_cast<unsigned char>(s[k]))) {
                if (Match(p, pi + 1, s, k))
                    return true;
                if (k >= s.size())
                    return false;
            }
        }
        if (si >= s.size())
            return false;
        std::size_t length = 0;
        const char32_t c = Decode(s, si, length);
        if (Special(p[pi], '?')) {
            ++pi;
        } else if (const std::size_t end = Special(p[pi], '[') ? SetEnd(p, pi) : std::string::npos;
                   end != std::string::npos) {
            std::size_t k = pi + 1;
            const bool negated = Special(p[k], '!');
            k += negated ? 1 : 0;
            bool found = false;
            for (bool first = true; k < end; first = false) {
                if (!first && Special(p[k], ']'))
                    break;
                std::size_t n = 0;
                const char32_t low = DecodePattern(p, k, n);
                k += n;
                char32_t high = low;
                if (k + 1 < end && Special(p[k], '-')) {
                    high = DecodePattern(p, k + 1, n);
                    k += 1 + n;
                }
                found = found || (low <= c && c <= high);
            }
            if (found == negated)
                return false;
            pi = end + 1;
        } else {
            std::size_t n = 0;
            if (DecodePattern(p, pi, n) != c)
                return false;
            pi += n;
        }
        si += length;
    }
    return si == s.size();
}

bool MatchName(const TWord& component, const std::string& name) {
    // A leading dot is matched only by a dot.
    if (!name.empty() && name[0] == '.' && (component.empty() || component[0].C != '.'))
        return false;
    return Match(component, 0, name, 0);
}

// Matches `p` from `at` (the start of a component) below the folder `base`.
void Walk(const TWord& p, std::size_t at, const std::string& base, ICygwinFiles& files,
          std::vector<std::string>& matches) {
    std::string path = base;
    while (at < p.size() && p[at].C == '/')
        path += p[at++].C;
    if (at == p.size()) {
        if (files.Exists(path))
            matches.push_back(path);
        return;
    }
    std::size_t end = at;
    while (end < p.size() && p[end].C != '/')
        ++end;
    bool magic = false;
    for (std::size_t i = at; i < end; ++i)
        magic = magic || IsMagic(p, i);
    if (!magic) {
        Walk(p, end, path + Text(p, at, end), files, matches);
        return;
    }
    auto names = files.List(path);
    if (!names)
        return;
    std::sort(names->begin(), names->end());
    const TWord component(p.begin() + static_cast<std::ptrdiff_t>(at),
                          p.begin() + static_cast<std::ptrdiff_t>(end));
    for (const std::string& name : *names)
        if (MatchName(component, name))
            Walk(p, end, path + name, files, matches);
}

// Where the brace opened at `open` closes, counting nested braces; npos if never.
std::size_t BraceEnd(const TWord& p, std::size_t open) {
    int depth = 0;
    for (std::size_t i = open; i < p.size(); ++i) {
        if (Special(p[i], '[')) {
            const std::size_t end = SetEnd(p, i);
            if (end != std::string::npos)
                i = end;
        } else if (Special(p[i], '{')) {
            ++depth;
        } else if (Special(p[i], '}') && --depth == 0) {
            return i;
        }
    }
    return std::string::npos;
}

void ExpandBraces(const TWord& p, std::vector<TWord>& out) {
    // "{}" alone is a name, not an empty list.
    if (p.size() == 2 && Special(p[0], '{') && Special(p[1], '}')) {
        out.push_back(p);
        return;
    }
    std::size_t open = 0;
    while (open < p.size() && !(Special(p[open], '{') && BraceEnd(p, open) != std::string::npos))
        ++open;
    if (open == p.size()) {
        out.push_back(p);
        return;
    }
    const std::size_t close = BraceEnd(p, open);
    std::size_t from = open + 1;
    int depth = 0;
    for (std::size_t i = open + 1; i <= close; ++i) {
        if (Special(p[i], '[')) {
            const std::size_t end = SetEnd(p, i);
            if (end != std::string::npos && end < close)
                i = end;
            continue;
        }
        if (Special(p[i], '{'))
            ++depth;
        else if (Special(p[i], '}') && depth > 0 && i != close)
            --depth;
        else if (i == close || (Special(p[i], ',') && depth == 0)) {
            TWord alternative(p.begin(), p.begin() + static_cast<std::ptrdiff_t>(open));
            alternative.insert(alternative.end(), p.begin() + static_cast<std::ptrdiff_t>(from),
                               p.begin() + static_cast<std::ptrdiff_t>(i));
            alternative.insert(alternative.end(),
                               p.begin() + static_cast<std::ptrdiff_t>(close + 1), p.end());
            ExpandBraces(alternative, out);
            from = i + 1;
        }
    }
}

// A leading "~" or "~/..." is the home folder; "~name" is left alone.
TWord ExpandTilde(const TWord& p, ICygwinFiles& files) {
    if (p.empty() || !Special(p[0], '~') || (p.size() > 1 && p[1].C != '/'))
        return p;
    TWord expanded;
    for (char c : files.Home())
        expanded.push_back({c, true});
    expanded.insert(expanded.end(), p.begin() + 1, p.end());
    return expanded;
}

// The words a pattern stands for; empty when nothing matches.
std::vector<std::string> Glob(const TWord& word, ICygwinFiles& files) {
    // The runtime's own test, on the characters whether quoted or not; a word with
    // nothing left to expand is then only looked up as it stands.
    const std::string text = Text(word);
    if (!text.starts_with('~') && text.find_first_of("?*[]{}()\"'") == std::string::npos)
        return {};
    const TWord pattern = Pattern(word);
    std::vector<TWord> expanded;
    ExpandBraces(pattern, expanded);
    std::vector<std::string> matches;
    for (const TWord& each : expanded)
        Walk(ExpandTilde(each, files), 0, "", files, matches);
    return matches;
}

} // namespace

std::vector<std::string> SplitCygwinCommandLine(std::string_view commandLine, ICygwinFiles& files,
                                                bool glob) {
    std::vector<std::string> args;
    // Response files are read into the command line ahead of what is left of it.
    std::string text(commandLine);
    std::string_view rest = text;
    int depth = 0;
    TWord word;
    while (NextWord(rest, word)) {
        if (!args.empty() && !word.empty() && Special(word[0], '@') &&
            depth < CygwinResponseFileDepth) {
            if (const auto contents = files.Read(Text(word, 1))) {
                ++depth;
                text = *contents + " " + std::string(rest);
                rest = text;
                continue;
            }
        }
        std::vector<std::string> matches;
        if (glob && !args.empty())
            matches = Glob(word, files);
        if (matches.empty())
            args.push_back(Text(word));
        else
            args.insert(args.end(), matches.begin(), matches.end());
    }
    return args;
}

} // namespace kal::rsynctools
