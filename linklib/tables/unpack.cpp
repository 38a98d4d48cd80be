#include "tables/unpack.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <optional>

#include "common/messages.h"
#include "common/records.h"
#include "platform/files.h"
#include "platform/prompt.h"

namespace tarvix::tables {
namespace {

constexpr size_t kPackedHeadLimit = kPackedHeaderSize + kPackedDescriptorSize * (kMaxPackedFields + 1);
// A header side file holds at most the header of 129 fields and the version-0x30 area.
constexpr size_t kHeaderFileLimit = 32 + 32 * (kMaxPackedFields + 1) + 1 + kDb30Area;

std::unique_ptr<uint8_t[]> GetWorkBuffer(size_t limit, size_t& size) {
    for (size = std::min(limit, kWorkBufferSize) / 2048 * 2048; size >= 2048; size -= 2048) {
        std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[size]);
        if (buffer) return buffer;
    }
    size = 0;
    return nullptr;
}

std::string_view NameOf(const uint8_t* p, size_t max) {
    return {reinterpret_cast<const char*>(p), strnlen(reinterpret_cast<const char*>(p), max)};
}

// Reads a whole small file, at most `limit` bytes of it.
std::optional<std::vector<uint8_t>> ReadSmallFile(const std::string& path, size_t limit) {
    platform::File f;
    if (!f.Open(path, "rb")) return std::nullopt;
    std::vector<uint8_t> bytes(limit);
    bytes.resize(f.Read(bytes.data(), bytes.size()));
    return bytes;
}

}  // namespace

UnpackResult PlanUnpacking(std::span<const uint8_t> head, uint64_t file_size, UnpackPlan& plan,
                           std::string& detail) {
    plan = UnpackPlan{};
    auto bad = [&](std::string why) {
        detail = std::move(why);
        return UnpackBadFormat;
    };
    if (head.size() < kPackedHeaderSize || file_size < kPackedHeaderSize)
        return bad("shorter than a packed header");
    const uint8_t* p = head.data();
    const size_t n = p[kPackedFieldCountAt];
    if (n < 1 || n > kMaxPackedFields) return bad(std::to_string(n) + " fields, not 1 to 128");
    const size_t descriptors_end = kPackedHeaderSize + kPackedDescriptorSize * n;
    if (file_size < descriptors_end || head.size() < descriptors_end) {
        return bad("file ends inside its " + std::to_string(n) + " field descriptors");
    }
    plan.field_count = n;
    plan.stored_count = GetLe16(p + kPackedCountAt);
    plan.packed_record_length = GetLe16(p + kPackedRecordLengthAt);
    if (plan.packed_record_length == 0) return bad("packed record length 0");

    const size_t h = 32 * n + 33;
    plan.header.assign(h, 0);
    uint8_t* d = plan.header.data();
    uint16_t from = 0, to = 1;
    for (size_t k = 0; k < n; ++k) {
        const uint8_t* q = p + kPackedHeaderSize + kPackedDescriptorSize * k;
        const char type = static_cast<char>(q[kPdType]);
        const uint8_t length = q[kPdLength];
        const bool number = type == 'N';
        if (length == 0) return bad("field " + std::to_string(k + 1) + " has length 0");
        if (q[kPdPackedLength] != PackedLength(type, length)) {
            return bad("field " + std::to_string(k + 1) + ": packed length " +
                       std::to_string(q[kPdPackedLength]) + " for " + std::to_string(length) + " characters");
        }
        if (GetLe16(q + kPdOffset) != from) {
            return bad("field " + std::to_string(k + 1) + " is not at packed offset " + std::to_string(from));
        }
        uint8_t* desc = d + kDbDescriptorsAt + kDbDescriptorSize * k;
        std::memcpy(desc, q, kPackedNameSize);
        desc[kDdType] = static_cast<uint8_t>(type);
        PutLe16(desc + kDdOffset, to);
        desc[kDdLength] = length;
        desc[kDdDecimals] = q[kPdDecimals];
        plan.steps.push_back({from, to, length, number});
        from = static_cast<uint16_t>(from + q[kPdPackedLength]);
        to = static_cast<uint16_t>(to + length);
    }
    if (from != plan.packed_record_length) {
        return bad("packed record length " + std::to_string(plan.packed_record_length) +
                   " differs from the descriptors' " + std::to_string(from));
    }
    plan.record_length = to;

    // The record count follows the data the file holds, whole records only.
    const uint64_t data = file_size - descriptors_end;
    plan.record_count =
        uint64_t{plan.stored_count} * plan.packed_record_length == data
            ? plan.stored_count
            : static_cast<uint32_t>(std::min<uint64_t>(data / plan.packed_record_length, UINT32_MAX));

    d[kDbVersionAt] = kDbVersion3;
    std::memcpy(d + 1, p, 3);
    PutLe32(d + kDbCountAt, plan.record_count);
    PutLe16(d + kDbHeaderLengthAt, static_cast<uint16_t>(h));
    PutLe16(d + kDbRecordLengthAt, plan.record_length);
    d[h - 1] = 0x0D;
    return UnpackOk;
}

bool ApplyHeaderFile(std::span<const uint8_t> dbi, UnpackPlan& plan, std::string& why) {
    auto no = [&](std::string reason) {
        why = std::move(reason);
        return false;
    };
    if (dbi.size() < 32) return no("shorter than a table header");
    const uint8_t version = dbi[kDbVersionAt];
    if (version != kDbVersion3 && version != kDbVersion30) return no("version " + std::to_string(version));
    size_t k = 0;
    while (kDbDescriptorsAt + kDbDescriptorSize * (k + 1) <= dbi.size() &&
           dbi[kDbDescriptorsAt + kDbDescriptorSize * k] != 0x0D && k <= plan.field_count + 1) {
        ++k;
    }
    const size_t n = plan.field_count;
    if (k != n && k != n + 1) {
        return no("holds " + std::to_string(k) + " descriptors for " + std::to_string(n) + " packed fields");
    }
    uint32_t sum = 1;
    for (size_t i = 0; i < k; ++i) {
        const uint8_t* d = dbi.data() + kDbDescriptorsAt + kDbDescriptorSize * i;
        if (d[kDdLength] == 0) return no("field " + std::to_string(i + 1) + " has length 0");
        sum += d[kDdLength];
        if (i == n) break;
        const uint8_t* mine = plan.header.data() + kDbDescriptorsAt + kDbDescriptorSize * i;
        if (NameOf(d, 11) != NameOf(mine, kPackedNameSize) || d[kDdLength] != mine[kDdLength] ||
            PacksAsNumber(static_cast<char>(d[kDdType])) != (mine[kDdType] == 'N')) {
            return no("field " + std::to_string(i + 1) + " differs from the packed table's");
        }
    }
    const uint16_t record_length = GetLe16(dbi.data() + kDbRecordLengthAt);
    if (record_length != sum) {
        return no("record length " + std::to_string(record_length) + " differs from its fields' " +
                  std::to_string(sum));
    }

    // The stored header length stands when it agrees with the descriptors it holds (the packer's rule
    // for the field count) and the file holds what packing keeps of such a header.
    const bool v30 = version == kDbVersion30;
    const size_t standard = v30 ? 32 * k + 296 : 32 * k + 33;
    const size_t stored = GetLe16(dbi.data() + kDbHeaderLengthAt);
    const bool stored_fits = stored >= standard && stored < standard + 32 - (v30 ? 0 : 1) &&
                             dbi.size() >= (v30 ? stored - 264 : stored - 1);
    const size_t h = stored_fits ? stored : standard;
    std::vector<uint8_t> header(h, 0);
    std::memcpy(header.data(), dbi.data(), std::min(h, dbi.size()));
    std::memcpy(header.data() + 1, plan.header.data() + 1, 7);  // date and record count as rebuilt
    PutLe16(header.data() + kDbHeaderLengthAt, static_cast<uint16_t>(h));
    const size_t terminator = kDbDescriptorsAt + kDbDescriptorSize * k;
    header[terminator] = 0x0D;
    if (v30) std::fill(header.begin() + terminator + 1, header.begin() + terminator + 1 + kDb30Area, 0);

    plan.header = std::move(header);
    plan.record_length = record_length;
    plan.drop_width = k == n + 1 ? dbi[kDbDescriptorsAt + kDbDescriptorSize * n + kDdLength] : 0;
    plan.used_header_file = true;
    return true;
}

void UnpackRecords(const UnpackPlan& plan, const uint8_t* packed, size_t count, uint8_t* out) {
    const size_t drop_at = plan.record_length - plan.drop_width;
    for (size_t r = 0; r < count; ++r) {
        out[0] = ' ';
        for (const UnpackPlan::Step& step : plan.steps) {
            const uint8_t* s = packed + step.from;
            char* d = reinterpret_cast<char*>(out + step.to);
            size_t left = step.length;
            if (!step.number) {
                std::memcpy(d, s, left);
                continue;
            }
            if (left & 1) {
                *d++ = kCharOf[*s++ & 0xF];
                --left;
            }
            for (; left != 0; left -= 2, d += 2) std::memcpy(d, kCharsOf[*s++].data(), 2);
        }
        std::memset(out + drop_at, 0, plan.drop_width);
        packed += plan.packed_record_length;
        out += plan.record_length;
    }
}

void TableUnpacker::Reset(const std::string& path) {
    result_ = UnpackOk;
    detail_.clear();
    used_header_file_ = false;
    drop_width_ = 0;
    records_ = 0;
    path_ = path;
}

int16_t TableUnpacker::Fail(int16_t result, std::string detail) {
    result_ = result;
    detail_ = path_ + ": " + std::move(detail);
    return result;
}

void TableUnpacker::ShowFailureBox() const {
    if (!FailureCallsForBox()) return;
    const std::string text = bf::Prompt(bf::BfPrompt::DbfFormat);
    const std::string caption = bf::Prompt(bf::BfPrompt::ErrorCaption);
    platform::ShowMessageBox(text.c_str(), caption.c_str(), TARVIX_MB_OK);
}

int16_t TableUnpacker::UnpackFile(const std::string& packed_path, const std::string& header_path,
                                  platform::File& output) {
    Reset(packed_path);
    return Unpack(packed_path, header_path, output);
}

int16_t TableUnpacker::Unpack(const std::string& packed_path, const std::string& header_path,
                              platform::File& output) {
    platform::File input;
    if (!input.Open(packed_path, "rb")) return Fail(UnpackFileError, "cannot be opened");
    const auto size = input.Size();
    if (!size) return Fail(UnpackFileError, "cannot learn its size");
    std::vector<uint8_t> head(kPackedHeadLimit);
    head.resize(input.Read(head.data(), head.size()));

    UnpackPlan plan;
    std::string why;
    if (PlanUnpacking(head, *size, plan, why) != UnpackOk) return Fail(UnpackBadFormat, why);
    if (!header_path.empty()) {
        if (auto dbi = ReadSmallFile(header_path, kHeaderFileLimit)) {
            if (!ApplyHeaderFile(*dbi, plan, why)) detail_ = header_path + " not used: " + why;
        }
    }
    used_header_file_ = plan.used_header_file;
    drop_width_ = plan.drop_width;

    size_t buffer_size = 0;
    std::unique_ptr<uint8_t[]> buffer = GetWorkBuffer(work_limit_, buffer_size);
    const size_t per_chunk = buffer_size / (size_t{plan.record_length} + plan.packed_record_length);
    if (per_chunk == 0) {
        return Fail(UnpackBadFormat, "a record of " + std::to_string(plan.record_length) +
                                         " bytes does not fit the work buffer");
    }
    uint8_t* records = buffer.get();
    uint8_t* packed = buffer.get() + per_chunk * plan.record_length;

    const size_t descriptors_end = kPackedHeaderSize + kPackedDescriptorSize * plan.field_count;
    if (output.Write(plan.header.data(), plan.header.size()) != plan.header.size()) {
        return Fail(UnpackFileError, "cannot write the unpacked table");
    }
    if (!input.Seek(static_cast<int64_t>(descriptors_end))) return Fail(UnpackShortRead, "seek failed");
    for (uint32_t left = plan.record_count; left > 0;) {
        const size_t chunk = std::min<size_t>(left, per_chunk);
        const size_t whole =
            input.Read(packed, chunk * plan.packed_record_length) / plan.packed_record_length;
        if (whole < chunk) {
            return Fail(UnpackShortRead, "read yielded " + std::to_string(records_ + whole) + " of " +
                                             std::to_string(plan.record_count) + " records");
        }
        UnpackRecords(plan, packed, chunk, records);
        const size_t bytes = chunk * plan.record_length;
        if (output.Write(records, bytes) != bytes)
            return Fail(UnpackFileError, "cannot write the unpacked table");
        records_ += static_cast<uint32_t>(chunk);
        left -= static_cast<uint32_t>(chunk);
    }
    const uint8_t end = 0x1A;
    if (output.Write(&end, 1) != 1) return Fail(UnpackFileError, "cannot write the unpacked table");
    return UnpackOk;
}

int16_t TableUnpacker::bfUnpackTable(const std::string& path) {
    Reset(path);
    const auto download = platform::FindExisting(path);
    if (path.empty() || !download) return Fail(UnpackFileError, "no downloaded file");
    const std::string aside = PackedAsideName(*download);
    const std::string dbi_name = DownloadHeaderFileName(*download);
    // A file under the aside name (left by an earlier run) would be read in place of this download.
    if (platform::FileExists(aside)) return Fail(UnpackFileError, aside + " already exists");
    if (!platform::RenameFile(*download, aside)) return Fail(UnpackFileError, "cannot be moved to " + aside);

    // From here on a failure puts the download back under its name, as it came, and the box comes
    // after that.
    platform::ReplacementFile output(*download);
    if (!output.Open()) {
        Fail(UnpackFileError, "cannot write " + *download);
    } else if (Unpack(aside, dbi_name, output.file()) == UnpackOk) {
        if (output.Commit()) {
            platform::RemoveFile(aside);
            platform::RemoveFile(dbi_name);
            return UnpackOk;
        }
        Fail(UnpackFileError, "cannot write " + *download);
    }
    output.Abandon();
    if (!platform::RenameFile(aside, *download)) detail_ += "; the download stays as " + aside;
    ShowFailureBox();
    return result_;
}

}  // namespace tarvix::tables
