// The handheld's reading fill-in for the desk's task table, in both layouts.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "sim/hhsim.h"
#include "tests/sim/tables.h"

namespace {

namespace fs = std::filesystem;
using simtest::TaskFields;

std::vector<std::uint8_t> ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const fs::path& p, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(p, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// The fields of one record as text, by name.
std::map<std::string, std::string> Record(const std::vector<std::uint8_t>& t, int r, bool packed) {
    std::map<std::string, std::string> out;
    const auto& fields = TaskFields();
    if (!packed) {
        std::size_t header = t[8] | (t[9] << 8), reclen = t[10] | (t[11] << 8);
        std::size_t at = header + r * reclen + 1;
        for (const auto& f : fields) {
            out[f.name] =
                std::string(t.begin() + static_cast<long>(at), t.begin() + static_cast<long>(at + f.length));
            at += f.length;
        }
        return out;
    }
    std::size_t start = 16 * (fields.size() + 1), reclen = t[13] | (t[14] << 8);
    std::size_t at = start + r * reclen;
    for (const auto& f : fields) {
        std::string text;
        if (f.type == 'N') {
            static const char kChars[] = "0123456789.-+ **";
            std::size_t bytes = (f.length + 1) / 2;
            for (std::size_t i = 0; i < bytes; ++i) {
                text.push_back(kChars[t[at + i] >> 4]);
                text.push_back(kChars[t[at + i] & 0xF]);
            }
            if (f.length % 2) text.erase(text.begin());
            at += bytes;
        } else {
            text.assign(t.begin() + static_cast<long>(at), t.begin() + static_cast<long>(at + f.length));
            at += f.length;
        }
        out[f.name] = text;
    }
    return out;
}

class Readings : public ::testing::TestWithParam<bool> {};

TEST_P(Readings, FillsReadingFieldsAndKeepsTheRest) {
    bool packed = GetParam();
    fs::path dir = fs::temp_directory_path() / ("hhsim-readings-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    fs::path table = dir / "A.DBF";
    auto original = packed ? simtest::PackedTable(3) : simtest::DbaseTable(3);
    WriteFile(table, original);
    ASSERT_EQ(hhsim::FillReadings(table, packed, 7), 3);
    auto filled = ReadFile(table);
    ASSERT_EQ(filled.size(), original.size());
    for (int r = 0; r < 3; ++r) {
        auto before = Record(original, r, packed);
        auto after = Record(filled, r, packed);
        EXPECT_EQ(after["nid"], before["nid"]);
        EXPECT_EQ(after["CID"], before["CID"]);
        for (const char* name : {"PA", "A1", "RV", "RDS"}) {
            const std::string& v = after[name];
            char* end = nullptr;
            double d = std::strtod(v.c_str(), &end);
            EXPECT_GT(d, 0) << name << " '" << v << "'";
            EXPECT_EQ(std::string(end).find_first_not_of(' '), std::string::npos) << name << " '" << v << "'";
            EXPECT_NE(v.back(), ' ') << name;  // numbers stand right
        }
        EXPECT_EQ(after["PA"].substr(after["PA"].size() - 3, 1), ".");  // two decimals
        EXPECT_EQ(after["CRQ"].find_first_not_of("0123456789"), std::string::npos) << after["CRQ"];
        EXPECT_EQ(after["CTM"].substr(2, 1), ":");
        EXPECT_EQ(after["Reason"].substr(0, 2), "OK");
    }
    // Deterministic from the seed.
    WriteFile(table, original);
    hhsim::FillReadings(table, packed, 7);
    EXPECT_EQ(ReadFile(table), filled);
    fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Layouts, Readings, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Packed" : "Dbase"; });

TEST(ReadingsRefuse, FilesOfAnotherShape) {
    fs::path p = fs::temp_directory_path() / ("hhsim-notatable-" + std::to_string(::getpid()));
    WriteFile(p, std::vector<std::uint8_t>(10, 0x41));
    EXPECT_EQ(hhsim::FillReadings(p, false, 1), -1);
    EXPECT_EQ(hhsim::FillReadings(p, true, 1), -1);
    EXPECT_EQ(ReadFile(p), std::vector<std::uint8_t>(10, 0x41));
    fs::remove(p);
}

}  // namespace
