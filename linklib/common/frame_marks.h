// The marks of a frame on the serial line, shared by both families: a frame starts with '#', its
// payload ends at '$', and inside it the three marks travel escaped: '@' as "@A", '#' as "@B", '$' as
// "@C".
#pragma once

#include <cstdint>

namespace tarvix {

constexpr bool NeedsEscape(uint8_t byte) {
    return byte == '@' || byte == '#' || byte == '$';
}

// The letter that follows '@' for a mark.
constexpr uint8_t EscapeLetter(uint8_t mark) {
    return mark == '@' ? 'A' : (mark == '#' ? 'B' : 'C');
}

// The byte an escape stands for: 'A' '@', 'B' '#', 'C' '$', anything else itself.
constexpr uint8_t Unescape(uint8_t after_escape) {
    switch (after_escape) {
        case 'A':
            return '@';
        case 'B':
            return '#';
        case 'C':
            return '$';
        default:
            return after_escape;
    }
}

}  // namespace tarvix
