// The handheld's system information as both families report it: the figures derived from the
// system block and the three short answers, the caller's record and the text file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "tarvix.h"

namespace tarvix {

enum class SysInfoFamily { TextFrame, ByteFrame };

// Offsets of the texts in the handheld's system block.
constexpr size_t kBlockType = 0;
constexpr size_t kBlockManufactureDate = 16;
constexpr size_t kBlockId = 32;
constexpr size_t kBlockSoftwareVersion = 80;
constexpr size_t kBlockHardwareVersion = 112;
constexpr size_t kBlockFlashModel = 120;
constexpr size_t kBlockMemorySize = 136;

constexpr size_t kTfSystemBlockSize = 152;
constexpr size_t kBfSystemBlockSize = 156;
constexpr size_t kSysClockTextSize = 20;

// What the handheld answered: its system block, SubBadSpace, SubFreeSpace and the clock text.
struct SysInfoAnswers {
    const uint8_t* block = nullptr;
    size_t block_size = 0;
    uint32_t bad_space = 0;
    uint32_t free_space = 0;
    uint8_t clock[kSysClockTextSize] = {};
};

struct SysInfoFigures {
    int32_t disk_total = 0;  // bytes
    int32_t used = 0;
    int32_t free = 0;
    uint8_t bad = 0;
    int32_t memory_total = 0;
    HcDate date{};
    HcTime time{};
    std::string date_text;
    std::string time_text;
};

// A text of the block from `offset` to its first NUL, at most to the end of the block.
std::string BlockText(const uint8_t* block, size_t block_size, size_t offset);
// The leading decimal number of a text as a C program's atoi reads it (blanks, sign, digits), wrapping
// in 32 bits instead of overflowing.
uint32_t LeadingDecimal(const std::string& text);

SysInfoFigures DeriveSysInfo(SysInfoFamily family, const SysInfoAnswers& answers);

// The caller's records.  Reserved bytes are zero.
void FillSysInfo(const SysInfoFigures& figures, const SysInfoAnswers& answers, HcSysInfo* info);
void FillSysInfoBf(const SysInfoFigures& figures, const SysInfoAnswers& answers, HcSysInfoBf* info);

// The lines of the text file, each ending with CR LF.  Every text of the handheld ends at its first
// CR, LF or NUL there (the record keeps it whole).
std::string SysInfoText(SysInfoFamily family, const SysInfoFigures& figures, const SysInfoAnswers& answers);
// Writes the text beside `pc_path` and renames it into place; false when the file could not be made.
bool WriteSysInfoFile(const char* pc_path, const std::string& text);

}  // namespace tarvix
