// The bytes that testchild's flood commands write: lines of a 7-digit hex counter,
// so a reader can tell a lost, doubled or reordered chunk from the text alone.
// And the lines of its rsync-lines command, which look like rsync -v's file list.
#pragma once

#include <cstddef>
#include <string>

namespace kal::testchild {

inline char PatternByte(std::size_t index) {
    const std::size_t line = index / 8, column = index % 8;
    if (column == 7)
        return '\n';
    const unsigned digit = (line >> (4 * (6 - column))) & 0xF;
    return "0123456789abcdef"[digit];
}

// Line `index` of the rsync-lines command, with its line feed: about 60 bytes.
inline std::string RsyncLikeLine(std::size_t index) {
    std::string line = "Users/Ann/Documents/Projects/p";
    line += std::to_string(index / 1000);
    line += "/report-";
    line += std::to_string(index);
    line += index % 7 == 0 ? ".xlsx\n" : ".txt\n";
    return line;
}

} // namespace kal::testchild
