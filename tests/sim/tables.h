// Small task tables written byte by byte, as the desk's template would make them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace simtest {

struct FieldSpec {
    std::string name;
    char type;
    std::uint8_t length;
    std::uint8_t decimals;
};

inline const std::vector<FieldSpec>& TaskFields() {
    static const std::vector<FieldSpec> fields = {
        {"nid", 'N', 5, 0}, {"CID", 'C', 10, 0},    {"PA", 'N', 12, 2},
        {"A1", 'N', 12, 2}, {"RV", 'N', 6, 1},      {"CRQ", 'D', 8, 0},
        {"CTM", 'C', 8, 0}, {"Reason", 'C', 20, 0}, {"RDS", 'N', 3, 0},
    };
    return fields;
}

// A dBase III table of `records` meters, reading fields blank.
inline std::vector<std::uint8_t> DbaseTable(int records) {
    const auto& fields = TaskFields();
    std::size_t reclen = 1;
    for (const auto& f : fields) reclen += f.length;
    std::size_t header = 32 + 32 * fields.size() + 1;
    std::vector<std::uint8_t> t(header, 0);
    t[0] = 0x03;
    t[1] = 126;
    t[2] = 12;
    t[3] = 10;
    t[4] = static_cast<std::uint8_t>(records);
    t[8] = static_cast<std::uint8_t>(header & 0xFF);
    t[9] = static_cast<std::uint8_t>(header >> 8);
    t[10] = static_cast<std::uint8_t>(reclen);
    for (std::size_t i = 0; i < fields.size(); ++i) {
        std::uint8_t* d = &t[32 + 32 * i];
        std::copy(fields[i].name.begin(), fields[i].name.end(), d);
        d[11] = static_cast<std::uint8_t>(fields[i].type);
        d[16] = fields[i].length;
        d[17] = fields[i].decimals;
    }
    t[header - 1] = 0x0D;
    for (int r = 0; r < records; ++r) {
        std::string rec = " ";
        char nid[16];
        std::snprintf(nid, sizeof nid, "%5d", r + 1);
        rec += nid;
        rec += "C" + std::to_string(1000 + r) + "     ";
        for (std::size_t i = 2; i < fields.size(); ++i) rec += std::string(fields[i].length, ' ');
        t.insert(t.end(), rec.begin(), rec.end());
    }
    t.push_back(0x1A);
    return t;
}

// The same table in the byte-frame handheld's packed layout.
inline std::vector<std::uint8_t> PackedTable(int records) {
    const auto& fields = TaskFields();
    std::vector<std::uint8_t> t(16 * (fields.size() + 1), 0);
    t[0] = 126;
    t[1] = 12;
    t[2] = 10;
    for (int i = 3; i < 11; ++i) t[i] = ' ';
    t[11] = static_cast<std::uint8_t>(records);
    std::size_t offset = 0;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        std::uint8_t* d = &t[16 + 16 * i];
        std::copy(fields[i].name.begin(), fields[i].name.end(), d);
        bool numeric = fields[i].type == 'N';
        std::size_t packed = numeric ? (fields[i].length + 1) / 2 : fields[i].length;
        d[10] = numeric ? 'N' : 'C';
        d[11] = static_cast<std::uint8_t>(packed);
        d[12] = fields[i].length;
        d[13] = fields[i].decimals;
        d[14] = static_cast<std::uint8_t>(offset);
        offset += packed;
    }
    t[13] = static_cast<std::uint8_t>(offset);
    t[15] = static_cast<std::uint8_t>(fields.size());
    for (int r = 0; r < records; ++r) {
        for (const auto& f : fields) {
            if (f.type == 'N') {
                t.insert(t.end(), (f.length + 1) / 2, 0xDD);  // blanks
            } else {
                t.insert(t.end(), f.length, ' ');
            }
        }
    }
    return t;
}

}  // namespace simtest
