#include "UConsoleLines.h"

namespace kal {

std::vector<std::string_view> SplitConsoleLines(std::string_view text) {
    std::vector<std::string_view> lines;
    size_t start = 0, pos = 0;
    while (pos < text.size()) {
        if (text[pos] == '\n') {
            lines.push_back(text.substr(start, pos - start));
            ++pos;
            if (pos < text.size() && text[pos] == '\r')
                ++pos;
            start = pos;
        } else {
            ++pos;
        }
    }
    if (start < text.size())
        lines.push_back(text.substr(start));
    return lines;
}

void AppendLines(const char* text, std::string& lines) {
    if (!text)
        return;
    for (std::string_view line : SplitConsoleLines(text)) {
        lines.append(line);
        lines.append("\r\n");
    }
}

} // namespace kal
