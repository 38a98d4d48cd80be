// CRC-16/XMODEM (polynomial 0x1021, start 0, no reflection): the check of both families' frames.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace tarvix {

namespace crc16_detail {
constexpr std::array<uint16_t, 256> MakeTable() {
    std::array<uint16_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint16_t crc = static_cast<uint16_t>(i << 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000) != 0 ? static_cast<uint16_t>((crc << 1) ^ 0x1021)
                                      : static_cast<uint16_t>(crc << 1);
        }
        table[i] = crc;
    }
    return table;
}
inline constexpr std::array<uint16_t, 256> kTable = MakeTable();
static_assert(kTable[1] == 0x1021 && kTable[255] == 0x1EF0);
}  // namespace crc16_detail

// The check after one more byte.
constexpr uint16_t Crc16Step(uint16_t crc, uint8_t byte) {
    return static_cast<uint16_t>((crc << 8) ^ crc16_detail::kTable[((crc >> 8) ^ byte) & 0xFF]);
}

constexpr uint16_t Crc16(const uint8_t* data, size_t size, uint16_t crc = 0) {
    for (size_t i = 0; i < size; ++i) crc = Crc16Step(crc, data[i]);
    return crc;
}

}  // namespace tarvix
