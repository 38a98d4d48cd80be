// Records that cross the library's boundary: their layout is fixed byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "tarvix.h"

namespace tarvix {

static_assert(sizeof(HcFileEntry) == 22);
static_assert(offsetof(HcFileEntry, name) == 0);
static_assert(offsetof(HcFileEntry, size) == 13);
static_assert(offsetof(HcFileEntry, date) == 17);
static_assert(offsetof(HcFileEntry, time) == 19);
static_assert(offsetof(HcFileEntry, kind) == 21);

static_assert(sizeof(HcFileRecord) == 41);
static_assert(offsetof(HcFileRecord, name) == 0);
static_assert(offsetof(HcFileRecord, size) == 32);
static_assert(offsetof(HcFileRecord, date) == 36);
static_assert(offsetof(HcFileRecord, time) == 38);
static_assert(offsetof(HcFileRecord, kind) == 40);

static_assert(sizeof(HcDate) == 4);
static_assert(offsetof(HcDate, month) == 2);
static_assert(offsetof(HcDate, day) == 3);
static_assert(sizeof(HcTime) == 3);
static_assert(offsetof(HcTime, minute) == 1);
static_assert(offsetof(HcTime, second) == 2);

static_assert(sizeof(TransferStatus) == 548);
static_assert(offsetof(TransferStatus, error_code) == 0);
static_assert(offsetof(TransferStatus, status) == 2);
static_assert(offsetof(TransferStatus, percent) == 4);
static_assert(offsetof(TransferStatus, file_length) == 8);
static_assert(offsetof(TransferStatus, elapsed_ms) == 12);
static_assert(offsetof(TransferStatus, current_file) == 16);
static_assert(offsetof(TransferStatus, current_pc_path) == 276);
static_assert(offsetof(TransferStatus, current_block) == 536);
static_assert(offsetof(TransferStatus, block_count) == 540);
static_assert(offsetof(TransferStatus, unused) == 544);

static_assert(sizeof(HcSysInfo) == 136);
static_assert(offsetof(HcSysInfo, bad) == 16);
static_assert(offsetof(HcSysInfo, memory_total) == 17);
static_assert(offsetof(HcSysInfo, date) == 29);
static_assert(offsetof(HcSysInfo, time) == 33);
static_assert(offsetof(HcSysInfo, id) == 37);
static_assert(offsetof(HcSysInfo, manufacture_date) == 53);
static_assert(offsetof(HcSysInfo, type) == 64);
static_assert(offsetof(HcSysInfo, flash_model) == 75);
static_assert(offsetof(HcSysInfo, hardware_version) == 84);
static_assert(offsetof(HcSysInfo, software_version) == 86);
static_assert(offsetof(HcSysInfo, reserved4) == 118);
static_assert(offsetof(HcSysInfo, terminator) == 135);

static_assert(sizeof(HcSysInfoBf) == 129);
static_assert(offsetof(HcSysInfoBf, bad) == 16);
static_assert(offsetof(HcSysInfoBf, memory_total) == 17);
static_assert(offsetof(HcSysInfoBf, date) == 29);
static_assert(offsetof(HcSysInfoBf, time) == 33);
static_assert(offsetof(HcSysInfoBf, id) == 37);
static_assert(offsetof(HcSysInfoBf, manufacture_date) == 46);
static_assert(offsetof(HcSysInfoBf, type) == 57);
static_assert(offsetof(HcSysInfoBf, flash_model) == 68);
static_assert(offsetof(HcSysInfoBf, hardware_version) == 77);
static_assert(offsetof(HcSysInfoBf, reserved4) == 79);
static_assert(offsetof(HcSysInfoBf, terminator) == 128);

// Packed fields may sit at any address: copy them whole instead of taking their address.
template <typename T>
inline T LoadField(const void* field) {
    T value;
    std::memcpy(&value, field, sizeof value);
    return value;
}

template <typename T>
inline void StoreField(void* field, T value) {
    std::memcpy(field, &value, sizeof value);
}

// Little- and big-endian helpers for wire and file layouts.
inline uint16_t GetLe16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t GetLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint16_t GetBe16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
inline uint32_t GetBe32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}
inline void PutLe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void PutBe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
inline void PutBe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

// Copies text into a fixed field of `size` bytes: at most size-1 characters, NUL-terminated,
// the rest zero-filled.
inline void CopyTextField(char* field, size_t size, const char* text) {
    std::memset(field, 0, size);
    if (text == nullptr || size == 0) return;
    size_t n = strnlen(text, size - 1);
    std::memcpy(field, text, n);
}

}  // namespace tarvix
