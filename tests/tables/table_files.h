// Helpers of the table tests: a scratch folder per test and dBase tables built byte by byte.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace tablestest {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

inline Bytes Slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

inline void Spill(const fs::path& p, const Bytes& bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline uint16_t Le16(const Bytes& b, size_t at) {
    return static_cast<uint16_t>(b.at(at) | (b.at(at + 1) << 8));
}
inline uint32_t Le32(const Bytes& b, size_t at) {
    return b.at(at) | (b.at(at + 1) << 8) | (b.at(at + 2) << 16) |
           (static_cast<uint32_t>(b.at(at + 3)) << 24);
}
inline void Put16(Bytes& b, size_t at, uint32_t v) {
    b.at(at) = static_cast<uint8_t>(v);
    b.at(at + 1) = static_cast<uint8_t>(v >> 8);
}
inline void Put32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.at(at + i) = static_cast<uint8_t>(v >> (8 * i));
}
inline Bytes Of(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

struct TField {
    std::string name;
    char type = 'C';
    uint8_t length = 1;
    uint8_t decimals = 0;
    uint8_t flags = 0;
};

// A dBase table as bytes: standard header of its version (32n + 33, or 32n + 296 for 0x30), descriptors
// with the field offset in bytes 12-13, records given whole (deletion flag first), and the end marker.
struct TTable {
    uint8_t version = 3;
    uint8_t date[3] = {126, 12, 10};
    std::vector<TField> fields;
    std::vector<std::string> records;
    bool end_marker = true;
    int64_t count = -1;    // stored record count; -1: the number of records
    int header_extra = 0;  // bytes added to the header length
    Bytes area;            // the 0x30 area after the terminator (zeros when empty)

    size_t record_length() const {
        size_t n = 1;
        for (const auto& f : fields) n += f.length;
        return n;
    }
    size_t header_length() const {
        return 32 * fields.size() + (version == 0x30 ? 296 : 33) + static_cast<size_t>(header_extra);
    }
    Bytes Build() const {
        const size_t h = header_length();
        Bytes b(h, 0);
        b[0] = version;
        b[1] = date[0];
        b[2] = date[1];
        b[3] = date[2];
        Put32(b, 4, count < 0 ? static_cast<uint32_t>(records.size()) : static_cast<uint32_t>(count));
        Put16(b, 8, static_cast<uint32_t>(h));
        Put16(b, 10, static_cast<uint32_t>(record_length()));
        size_t offset = 1;
        for (size_t k = 0; k < fields.size(); ++k) {
            uint8_t* d = &b[32 + 32 * k];
            std::copy(fields[k].name.begin(), fields[k].name.end(), d);
            d[11] = static_cast<uint8_t>(fields[k].type);
            d[12] = static_cast<uint8_t>(offset);
            d[13] = static_cast<uint8_t>(offset >> 8);
            d[16] = fields[k].length;
            d[17] = fields[k].decimals;
            d[18] = fields[k].flags;
            offset += fields[k].length;
        }
        const size_t terminator = 32 + 32 * fields.size();
        b[terminator] = 0x0D;
        for (size_t i = 0; i < area.size() && terminator + 1 + i < h; ++i) b[terminator + 1 + i] = area[i];
        for (const auto& r : records) b.insert(b.end(), r.begin(), r.end());
        if (end_marker) b.push_back(0x1A);
        return b;
    }
};

// A scratch folder for one test.
class TableDir : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("tables_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->test_suite_name() + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string At(const std::string& name) const { return (dir_ / name).string(); }
    bool Exists(const std::string& name) const { return fs::exists(dir_ / name); }
    std::vector<std::string> Listing() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    fs::path dir_;
};

}  // namespace tablestest
