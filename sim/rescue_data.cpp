// What the byte-frame handheld holds for a data rescue: memory and flash pages with contents a test
// can predict byte for byte.
#include "sim/hhsim.h"

namespace hhsim {

std::uint8_t MemoryByte(std::uint32_t address) {
    return static_cast<std::uint8_t>((address * 31u) ^ (address >> 8) ^ 0x5Au);
}

std::uint8_t FlashPageByte(std::uint32_t page, std::uint32_t offset) {
    return static_cast<std::uint8_t>(page * 7u + offset * 13u + 1u);
}

}  // namespace hhsim
