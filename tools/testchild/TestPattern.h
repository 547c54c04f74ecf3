// The bytes that testchild's flood commands write: lines of a 7-digit hex counter,
// so a reader can tell a lost, doubled or reordered chunk from the text alone.
#pragma once

#include <cstddef>

namespace kal::testchild {

inline char PatternByte(std::size_t index) {
    const std::size_t line = index / 8, column = index % 8;
    if (column == 7)
        return '\n';
    const unsigned digit = (line >> (4 * (6 - column))) & 0xF;
    return "0123456789abcdef"[digit];
}

} // namespace kal::testchild
