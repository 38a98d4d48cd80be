// Packing any bytes taken as a dBase table: the header plan is checked, the records present packed, and
// whatever packing accepts must be a packed table that unpacking accepts and expands.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "tables/pack.h"
#include "tables/unpack.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tarvix::tables;
    const size_t head = std::min<size_t>(size, 4150);
    PackPlan plan;
    std::string why;
    if (PlanPacking({data, head}, plan, why) != PackFailure::None) {
        if (why.empty()) __builtin_trap();
        return 0;
    }
    const size_t n = plan.steps.size();
    if (n < 1 || n > 128 || plan.packed_header.size() != 16 + 16 * n) __builtin_trap();
    size_t records = 0;
    if (size > plan.header_length) records = (size - plan.header_length) / plan.record_length;
    records = std::min<size_t>(records, plan.record_count);
    std::vector<uint8_t> packed = plan.packed_header;
    packed.resize(packed.size() + records * plan.packed_record_length);
    PackRecords(plan, data + plan.header_length, records, packed.data() + plan.packed_header.size());

    UnpackPlan back;
    if (PlanUnpacking(packed, packed.size(), back, why) != UnpackOk) __builtin_trap();
    if (back.record_count != records || back.field_count != n) __builtin_trap();
    std::vector<uint8_t> out(records * back.record_length);
    UnpackRecords(back, packed.data() + plan.packed_header.size(), records, out.data());
    // Character fields come back unchanged.
    for (size_t r = 0; r < records; ++r) {
        const uint8_t* src = data + plan.header_length + r * plan.record_length;
        const uint8_t* dst = out.data() + r * back.record_length;
        for (size_t k = 0; k < n; ++k) {
            const auto& s = plan.steps[k];
            if (!s.number && !std::equal(src + s.from, src + s.from + s.length, dst + back.steps[k].to)) {
                __builtin_trap();
            }
        }
    }
    return 0;
}
