// The system-information decoders on any answers of the handheld: the first input byte chooses the
// family, then come the bad and the free space (4 bytes each, as received), the 20-byte clock text and
// the system block (cut or padded with zeros to the family's block size).  The caller's record must
// hold only the block's texts, cut to their fields and ended by NUL, its reserved bytes zero; the
// figures must add up; the text file must hold the sections it always holds, and exactly the lines
// it holds for answers without any text: the handheld's texts never add one.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "common/records.h"
#include "common/sysinfo.h"

namespace {

using namespace tarvix;

// A record's text field: NUL within its width, zeros after it, and a prefix of the block's text.
void CheckField(const char* field, size_t width, const SysInfoAnswers& a, size_t offset) {
    const size_t n = strnlen(field, width);
    if (n >= width) __builtin_trap();
    for (size_t i = n; i < width; ++i) {
        if (field[i] != '\0') __builtin_trap();
    }
    if (BlockText(a.block, a.block_size, offset).compare(0, n, field, n) != 0) __builtin_trap();
}

void CheckZero(const uint8_t* bytes, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        if (bytes[i] != 0) __builtin_trap();
    }
}

template <typename Record>
void CheckCommon(const Record& r, const SysInfoFigures& f, const SysInfoAnswers& a) {
    if (LoadField<int32_t>(&r.disk_total) != f.disk_total || LoadField<int32_t>(&r.disk_used) != f.used ||
        LoadField<int32_t>(&r.disk_free) != f.free || r.bad != f.bad ||
        LoadField<int32_t>(&r.memory_total) != f.memory_total) {
        __builtin_trap();
    }
    CheckField(r.id, sizeof r.id, a, kBlockId);
    CheckField(r.manufacture_date, sizeof r.manufacture_date, a, kBlockManufactureDate);
    CheckField(r.type, sizeof r.type, a, kBlockType);
    CheckField(r.flash_model, sizeof r.flash_model, a, kBlockFlashModel);
    CheckZero(r.reserved2, sizeof r.reserved2);
    if (r.reserved3 != 0 || r.terminator != 0) __builtin_trap();
    CheckZero(r.reserved4, sizeof r.reserved4);
}

// Lines of a text file, each ended by CR LF; -1 where a CR, LF or NUL stands anywhere else.
long CountLines(const std::string& text) {
    long lines = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\0' || c == '\n') return -1;
        if (c == '\r') {
            if (i + 1 >= text.size() || text[i + 1] != '\n') return -1;
            ++lines;
            ++i;
        }
    }
    return lines;
}

// The lines of the file for answers that hold no text at all: the handheld's texts cannot add any.
long PlainLines(SysInfoFamily family, size_t block_size) {
    auto block = std::make_unique<uint8_t[]>(block_size);
    std::memset(block.get(), 0, block_size);
    SysInfoAnswers answers;
    answers.block = block.get();
    answers.block_size = block_size;
    std::memset(answers.clock, 0, kSysClockTextSize);
    return CountLines(SysInfoText(family, DeriveSysInfo(family, answers), answers));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr size_t kHead = 1 + 4 + 4 + kSysClockTextSize;
    if (size < kHead) return 0;
    const SysInfoFamily family = (data[0] & 1) != 0 ? SysInfoFamily::ByteFrame : SysInfoFamily::TextFrame;
    const size_t block_size = family == SysInfoFamily::TextFrame ? kTfSystemBlockSize : kBfSystemBlockSize;
    // The block on the heap at its exact size, so that a read past it is seen.
    auto block = std::make_unique<uint8_t[]>(block_size);
    std::memset(block.get(), 0, block_size);
    std::memcpy(block.get(), data + kHead, std::min(size - kHead, block_size));

    SysInfoAnswers answers;
    answers.block = block.get();
    answers.block_size = block_size;
    answers.bad_space = GetLe32(data + 1);
    answers.free_space = GetLe32(data + 5);
    std::memcpy(answers.clock, data + 9, kSysClockTextSize);

    const SysInfoFigures f = DeriveSysInfo(family, answers);
    if (f.free != static_cast<int32_t>(answers.free_space) || f.bad != ((answers.bad_space / 10000) & 0xFF))
        __builtin_trap();
    if (static_cast<uint32_t>(f.used) + answers.free_space + answers.bad_space !=
        static_cast<uint32_t>(f.disk_total)) {
        __builtin_trap();
    }
    if (f.date_text.size() > 10 || f.time_text.size() > 8) __builtin_trap();
    if (f.date_text.find('\0') != std::string::npos || f.time_text.find('\0') != std::string::npos)
        __builtin_trap();

    if (family == SysInfoFamily::TextFrame) {
        HcSysInfo info;
        std::memset(&info, 0x55, sizeof info);
        FillSysInfo(f, answers, &info);
        CheckCommon(info, f, answers);
        CheckField(info.software_version, sizeof info.software_version, answers, kBlockSoftwareVersion);
    } else {
        HcSysInfoBf info;
        std::memset(&info, 0x55, sizeof info);
        FillSysInfoBf(f, answers, &info);
        CheckCommon(info, f, answers);
        CheckZero(info.reserved1, sizeof info.reserved1);
    }

    const std::string text = SysInfoText(family, f, answers);
    static const char* const kSections[] = {"[DiskSpaceInfo]\r\n", "\r\n[Memory]\r\n", "\r\n[Time]\r\n",
                                            "\r\n[System]\r\n"};
    size_t at = 0;
    for (const char* section : kSections) {
        at = text.find(section, at);
        if (at == std::string::npos) __builtin_trap();
    }
    if (text.rfind("[DiskSpaceInfo]\r\nTotal=", 0) != 0) __builtin_trap();
    if (text.find("\r\nUsed=" + std::to_string(f.used) + "\r\n") == std::string::npos) __builtin_trap();
    if (text.size() < 2 || text.compare(text.size() - 2, 2, "\r\n") != 0) __builtin_trap();
    static const long kPlain[2] = {PlainLines(SysInfoFamily::TextFrame, kTfSystemBlockSize),
                                   PlainLines(SysInfoFamily::ByteFrame, kBfSystemBlockSize)};
    const long plain = kPlain[family == SysInfoFamily::TextFrame ? 0 : 1];
    if (plain <= 0 || CountLines(text) != plain) __builtin_trap();
    return 0;
}
