// The dBase reader on any bytes: the header is checked, the records read, every field taken as text.
#include <cstdint>
#include <cstdio>
#include <string>

#include "tables/dbf.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tarvix::dbf;
    Header header;
    if (ParseHeader({data, size}, header)) {
        if (header.raw.size() != header.header_length) __builtin_trap();
        uint32_t end = 1;
        for (const Field& f : header.fields) {
            if (f.offset != end) __builtin_trap();
            end += f.length;
        }
        if (end != header.record_length) __builtin_trap();
    }
    if (size == 0) return 0;
    std::FILE* f = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (f == nullptr) return 0;
    Reader reader;
    if (!reader.Attach(f, "fuzz")) return 0;
    size_t records = 0;
    while (reader.Next()) {
        if (reader.record().size() != reader.header().record_length) __builtin_trap();
        for (size_t k = 0; k < reader.fields().size(); ++k) {
            if (reader.Raw(k).size() != reader.fields()[k].length) __builtin_trap();
            (void)reader.Text(k);
        }
        std::string text;
        (void)reader.Text(reader.fields().front().name, text);
        ++records;
    }
    if (records > reader.record_count()) __builtin_trap();
    if (reader.status() && records != reader.record_count()) __builtin_trap();
    return 0;
}
