// How the terminal turns a received text into lines. Portable text handling, kept
// apart from the window so it can be used and measured without one.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kal {

// The lines of one received text: an LF ends a line (an LF CR pair counts as
// one break), a CR anywhere else stays in the text, and a last line without a
// break is kept. Views into `text`.
std::vector<std::string_view> SplitConsoleLines(std::string_view text);

// Adds the lines of `text` to `lines`, each ended by CR LF as a multi-line
// edit holds them. A null text adds nothing.
void AppendLines(const char* text, std::string& lines);

} // namespace kal
