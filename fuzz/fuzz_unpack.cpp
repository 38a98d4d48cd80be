// Unpacking any bytes as a packed table from the handheld, with any bytes as its header side file: the
// first two input bytes give the side file's length, the next bytes are the side file, the rest the
// packed table.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "tables/unpack.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tarvix::tables;
    if (size < 2) return 0;
    const size_t dbi_length = std::min<size_t>(size - 2, data[0] | (data[1] << 8));
    const uint8_t* dbi = data + 2;
    const uint8_t* packed = dbi + dbi_length;
    const size_t packed_size = size - 2 - dbi_length;

    UnpackPlan plan;
    std::string why;
    if (PlanUnpacking({packed, packed_size}, packed_size, plan, why) != UnpackOk) return 0;
    if (dbi_length > 0) ApplyHeaderFile({dbi, dbi_length}, plan, why);

    // The plan must describe what it will write.
    const size_t h = plan.header[8] | (plan.header[9] << 8);
    if (h != plan.header.size() || (plan.header[10] | (plan.header[11] << 8)) != plan.record_length) {
        __builtin_trap();
    }
    size_t end = 1;
    for (const auto& s : plan.steps) {
        if (s.to != end) __builtin_trap();
        end += s.length;
    }
    if (end + plan.drop_width != plan.record_length) __builtin_trap();
    const size_t data_at = 16 + 16 * plan.field_count;
    if (data_at + size_t{plan.record_count} * plan.packed_record_length > packed_size) __builtin_trap();

    std::vector<uint8_t> out(size_t{plan.record_count} * plan.record_length);
    UnpackRecords(plan, packed + data_at, plan.record_count, out.data());
    for (size_t r = 0; r < plan.record_count; ++r) {
        if (out[r * plan.record_length] != ' ') __builtin_trap();
    }
    return 0;
}
