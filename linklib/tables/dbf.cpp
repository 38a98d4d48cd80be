#include "tables/dbf.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <limits>

#include "platform/files.h"

namespace tarvix::dbf {
namespace {

uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
void PutLe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void PutLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

char Upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool SameNameNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (Upper(a[i]) != Upper(b[i])) return false;
    }
    return true;
}

Status Make(Error error, std::string message) {
    return Status{error, std::move(message)};
}

std::string SysText() {
    return std::strerror(errno);
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Adds one to a string of decimal digits; "99" becomes "100".
void Increment(std::string& digits) {
    for (size_t i = digits.size(); i-- > 0;) {
        if (digits[i] != '9') {
            ++digits[i];
            return;
        }
        digits[i] = '0';
    }
    digits.insert(digits.begin(), '1');
}

Status FormatNumber(const Field& field, std::string_view text, std::string& out) {
    std::string_view t = Trim(text);
    out.assign(field.length, ' ');
    if (t.empty()) return {};
    bool negative = false;
    if (t.front() == '+' || t.front() == '-') {
        negative = t.front() == '-';
        t.remove_prefix(1);
    }
    std::string whole, fraction;
    size_t i = 0;
    while (i < t.size() && IsDigit(t[i])) whole += t[i++];
    if (i < t.size() && t[i] == '.') {
        ++i;
        while (i < t.size() && IsDigit(t[i])) fraction += t[i++];
    }
    if (i != t.size() || (whole.empty() && fraction.empty())) {
        return Make(Error::BadValue,
                    "field " + field.name + ": \"" + std::string(text) + "\" is not a number");
    }
    const size_t decimals = field.decimals;
    if (fraction.size() > decimals) {
        const bool up = fraction[decimals] >= '5';
        fraction.resize(decimals);
        if (up) {
            std::string all = whole + fraction;
            if (all.empty()) all = "0";
            Increment(all);
            whole = all.substr(0, all.size() - decimals);
            fraction = all.substr(all.size() - decimals);
        }
    }
    fraction.resize(decimals, '0');
    size_t lead = whole.find_first_not_of('0');
    whole = lead == std::string::npos ? "0" : whole.substr(lead);
    const bool zero = whole == "0" && fraction.find_first_not_of('0') == std::string::npos;
    std::string value = (negative && !zero ? "-" : "") + whole;
    if (decimals > 0) value += "." + fraction;
    if (value.size() > field.length) {
        return Make(Error::ValueTooLong, "field " + field.name + ": \"" + std::string(text) + "\" needs " +
                                             std::to_string(value.size()) + " characters, the field holds " +
                                             std::to_string(field.length));
    }
    out.replace(field.length - value.size(), value.size(), value);
    return {};
}

bool PlausibleDate(std::string_view d) {
    if (d.size() != 8 || !std::all_of(d.begin(), d.end(), IsDigit)) return false;
    const int month = (d[4] - '0') * 10 + (d[5] - '0');
    const int day = (d[6] - '0') * 10 + (d[7] - '0');
    return month >= 1 && month <= 12 && day >= 1 && day <= 31;
}

void LeftAligned(const Field& field, std::string_view text, std::string& out) {
    out.assign(field.length, ' ');
    const size_t n = std::min<size_t>(text.size(), field.length);
    out.replace(0, n, text.substr(0, n));
}

void Today(uint8_t date[3]) {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
#ifdef _WIN32
    localtime_s(&tm, &now);
#else
    localtime_r(&now, &tm);
#endif
    date[0] = static_cast<uint8_t>(tm.tm_year);
    date[1] = static_cast<uint8_t>(tm.tm_mon + 1);
    date[2] = static_cast<uint8_t>(tm.tm_mday);
}

bool ValidName(std::string_view name) {
    if (name.empty() || name.size() > 10) return false;
    if (!(std::isalpha(static_cast<unsigned char>(name[0])) || name[0] == '_')) return false;
    return std::all_of(name.begin(), name.end(),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; });
}

// Reads a table header (the 32 fixed bytes, then the rest up to the stored header length) from the
// start of an open stream.
Status ReadHeader(std::FILE* f, const std::string& name, Header& out) {
    std::vector<uint8_t> bytes(kTableHeaderSize);
    if (std::fread(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
        return Make(Error::BadHeader, name + ": shorter than a table header");
    }
    const uint16_t h = StoredHeaderLength(bytes);
    if (h > kTableHeaderSize) {
        bytes.resize(h);
        const size_t want = h - kTableHeaderSize;
        if (std::fread(bytes.data() + kTableHeaderSize, 1, want, f) != want) {
            return Make(Error::BadHeader,
                        name + ": file ends inside its " + std::to_string(h) + "-byte header");
        }
    }
    Status s = ParseHeader(bytes, out);
    if (!s) s.message = name + ": " + s.message;
    return s;
}

}  // namespace

const char* ErrorName(Error error) {
    switch (error) {
        case Error::None:
            return "no error";
        case Error::OpenFailed:
            return "cannot open";
        case Error::ReadFailed:
            return "read failed";
        case Error::WriteFailed:
            return "write failed";
        case Error::SeekFailed:
            return "seek failed";
        case Error::BadHeader:
            return "bad header";
        case Error::Truncated:
            return "table truncated";
        case Error::NoSuchField:
            return "no such field";
        case Error::BadValue:
            return "bad value";
        case Error::ValueTooLong:
            return "value too long";
        case Error::TooManyRecords:
            return "too many records";
        case Error::NotOpen:
            return "not open";
        case Error::BadStructure:
            return "bad structure";
    }
    return "unknown error";
}

int Header::FieldIndex(std::string_view name) const {
    for (size_t i = 0; i < fields.size(); ++i) {
        if (SameNameNoCase(fields[i].name, name)) return static_cast<int>(i);
    }
    return -1;
}

uint16_t StoredHeaderLength(std::span<const uint8_t> bytes) {
    return bytes.size() < kTableHeaderSize ? 0 : Le16(bytes.data() + 8);
}

Status ParseHeader(std::span<const uint8_t> bytes, Header& out) {
    if (bytes.size() < kTableHeaderSize) return Make(Error::BadHeader, "shorter than a table header");
    const uint8_t* p = bytes.data();
    Header h;
    h.version = p[0];
    h.year = p[1];
    h.month = p[2];
    h.day = p[3];
    h.record_count = Le32(p + 4);
    h.header_length = Le16(p + 8);
    h.record_length = Le16(p + 10);
    if (h.header_length < kTableHeaderSize + 1) {
        return Make(Error::BadHeader, "header length " + std::to_string(h.header_length) + " is below 33");
    }
    if (h.header_length > bytes.size()) {
        return Make(Error::BadHeader, "header length " + std::to_string(h.header_length) + " passes the " +
                                          std::to_string(bytes.size()) + " bytes given");
    }
    size_t pos = kTableHeaderSize;
    uint32_t offset = 1;
    while (pos + kDescriptorSize <= h.header_length && p[pos] != kHeaderTerminator) {
        const uint8_t* d = p + pos;
        Field f;
        f.name.assign(reinterpret_cast<const char*>(d), strnlen(reinterpret_cast<const char*>(d), 11));
        f.type = static_cast<char>(d[11]);
        f.length = d[16];
        f.decimals = d[17];
        f.flags = d[18];
        f.offset = offset;
        if (f.length == 0) {
            return Make(Error::BadHeader, "field " + std::to_string(h.fields.size() + 1) + " has length 0");
        }
        offset += f.length;
        h.fields.push_back(std::move(f));
        pos += kDescriptorSize;
    }
    if (pos < h.header_length && p[pos] != kHeaderTerminator) {
        return Make(Error::BadHeader, "descriptor area ends inside a descriptor");
    }
    if (h.fields.empty()) return Make(Error::BadHeader, "no field descriptors");
    if (offset != h.record_length) {
        return Make(Error::BadHeader, "record length " + std::to_string(h.record_length) +
                                          " differs from 1 + the field lengths (" + std::to_string(offset) +
                                          ")");
    }
    h.raw.assign(p, p + h.header_length);
    out = std::move(h);
    return {};
}

std::string FieldText(const Field& field, std::string_view raw) {
    while (!raw.empty() && (raw.back() == ' ' || raw.back() == '\0')) raw.remove_suffix(1);
    if (field.type == 'N' || field.type == 'F') {
        while (!raw.empty() && raw.front() == ' ') raw.remove_prefix(1);
    }
    return std::string(raw);
}

Status FormatValue(const Field& field, std::string_view text, std::string& out) {
    switch (field.type) {
        case 'N':
        case 'F':
            return FormatNumber(field, text, out);
        case 'D': {
            std::string_view t = Trim(text);
            if (!t.empty() && !PlausibleDate(t)) {
                return Make(Error::BadValue,
                            "field " + field.name + ": \"" + std::string(text) + "\" is not a date YYYYMMDD");
            }
            LeftAligned(field, t, out);
            return {};
        }
        case 'L': {
            std::string_view t = Trim(text);
            if (t.size() > 1 || (t.size() == 1 && std::strchr("TtFfYyNn?", t[0]) == nullptr)) {
                return Make(Error::BadValue,
                            "field " + field.name + ": \"" + std::string(text) + "\" is not a logical value");
            }
            LeftAligned(field, t.empty() ? std::string_view() : std::string(1, Upper(t[0])), out);
            return {};
        }
        case '0':
        case 'I':
        case 'Y':
        case 'T':
            return Make(Error::BadValue, "field " + field.name + " of type " + std::string(1, field.type) +
                                             " holds binary data, not text");
        default:
            LeftAligned(field, text, out);
            return {};
    }
}

// ---- Reader ----

Reader::~Reader() {
    Close();
}

void Reader::Close() {
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
    current_ = nullptr;
    chunk_.clear();
    chunk_records_ = chunk_pos_ = 0;
    read_ = index_ = 0;
}

bool Reader::Fail(Error error, std::string message) {
    status_ = Make(error, name_ + ": " + std::move(message));
    current_ = nullptr;
    return false;
}

Status Reader::Open(const std::string& path) {
    Close();
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        status_ = Make(Error::OpenFailed, path + ": " + SysText());
        return status_;
    }
    return Attach(f, path);
}

Status Reader::Attach(std::FILE* file, std::string name) {
    Close();
    name_ = std::move(name);
    status_ = {};
    if (file == nullptr) {
        status_ = Make(Error::OpenFailed, name_ + ": no stream");
        return status_;
    }
    file_ = file;
    status_ = ReadHeader(file_, name_, header_);
    if (!status_) {
        Close();
        return status_;
    }
    // Records are read ahead in chunks of about 64 KiB, whole records only.
    const size_t per_chunk = std::max<size_t>(1, 65536 / header_.record_length);
    chunk_.resize(per_chunk * header_.record_length);
    return status_;
}

bool Reader::Next() {
    if (file_ == nullptr || !status_) return false;
    if (chunk_pos_ >= chunk_records_) {
        if (read_ >= header_.record_count) {
            current_ = nullptr;
            return false;
        }
        const size_t rec = header_.record_length;
        const size_t want = std::min<size_t>(header_.record_count - read_, chunk_.size() / rec);
        const size_t got = std::fread(chunk_.data(), 1, want * rec, file_) / rec;
        if (got == 0) {
            if (std::ferror(file_))
                return Fail(Error::ReadFailed, "read failed after record " + std::to_string(read_));
            return Fail(Error::Truncated, "file ends after " + std::to_string(read_) + " of " +
                                              std::to_string(header_.record_count) + " records");
        }
        chunk_records_ = got;
        chunk_pos_ = 0;
        read_ += static_cast<uint32_t>(got);
    }
    index_ = read_ - static_cast<uint32_t>(chunk_records_ - chunk_pos_);
    current_ = chunk_.data() + chunk_pos_ * header_.record_length;
    ++chunk_pos_;
    return true;
}

bool Reader::deleted() const {
    return current_ != nullptr && current_[0] == '*';
}

std::span<const uint8_t> Reader::record() const {
    if (current_ == nullptr) return {};
    return {current_, header_.record_length};
}

std::string_view Reader::Raw(size_t field) const {
    if (current_ == nullptr || field >= header_.fields.size()) return {};
    const Field& f = header_.fields[field];
    return {reinterpret_cast<const char*>(current_) + f.offset, f.length};
}

std::string Reader::Text(size_t field) const {
    if (field >= header_.fields.size()) return {};
    return FieldText(header_.fields[field], Raw(field));
}

Status Reader::Text(std::string_view name, std::string& out) const {
    const int i = FieldIndex(name);
    if (i < 0) return Make(Error::NoSuchField, name_ + ": no field " + std::string(name));
    if (current_ == nullptr) return Make(Error::NotOpen, name_ + ": no current record");
    out = Text(static_cast<size_t>(i));
    return {};
}

// ---- Writer ----

Writer::~Writer() {
    Abandon();
}

void Writer::SetUpdateDate(int year, int month, int day) {
    date_[0] = static_cast<uint8_t>(std::clamp(year - 1900, 0, 255));
    date_[1] = static_cast<uint8_t>(std::clamp(month, 1, 12));
    date_[2] = static_cast<uint8_t>(std::clamp(day, 1, 31));
    date_set_ = true;
}

Status Writer::FailWrite(std::string what) {
    Status s = Make(Error::WriteFailed, path_ + ": " + what + ": " + SysText());
    Abandon();
    return s;
}

Status Writer::Begin(const std::string& path, Header header, bool append) {
    path_ = path;
    header_ = std::move(header);
    record_.assign(header_.record_length, ' ');
    building_ = false;
    if (append) return {};
    temp_ = platform::PartFileName(path);
    file_ = std::fopen(temp_.c_str(), "wb");
    if (file_ == nullptr) {
        Status s = Make(Error::OpenFailed, temp_ + ": " + SysText());
        temp_.clear();
        return s;
    }
    header_.record_count = 0;
    PutLe32(header_.raw.data() + 4, 0);
    if (std::fwrite(header_.raw.data(), 1, header_.raw.size(), file_) != header_.raw.size()) {
        return FailWrite("writing the header");
    }
    start_size_ = header_.raw.size();
    return {};
}

Status Writer::Create(const std::string& path, const std::vector<FieldSpec>& fields) {
    Abandon();
    auto bad = [&](std::string why) { return Make(Error::BadStructure, path + ": " + why); };
    if (fields.empty() || fields.size() > 255) return bad("a table has 1 to 255 fields");
    const size_t h = kTableHeaderSize + kDescriptorSize * fields.size() + 1;
    std::vector<uint8_t> raw(h, 0);
    uint32_t record_length = 1;
    for (size_t i = 0; i < fields.size(); ++i) {
        const FieldSpec& f = fields[i];
        if (!ValidName(f.name)) return bad("field name \"" + f.name + "\" is not 1-10 letters, digits or _");
        for (size_t j = 0; j < i; ++j) {
            if (SameNameNoCase(fields[j].name, f.name)) return bad("field name " + f.name + " repeats");
        }
        bool ok = false;
        switch (f.type) {
            case 'C':
                ok = f.length >= 1 && f.length <= 254 && f.decimals == 0;
                break;
            case 'N':
            case 'F':
                ok = f.length >= 1 && f.length <= 20 && (f.decimals == 0 || f.decimals + 2 <= f.length);
                break;
            case 'D':
                ok = f.length == 8 && f.decimals == 0;
                break;
            case 'L':
                ok = f.length == 1 && f.decimals == 0;
                break;
            default:
                break;
        }
        if (!ok) return bad("field " + f.name + ": unusable type, length or decimal count");
        uint8_t* d = raw.data() + kTableHeaderSize + kDescriptorSize * i;
        std::memcpy(d, f.name.data(), f.name.size());
        d[11] = static_cast<uint8_t>(f.type);
        PutLe16(d + 12, static_cast<uint16_t>(record_length));  // the field's place in the record
        d[16] = f.length;
        d[17] = f.decimals;
        record_length += f.length;
    }
    if (record_length > std::numeric_limits<uint16_t>::max()) return bad("records longer than 65535 bytes");
    raw[0] = kVersionDbase3;
    PutLe16(raw.data() + 8, static_cast<uint16_t>(h));
    PutLe16(raw.data() + 10, static_cast<uint16_t>(record_length));
    raw[h - 1] = kHeaderTerminator;
    Header header;
    Status s = ParseHeader(raw, header);
    if (!s) return bad(s.message);
    return Begin(path, std::move(header), false);
}

Status Writer::CreateFrom(const std::string& template_path, const std::string& path) {
    Abandon();
    std::FILE* f = std::fopen(template_path.c_str(), "rb");
    if (f == nullptr) return Make(Error::OpenFailed, template_path + ": " + SysText());
    Header header;
    Status s = ReadHeader(f, template_path, header);
    std::fclose(f);
    if (!s) return s;
    return Begin(path, std::move(header), false);
}

Status Writer::OpenForAppend(const std::string& path) {
    Abandon();
    std::FILE* f = std::fopen(path.c_str(), "rb+");
    if (f == nullptr) return Make(Error::OpenFailed, path + ": " + SysText());
    Header header;
    Status s = ReadHeader(f, path, header);
    if (!s) {
        std::fclose(f);
        return s;
    }
    const uint64_t end = header.header_length + uint64_t{header.record_count} * header.record_length;
    if (std::fseek(f, 0, SEEK_END) != 0) {
        std::fclose(f);
        return Make(Error::SeekFailed, path + ": " + SysText());
    }
    const long size = std::ftell(f);
    if (size < 0 || static_cast<uint64_t>(size) < end) {
        std::fclose(f);
        return Make(Error::Truncated,
                    path + ": file ends before its " + std::to_string(header.record_count) + " records");
    }
    if (std::fseek(f, static_cast<long>(end), SEEK_SET) != 0) {
        std::fclose(f);
        return Make(Error::SeekFailed, path + ": " + SysText());
    }
    file_ = f;
    start_size_ = end;
    temp_.clear();
    return Begin(path, std::move(header), true);
}

void Writer::BeginRecord() {
    record_.assign(header_.record_length, ' ');
    // FoxPro's binary fields (null flags, integers, currency, date-times, doubles) start as zeros, not
    // blanks: a blank null-flags byte would mark fields as null.
    const bool foxpro = header_.version >= 0x30 && header_.version <= 0x32;
    for (const Field& f : header_.fields) {
        if (std::strchr("0IYT", f.type) != nullptr || (foxpro && f.type == 'B')) {
            std::memset(record_.data() + f.offset, 0, f.length);
        }
    }
    building_ = file_ != nullptr;
}

Status Writer::Set(std::string_view field_name, std::string_view text) {
    const int i = FieldIndex(field_name);
    if (i < 0) return Make(Error::NoSuchField, path_ + ": no field " + std::string(field_name));
    return Set(static_cast<size_t>(i), text);
}

Status Writer::Set(size_t field, std::string_view text) {
    if (!building_) return Make(Error::NotOpen, path_ + ": no record begun");
    if (field >= header_.fields.size()) {
        return Make(Error::NoSuchField, path_ + ": no field number " + std::to_string(field));
    }
    const Field& f = header_.fields[field];
    std::string value;
    Status s = FormatValue(f, text, value);
    if (!s) {
        s.message = path_ + ": " + s.message;
        return s;
    }
    std::memcpy(record_.data() + f.offset, value.data(), f.length);
    return {};
}

void Writer::SetDeleted(bool deleted) {
    if (building_) record_[0] = deleted ? '*' : ' ';
}

Status Writer::Post() {
    if (!building_) return Make(Error::NotOpen, path_ + ": no record begun");
    if (header_.record_count == std::numeric_limits<uint32_t>::max()) {
        return Make(Error::TooManyRecords, path_ + ": the table holds the most records it can count");
    }
    if (std::fwrite(record_.data(), 1, record_.size(), file_) != record_.size()) {
        return FailWrite("writing record " + std::to_string(header_.record_count + 1));
    }
    ++header_.record_count;
    building_ = false;
    return {};
}

Status Writer::Append(std::span<const std::pair<std::string_view, std::string_view>> values) {
    BeginRecord();
    if (!building_) return Make(Error::NotOpen, path_ + ": no table open");
    for (const auto& [name, text] : values) {
        Status s = Set(name, text);
        if (!s) {
            building_ = false;
            return s;
        }
    }
    return Post();
}

Status Writer::Close() {
    if (file_ == nullptr) return Make(Error::NotOpen, "no table open");
    building_ = false;
    const uint64_t end = header_.header_length + uint64_t{header_.record_count} * header_.record_length;
    uint8_t fixed[7];
    if (!date_set_) Today(date_);
    std::memcpy(fixed, date_, 3);
    PutLe32(fixed + 3, header_.record_count);
    const uint8_t marker = kEndMarker;
    if (std::fseek(file_, static_cast<long>(end), SEEK_SET) != 0 || std::fwrite(&marker, 1, 1, file_) != 1) {
        return FailWrite("writing the end marker");
    }
    if (std::fflush(file_) != 0 || !platform::TruncateFile(file_, end + 1)) {
        return FailWrite("ending the file");
    }
    if (std::fseek(file_, 1, SEEK_SET) != 0 || std::fwrite(fixed, 1, sizeof fixed, file_) != sizeof fixed) {
        return FailWrite("writing the record count");
    }
    if (std::fflush(file_) != 0 || !platform::SyncFile(file_)) return FailWrite("flushing");
    std::memcpy(header_.raw.data() + 1, fixed, sizeof fixed);
    header_.year = date_[0];
    header_.month = date_[1];
    header_.day = date_[2];
    const int closed = std::fclose(file_);
    file_ = nullptr;
    if (closed != 0) return FailWrite("closing");
    if (!temp_.empty()) {
        if (!platform::RenameFile(temp_, path_)) return FailWrite("renaming " + temp_ + " into place");
        temp_.clear();
    }
    return {};
}

void Writer::Abandon() {
    building_ = false;
    if (file_ != nullptr && temp_.empty()) {
        // Appending in place: cut the table back to its counted records and their end marker.
        const uint8_t marker = kEndMarker;
        if (std::fflush(file_) == 0 && platform::TruncateFile(file_, start_size_) &&
            std::fseek(file_, static_cast<long>(start_size_), SEEK_SET) == 0) {
            std::fwrite(&marker, 1, 1, file_);
        }
    }
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
    if (!temp_.empty()) std::remove(temp_.c_str());
    temp_.clear();
}

}  // namespace tarvix::dbf
