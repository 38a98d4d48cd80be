#include "tables/pack.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "common/codes.h"
#include "common/records.h"
#include "platform/files.h"

namespace tarvix::tables {
namespace {

constexpr size_t kHeaderBufferSize = 4150;
constexpr uint32_t kMostPackedRecords = 65534;

// The smallest header (table header, descriptors and what follows them) of m fields.
size_t MinimumHeader(uint8_t version, size_t m) {
    return version == kDbVersion30 ? 32 * m + 296 : 32 * m + 33;
}

// Work buffer as the handheld tools size it: as large as it can be had, falling by 2048 bytes.
std::unique_ptr<uint8_t[]> GetWorkBuffer(size_t limit, size_t& size) {
    for (size = std::min(limit, kWorkBufferSize) / 2048 * 2048; size >= 2048; size -= 2048) {
        std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[size]);
        if (buffer) return buffer;
    }
    size = 0;
    return nullptr;
}

}  // namespace

const char* PackFailureName(PackFailure failure) {
    switch (failure) {
        case PackFailure::None:
            return "packed";
        case PackFailure::CannotOpen:
            return "table cannot be opened";
        case PackFailure::BadHeader:
            return "table header unusable";
        case PackFailure::TooManyRecords:
            return "more than 65534 records";
        case PackFailure::NoRoom:
            return "record too long for the work buffer";
        case PackFailure::ReadFailed:
            return "read failed part-way";
        case PackFailure::ShortTable:
            return "table shorter than its record count";
        case PackFailure::WriteFailed:
            return "packed file cannot be written";
    }
    return "unknown";
}

uint32_t PackErrorCode(PackFailure failure) {
    switch (failure) {
        case PackFailure::None:
            return ErrNone;
        case PackFailure::CannotOpen:
            return ErrFileNotFound;
        case PackFailure::ReadFailed:
            return ErrReadFile;
        case PackFailure::WriteFailed:
            return ErrWriteFile;
        case PackFailure::BadHeader:
        case PackFailure::TooManyRecords:
        case PackFailure::NoRoom:
        case PackFailure::ShortTable:
            return ErrBadFile;
    }
    return ErrBadFile;
}

PackFailure PlanPacking(std::span<const uint8_t> header, PackPlan& plan, std::string& detail) {
    plan = PackPlan{};
    auto bad = [&](std::string why) {
        detail = std::move(why);
        return PackFailure::BadHeader;
    };
    if (header.size() < 32) return bad("shorter than a table header");
    const uint8_t* h = header.data();
    plan.version = h[kDbVersionAt];
    plan.record_count = GetLe32(h + kDbCountAt);
    plan.header_length = GetLe16(h + kDbHeaderLengthAt);
    plan.record_length = GetLe16(h + kDbRecordLengthAt);
    const bool v30 = plan.version == kDbVersion30;
    const size_t base = v30 ? 296 : 32;
    const size_t m = plan.header_length >= base ? (plan.header_length - base) / 32 : 0;
    if (m < 1 || m > kMaxPackedFields) {
        return bad("header length " + std::to_string(plan.header_length) + " gives " + std::to_string(m) +
                   " fields, not 1 to 128");
    }
    if (plan.header_length < MinimumHeader(plan.version, m)) {
        return bad("header length " + std::to_string(plan.header_length) +
                   " leaves no room for the terminator");
    }
    if (header.size() < kDbDescriptorsAt + kDbDescriptorSize * m) {
        return bad("file ends inside its field descriptors");
    }
    plan.field_count = m;

    // Field scan: the first flagged or date field decides whether the header is kept and whether the
    // last field is left out of the packed records.
    bool drop = false;
    if (plan.version == kDbVersion3 || v30) {
        for (size_t k = 0; k < m; ++k) {
            const uint8_t* d = h + kDbDescriptorsAt + kDbDescriptorSize * k;
            if ((d[kDdFlags] & 0x03) != 0) {
                plan.side_file = drop = true;
                break;
            }
            if (d[kDdType] == 'D') {
                plan.side_file = true;
                break;
            }
        }
    }
    if (plan.side_file) {
        plan.side_file_length = v30 ? plan.header_length - 264u : plan.header_length - 1u;
        if (plan.side_file_length > header.size()) return bad("file ends inside its header");
    }

    uint32_t sum = 1;
    for (size_t k = 0; k < m; ++k) {
        const uint8_t length = h[kDbDescriptorsAt + kDbDescriptorSize * k + kDdLength];
        if (length == 0) return bad("field " + std::to_string(k + 1) + " has length 0");
        sum += length;
    }
    if (sum != plan.record_length) {
        return bad("record length " + std::to_string(plan.record_length) +
                   " differs from 1 + the field lengths (" + std::to_string(sum) + ")");
    }
    const size_t n = drop ? m - 1 : m;
    if (n == 0) return bad("no field is left to pack");

    plan.packed_header.assign(kPackedHeaderSize + kPackedDescriptorSize * n, 0);
    uint8_t* p = plan.packed_header.data();
    std::memcpy(p, h + 1, 3);
    std::memset(p + 3, ' ', 8);
    PutLe16(p + kPackedCountAt, static_cast<uint16_t>(plan.record_count));
    p[kPackedFieldCountAt] = static_cast<uint8_t>(n);
    uint16_t from = 1, to = 0;
    for (size_t k = 0; k < n; ++k) {
        const uint8_t* d = h + kDbDescriptorsAt + kDbDescriptorSize * k;
        uint8_t* q = p + kPackedHeaderSize + kPackedDescriptorSize * k;
        std::memcpy(q, d, strnlen(reinterpret_cast<const char*>(d), kPackedNameSize));
        const bool number = PacksAsNumber(static_cast<char>(d[kDdType]));
        const uint8_t length = d[kDdLength];
        const auto packed = static_cast<uint16_t>(PackedLength(number ? 'N' : 'C', length));
        q[kPdType] = number ? 'N' : 'C';
        q[kPdPackedLength] = static_cast<uint8_t>(packed);
        q[kPdLength] = length;
        q[kPdDecimals] = d[kDdDecimals];
        PutLe16(q + kPdOffset, to);
        plan.steps.push_back({from, to, length, number});
        from = static_cast<uint16_t>(from + length);
        to = static_cast<uint16_t>(to + packed);
    }
    if (drop) plan.drop_width = h[kDbDescriptorsAt + kDbDescriptorSize * (m - 1) + kDdLength];
    plan.packed_record_length = to;
    PutLe16(p + kPackedRecordLengthAt, to);
    return PackFailure::None;
}

void PackRecords(const PackPlan& plan, const uint8_t* records, size_t count, uint8_t* out) {
    for (size_t r = 0; r < count; ++r) {
        for (const PackPlan::Step& step : plan.steps) {
            const uint8_t* s = records + step.from;
            uint8_t* d = out + step.to;
            size_t left = step.length;
            if (!step.number) {
                std::memcpy(d, s, left);
                continue;
            }
            if (left & 1) {
                *d++ = static_cast<uint8_t>((kPadCode << 4) | kNibbleOf[*s++]);
                --left;
            }
            for (; left != 0; left -= 2, s += 2)
                *d++ = static_cast<uint8_t>((kNibbleOf[s[0]] << 4) | kNibbleOf[s[1]]);
        }
        records += plan.record_length;
        out += plan.packed_record_length;
    }
}

int32_t TablePacker::Fail(PackFailure failure, std::string detail) {
    failure_ = failure;
    detail_ = source_name_ + ": " + std::move(detail);
    return 1;
}

int32_t TablePacker::bfPackTable(const std::string& path) {
    failure_ = PackFailure::None;
    detail_.clear();
    wrote_dbi_ = false;
    drop_width_ = 0;
    records_packed_ = 0;
    source_name_ = path;
    dbc_name_ = PackedName(path);
    dbi_name_ = HeaderFileName(path);

    platform::File source;
    if (path.empty() || !source.Open(path, "rb")) return Fail(PackFailure::CannotOpen, "cannot be opened");
    std::vector<uint8_t> head(kHeaderBufferSize);
    head.resize(source.Read(head.data(), head.size()));

    PackPlan plan;
    std::string why;
    if (PlanPacking(head, plan, why) != PackFailure::None) return Fail(PackFailure::BadHeader, why);
    drop_width_ = plan.drop_width;

    if (plan.side_file) {
        platform::ReplacementFile dbi(dbi_name_);
        if (!dbi.Open() || dbi.file().Write(head.data(), plan.side_file_length) != plan.side_file_length ||
            !dbi.Commit()) {
            return Fail(PackFailure::WriteFailed, dbi_name_ + " cannot be written");
        }
        wrote_dbi_ = true;
    } else if (platform::FileExists(dbi_name_)) {
        // A side file from an earlier version of the table would be sent with this one and misread.
        platform::RemoveFile(dbi_name_);
    }

    platform::ReplacementFile dbc(dbc_name_);
    if (!dbc.Open() ||
        dbc.file().Write(plan.packed_header.data(), plan.packed_header.size()) != plan.packed_header.size()) {
        return Fail(PackFailure::WriteFailed, dbc_name_ + " cannot be written");
    }
    // Ends with result 1, keeping the packed file with what was packed so far; a file cut short by the
    // table's end or a failed read states the records it holds.
    auto finish_short = [&](PackFailure failure, std::string detail) {
        const bool recount = failure == PackFailure::ReadFailed || failure == PackFailure::ShortTable;
        uint8_t count[2];
        PutLe16(count, static_cast<uint16_t>(records_packed_));
        if (recount && records_packed_ != plan.record_count &&
            (!dbc.file().Seek(kPackedCountAt) || dbc.file().Write(count, 2) != 2)) {
            dbc.Abandon();
            return Fail(PackFailure::WriteFailed, dbc_name_ + " cannot be written");
        }
        if (!dbc.Commit()) return Fail(PackFailure::WriteFailed, dbc_name_ + " cannot be written");
        return Fail(failure, std::move(detail));
    };

    if (plan.record_count > kMostPackedRecords) {
        return finish_short(PackFailure::TooManyRecords,
                            std::to_string(plan.record_count) + " records, the handheld takes 65534");
    }
    size_t buffer_size = 0;
    std::unique_ptr<uint8_t[]> buffer = GetWorkBuffer(work_limit_, buffer_size);
    const size_t per_chunk = buffer_size / (size_t{plan.record_length} + plan.packed_record_length);
    if (per_chunk == 0) {
        return finish_short(PackFailure::NoRoom, "a record of " + std::to_string(plan.record_length) +
                                                     " bytes does not fit the work buffer");
    }
    uint8_t* records = buffer.get();
    uint8_t* packed = buffer.get() + per_chunk * plan.record_length;
    const uint64_t needed = plan.header_length + uint64_t{plan.record_count} * plan.record_length;
    uint64_t offset = plan.header_length;
    for (uint32_t left = plan.record_count; left > 0;) {
        const size_t chunk = std::min<size_t>(left, per_chunk);
        if (!source.Seek(static_cast<int64_t>(offset))) {
            return finish_short(PackFailure::ReadFailed,
                                "seek failed after " + std::to_string(records_packed_) + " records");
        }
        const size_t whole = source.Read(records, chunk * plan.record_length) / plan.record_length;
        PackRecords(plan, records, whole, packed);
        const size_t bytes = whole * plan.packed_record_length;
        if (dbc.file().Write(packed, bytes) != bytes) {
            dbc.Abandon();
            return Fail(PackFailure::WriteFailed, dbc_name_ + " cannot be written");
        }
        records_packed_ += static_cast<uint32_t>(whole);
        if (whole < chunk) {
            const auto size = source.Size();
            const bool short_file = size && *size < needed;
            return finish_short(short_file ? PackFailure::ShortTable : PackFailure::ReadFailed,
                                (short_file ? "the file holds " : "read failed after ") +
                                    std::to_string(records_packed_) + " of " +
                                    std::to_string(plan.record_count) + " records");
        }
        offset += uint64_t{chunk} * plan.record_length;
        left -= static_cast<uint32_t>(chunk);
    }
    if (!dbc.Commit()) return Fail(PackFailure::WriteFailed, dbc_name_ + " cannot be written");
    return 0;
}

}  // namespace tarvix::tables
