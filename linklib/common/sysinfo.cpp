#include "common/sysinfo.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <string_view>

#include "common/records.h"
#include "platform/files.h"

namespace tarvix {
namespace {

constexpr double kMiB = 1048576.0;
constexpr uint32_t kBfDiskTotal = 67108864;  // byte-frame handhelds report no disk size of their own
constexpr uint32_t kBadUnit = 10000;

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// The text read as a floating-point number (leading blanks skipped, as far as it is a number; 0 when
// it is none).  Independent of the process's locale, which may use a decimal comma.
double LeadingFloat(const std::string& text) {
    size_t start = 0;
    while (start < text.size() && IsBlank(text[start])) ++start;
    const char* first = text.data() + start;
    const char* last = text.data() + text.size();
    if (first != last && *first == '+') ++first;
    double value = 0;
    const auto [ptr, ec] = std::from_chars(first, last, value, std::chars_format::general);
    (void)ptr;
    if (ec != std::errc()) return 0;
    return value;
}

// A double truncated to an integer and cut to 32 bits; values no integer type holds count as 0.
uint32_t TruncateTo32(double value) {
    if (!std::isfinite(value) || std::fabs(value) >= 9.2e18) return 0;
    return static_cast<uint32_t>(static_cast<int64_t>(value));
}

// One clock field as a decimal number: the characters at [offset, offset + width) up to a NUL.
int ClockField(const uint8_t* clock, size_t offset, size_t width) {
    std::string field;
    for (size_t i = offset; i < offset + width && i < kSysClockTextSize && clock[i] != 0; ++i)
        field.push_back(static_cast<char>(clock[i]));
    return static_cast<int>(LeadingDecimal(field));
}

std::string ClockPart(const uint8_t* clock, size_t offset, size_t width) {
    std::string part;
    for (size_t i = offset; i < offset + width && i < kSysClockTextSize && clock[i] != 0; ++i)
        part.push_back(static_cast<char>(clock[i]));
    return part;
}

void Line(std::string& out, const std::string& text) {
    out += text;
    out += "\r\n";
}

// A handheld's text as the value of one line: it ends at its first CR, LF or NUL, so that no text
// of the handheld adds lines (keys or sections) to a file that hosts read as an INI file.
std::string OneLine(const std::string& text) {
    return text.substr(0, text.find_first_of(std::string_view("\r\n\0", 3)));
}

// A key and a handheld's text as its value.
void ValueLine(std::string& out, const char* key, const std::string& text) {
    Line(out, key + OneLine(text));
}

// A record's text field: the block's text cut to the field's width less one, NUL, zeros.
void TextField(char* field, size_t width, const SysInfoAnswers& a, size_t offset) {
    CopyTextField(field, width, BlockText(a.block, a.block_size, offset).c_str());
}

// Text of a record field as it stands in the record (at most its width less one characters).
std::string FieldText(const char* field, size_t width) {
    return std::string(field, strnlen(field, width));
}

}  // namespace

std::string BlockText(const uint8_t* block, size_t block_size, size_t offset) {
    if (block == nullptr || offset >= block_size) return "";
    const char* start = reinterpret_cast<const char*>(block + offset);
    return std::string(start, strnlen(start, block_size - offset));
}

uint32_t LeadingDecimal(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && IsBlank(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    uint32_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        value = value * 10u + static_cast<uint32_t>(text[i] - '0');
    return negative ? 0u - value : value;
}

SysInfoFigures DeriveSysInfo(SysInfoFamily family, const SysInfoAnswers& a) {
    SysInfoFigures f;
    const uint32_t total =
        family == SysInfoFamily::TextFrame
            ? TruncateTo32(LeadingFloat(BlockText(a.block, a.block_size, kBlockFlashModel)) * kMiB)
            : kBfDiskTotal;
    f.disk_total = static_cast<int32_t>(total);
    f.free = static_cast<int32_t>(a.free_space);
    f.used = static_cast<int32_t>(total - a.free_space - a.bad_space);
    f.bad = static_cast<uint8_t>((a.bad_space / kBadUnit) & 0xFFu);
    f.memory_total =
        static_cast<int32_t>(LeadingDecimal(BlockText(a.block, a.block_size, kBlockMemorySize)) * 1024u);
    f.date_text = ClockPart(a.clock, 0, 10);
    f.time_text = ClockPart(a.clock, 11, 8);
    f.date.year = static_cast<uint16_t>(ClockField(a.clock, 0, 4));
    f.date.month = static_cast<uint8_t>(ClockField(a.clock, 5, 2));
    f.date.day = static_cast<uint8_t>(ClockField(a.clock, 8, 2));
    f.time.hour = static_cast<uint8_t>(ClockField(a.clock, 11, 2));
    f.time.minute = static_cast<uint8_t>(ClockField(a.clock, 14, 2));
    f.time.second = static_cast<uint8_t>(ClockField(a.clock, 17, 2));
    return f;
}

namespace {

// The fields both records share; the text-frame record adds the software version.
template <typename Record>
Record CommonRecord(const SysInfoFigures& f, const SysInfoAnswers& a) {
    Record r;
    std::memset(&r, 0, sizeof r);
    StoreField(&r.disk_total, f.disk_total);
    StoreField(&r.disk_used, f.used);
    StoreField(&r.disk_free, f.free);
    r.bad = f.bad;
    StoreField(&r.memory_total, f.memory_total);
    StoreField(&r.date, f.date);
    StoreField(&r.time, f.time);
    TextField(r.id, sizeof r.id, a, kBlockId);
    TextField(r.manufacture_date, sizeof r.manufacture_date, a, kBlockManufactureDate);
    TextField(r.type, sizeof r.type, a, kBlockType);
    TextField(r.flash_model, sizeof r.flash_model, a, kBlockFlashModel);
    StoreField(
        &r.hardware_version,
        static_cast<uint16_t>(LeadingDecimal(BlockText(a.block, a.block_size, kBlockHardwareVersion))));
    return r;
}

}  // namespace

void FillSysInfo(const SysInfoFigures& f, const SysInfoAnswers& a, HcSysInfo* info) {
    HcSysInfo r = CommonRecord<HcSysInfo>(f, a);
    TextField(r.software_version, sizeof r.software_version, a, kBlockSoftwareVersion);
    std::memcpy(info, &r, sizeof r);
}

void FillSysInfoBf(const SysInfoFigures& f, const SysInfoAnswers& a, HcSysInfoBf* info) {
    const HcSysInfoBf r = CommonRecord<HcSysInfoBf>(f, a);
    std::memcpy(info, &r, sizeof r);
}

std::string SysInfoText(SysInfoFamily family, const SysInfoFigures& f, const SysInfoAnswers& a) {
    // The record's text fields as the file shows them.
    HcSysInfo tf_record;
    HcSysInfoBf bf_record;
    std::string id, made, type, flash;
    if (family == SysInfoFamily::TextFrame) {
        FillSysInfo(f, a, &tf_record);
        id = FieldText(tf_record.id, sizeof tf_record.id);
        made = FieldText(tf_record.manufacture_date, sizeof tf_record.manufacture_date);
        type = FieldText(tf_record.type, sizeof tf_record.type);
        flash = FieldText(tf_record.flash_model, sizeof tf_record.flash_model);
    } else {
        FillSysInfoBf(f, a, &bf_record);
        id = FieldText(bf_record.id, sizeof bf_record.id);
        made = FieldText(bf_record.manufacture_date, sizeof bf_record.manufacture_date);
        type = FieldText(bf_record.type, sizeof bf_record.type);
        flash = BlockText(a.block, a.block_size, kBlockFlashModel);
    }
    std::string out;
    Line(out, "[DiskSpaceInfo]");
    Line(out, "Total=" + std::to_string(static_cast<uint32_t>(f.disk_total) >> 10));
    Line(out, "Used=" + std::to_string(f.used));
    Line(out, "Free=" + std::to_string(f.free));
    Line(out, "Bad=" + std::to_string(f.bad));
    Line(out, "");
    Line(out, "[Memory]");
    Line(out, "Total=" + std::to_string(f.memory_total));
    Line(out, "");
    Line(out, "[Time]");
    ValueLine(out, "Date=", f.date_text);
    ValueLine(out, "Time=", f.time_text);
    Line(out, "");
    Line(out, "[System]");
    ValueLine(out, "ID=", id);
    ValueLine(out, "ManufactureDate=", made);
    ValueLine(out, "Type=", type);
    ValueLine(out, "FlashModel=", flash);
    ValueLine(out, "HardwareVersion=", BlockText(a.block, a.block_size, kBlockHardwareVersion));
    if (family == SysInfoFamily::TextFrame)
        ValueLine(out, "SoftwareVersion=", BlockText(a.block, a.block_size, kBlockSoftwareVersion));
    return out;
}

bool WriteSysInfoFile(const char* pc_path, const std::string& text) {
    platform::ReplacementFile file(platform::PcPath(pc_path));
    if (!file.Open()) return false;
    if (file.file().Write(text.data(), text.size()) != text.size()) return false;
    return file.Commit();
}

}  // namespace tarvix
