// The dBase module: layout of the tables we write, reading them back, values as dBase stores them.
#include "tables/dbf.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "tables/table_files.h"

namespace fs = std::filesystem;
using namespace tarvix::dbf;

namespace {

using tablestest::Le16;
using tablestest::Le32;
using tablestest::Slurp;
using tablestest::Spill;

// A scratch folder per test; its Listing() shows that a write leaves nothing beside its table.
class DbfTest : public tablestest::TableDir {
  protected:
    // The task-table template the desk copies: a few of its fields.
    std::string MakeTemplate() {
        Writer w;
        EXPECT_TRUE(w.Create(At("B.DBF"), {{"nid", 'N', 6, 0},
                                           {"cid", 'C', 12, 0},
                                           {"addres", 'C', 30, 0},
                                           {"PA", 'N', 10, 2},
                                           {"CRQ", 'D', 8, 0}}));
        w.SetUpdateDate(2026, 12, 10);
        EXPECT_TRUE(w.Close());
        return At("B.DBF");
    }
};

TEST_F(DbfTest, WrittenTableHasTheDbase3Layout) {
    Writer w;
    ASSERT_TRUE(w.Create(At("t.dbf"), {{"NAME", 'C', 5, 0}, {"qty", 'N', 4, 1}}));
    w.SetUpdateDate(2026, 12, 10);
    const std::pair<std::string_view, std::string_view> r1[] = {{"name", "ab"}, {"QTY", "2.25"}};
    const std::pair<std::string_view, std::string_view> r2[] = {{"qty", "-3"}};
    ASSERT_TRUE(w.Append(r1));
    ASSERT_TRUE(w.Append(r2));
    ASSERT_TRUE(w.Close());
    EXPECT_EQ(Listing(), std::vector<std::string>{"t.dbf"});

    const auto b = Slurp(At("t.dbf"));
    const size_t h = 32 + 2 * 32 + 1;
    ASSERT_EQ(b.size(), h + 2 * 10 + 1);
    EXPECT_EQ(b[0], 0x03);
    EXPECT_EQ(b[1], 126);
    EXPECT_EQ(b[2], 12);
    EXPECT_EQ(b[3], 10);
    EXPECT_EQ(Le32(b, 4), 2u);
    EXPECT_EQ(Le16(b, 8), h);
    EXPECT_EQ(Le16(b, 10), 10);
    for (size_t i = 12; i < 32; ++i) EXPECT_EQ(b[i], 0) << i;
    // Descriptors: name NUL-padded in 11 bytes, type, length, decimals.
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[32])), "NAME");
    EXPECT_EQ(b[32 + 11], 'C');
    EXPECT_EQ(b[32 + 16], 5);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[64])), "qty");
    EXPECT_EQ(b[64 + 11], 'N');
    EXPECT_EQ(b[64 + 16], 4);
    EXPECT_EQ(b[64 + 17], 1);
    EXPECT_EQ(b[h - 1], 0x0D);
    EXPECT_EQ(std::string(b.begin() + h, b.begin() + h + 20),
              " ab    2.3"
              "      -3.0");
    EXPECT_EQ(b.back(), 0x1A);
}

TEST_F(DbfTest, CopyOfTemplateAppendsAndReadsBackByName) {
    const std::string tpl = MakeTemplate();
    Writer w;
    ASSERT_TRUE(w.CreateFrom(tpl, At("A.DBF")));
    for (int k = 1; k <= 3; ++k) {
        w.BeginRecord();
        ASSERT_TRUE(w.Set("NID", std::to_string(k)));
        ASSERT_TRUE(w.Set("Cid", "C" + std::to_string(k)));
        ASSERT_TRUE(w.Set("addres", "Calle " + std::to_string(k) + "  "));
        ASSERT_TRUE(w.Post());
    }
    ASSERT_TRUE(w.Close());

    // The template keeps its structure and stays empty.
    Reader t;
    ASSERT_TRUE(t.Open(tpl));
    EXPECT_EQ(t.record_count(), 0u);
    EXPECT_FALSE(t.Next());
    EXPECT_TRUE(t.status());

    Reader r;
    ASSERT_TRUE(r.Open(At("A.DBF")));
    ASSERT_EQ(r.record_count(), 3u);
    ASSERT_EQ(r.fields().size(), 5u);
    EXPECT_EQ(std::vector<uint8_t>(r.header().raw.begin() + 32, r.header().raw.end()),
              std::vector<uint8_t>(t.header().raw.begin() + 32, t.header().raw.end()));
    for (uint32_t k = 1; k <= 3; ++k) {
        ASSERT_TRUE(r.Next());
        EXPECT_EQ(r.record_number(), k - 1);
        EXPECT_FALSE(r.deleted());
        std::string v;
        ASSERT_TRUE(r.Text("nid", v));
        EXPECT_EQ(v, std::to_string(k));
        ASSERT_TRUE(r.Text("CID", v));
        EXPECT_EQ(v, "C" + std::to_string(k));
        EXPECT_EQ(r.Raw(0), "     " + std::to_string(k));
        ASSERT_TRUE(r.Text("pa", v));
        EXPECT_EQ(v, "");
        EXPECT_EQ(r.Text(r.FieldIndex("ADDRES")), "Calle " + std::to_string(k));
        EXPECT_EQ(r.Text("Reason", v).error, Error::NoSuchField);
    }
    EXPECT_FALSE(r.Next());
    EXPECT_TRUE(r.status());
}

TEST_F(DbfTest, AppendToExistingTableKeepsItsRecords) {
    const std::string tpl = MakeTemplate();
    fs::copy_file(tpl, At("A.DBF"));
    for (int round = 0; round < 2; ++round) {
        Writer w;
        ASSERT_TRUE(w.OpenForAppend(At("A.DBF")));
        const std::string n = std::to_string(round + 1);
        const std::pair<std::string_view, std::string_view> rec[] = {{"nid", n}};
        ASSERT_TRUE(w.Append(rec));
        ASSERT_TRUE(w.Close());
    }
    {
        // Abandoned appends leave the counted records and the end marker as they were.
        Writer w;
        ASSERT_TRUE(w.OpenForAppend(At("A.DBF")));
        const std::pair<std::string_view, std::string_view> rec[] = {{"nid", "99"}};
        ASSERT_TRUE(w.Append(rec));
    }
    const auto b = Slurp(At("A.DBF"));
    EXPECT_EQ(b.back(), 0x1A);
    Reader r;
    ASSERT_TRUE(r.Open(At("A.DBF")));
    ASSERT_EQ(r.record_count(), 2u);
    EXPECT_EQ(b.size(), r.header().header_length + 2u * r.header().record_length + 1);
    ASSERT_TRUE(r.Next());
    EXPECT_EQ(r.Text(0), "1");
    ASSERT_TRUE(r.Next());
    EXPECT_EQ(r.Text(0), "2");
    EXPECT_FALSE(r.Next());
}

// A FoxPro template: its header (with the area after the terminator) is kept, and new records start
// with zeros in the binary fields, so that no field reads as null.
TEST_F(DbfTest, FoxProTemplateKeepsItsHeaderAndBinaryFieldsStartZero) {
    tablestest::TTable t;
    t.version = 0x30;
    t.fields = {{"NAME", 'C', 4}, {"QTY", 'I', 4}, {"PRICE", 'B', 8}, {"_NullFlags", '0', 1, 0, 5}};
    t.area.assign(263, 0x42);
    Spill(dir_ / "B.DBF", t.Build());
    Writer w;
    ASSERT_TRUE(w.CreateFrom(At("B.DBF"), At("A.DBF")));
    const std::pair<std::string_view, std::string_view> rec[] = {{"name", "ab"}};
    ASSERT_TRUE(w.Append(rec));
    EXPECT_EQ(w.Set("QTY", "1").error, Error::NotOpen);  // no record begun
    w.BeginRecord();
    EXPECT_EQ(w.Set("QTY", "1").error, Error::BadValue);
    ASSERT_TRUE(w.Close());
    const auto b = Slurp(At("A.DBF"));
    const auto tpl = t.Build();
    const size_t h = t.header_length();
    EXPECT_EQ(std::vector<uint8_t>(b.begin() + 8, b.begin() + h),
              std::vector<uint8_t>(tpl.begin() + 8, tpl.begin() + h));
    std::vector<uint8_t> record = {' ', 'a', 'b', ' ', ' '};
    record.resize(t.record_length(), 0);
    EXPECT_EQ(std::vector<uint8_t>(b.begin() + h, b.end() - 1), record);
}

TEST_F(DbfTest, AbandonedNewTableLeavesTargetUntouched) {
    Spill(At("A.DBF"), {'o', 'l', 'd'});
    {
        Writer w;
        ASSERT_TRUE(w.Create(At("A.DBF"), {{"X", 'C', 3, 0}}));
        const std::pair<std::string_view, std::string_view> rec[] = {{"x", "abc"}};
        ASSERT_TRUE(w.Append(rec));
    }
    EXPECT_EQ(Slurp(At("A.DBF")), (std::vector<uint8_t>{'o', 'l', 'd'}));
    EXPECT_EQ(Listing(), std::vector<std::string>{"A.DBF"});
}

TEST(DbfFormat, ValuesAsDbaseStoresThem) {
    struct Case {
        char type;
        uint8_t length, decimals;
        const char* text;
        const char* stored;  // nullptr: refused
        Error error;
    };
    const Case cases[] = {
        {'C', 5, 0, "ab", "ab   ", Error::None},
        {'C', 3, 0, "abcdef", "abc", Error::None},  // cut to the field, as dBase does
        {'C', 3, 0, "", "   ", Error::None},
        {'N', 5, 0, "42", "   42", Error::None},
        {'N', 5, 0, " +42 ", "   42", Error::None},
        {'N', 5, 0, "-0", "    0", Error::None},
        {'N', 5, 0, "007", "    7", Error::None},
        {'N', 5, 0, "", "     ", Error::None},
        {'N', 6, 2, "1.005", "  1.01", Error::None},
        {'N', 6, 2, "9.999", " 10.00", Error::None},
        {'N', 6, 2, "-.5", " -0.50", Error::None},
        {'N', 6, 2, "3", "  3.00", Error::None},
        {'N', 3, 0, "1234", nullptr, Error::ValueTooLong},
        {'N', 4, 1, "99.96", nullptr, Error::ValueTooLong},
        {'N', 5, 0, "1e3", nullptr, Error::BadValue},
        {'N', 5, 0, "12a", nullptr, Error::BadValue},
        {'N', 5, 0, ".", nullptr, Error::BadValue},
        {'N', 5, 0, "1 2", nullptr, Error::BadValue},
        {'F', 8, 3, "-1.5", "  -1.500", Error::None},
        {'D', 8, 0, "20261210", "20261210", Error::None},
        {'D', 8, 0, "", "        ", Error::None},
        {'D', 8, 0, "2026-12-1", nullptr, Error::BadValue},
        {'D', 8, 0, "20261310", nullptr, Error::BadValue},
        {'L', 1, 0, "t", "T", Error::None},
        {'L', 1, 0, "", " ", Error::None},
        {'L', 1, 0, "x", nullptr, Error::BadValue},
        {'I', 4, 0, "12", nullptr, Error::BadValue},
        {'M', 10, 0, "         7", "         7", Error::None},
    };
    for (const Case& c : cases) {
        Field f;
        f.name = "F";
        f.type = c.type;
        f.length = c.length;
        f.decimals = c.decimals;
        std::string out;
        const Status s = FormatValue(f, c.text, out);
        SCOPED_TRACE(std::string(1, c.type) + " \"" + c.text + "\"");
        EXPECT_EQ(s.error, c.error) << s.message;
        if (c.stored != nullptr) {
            EXPECT_EQ(out, c.stored);
        }
        if (!s) {
            EXPECT_FALSE(s.message.empty());
        }
    }
}

TEST(DbfFormat, StructureRefusals) {
    const std::vector<std::vector<FieldSpec>> bad = {
        {},
        {{"", 'C', 1, 0}},
        {{"ELEVENCHARS", 'C', 1, 0}},
        {{"1ST", 'C', 1, 0}},
        {{"A", 'C', 0, 0}},
        {{"A", 'N', 21, 0}},
        {{"A", 'N', 3, 2}},
        {{"A", 'D', 7, 0}},
        {{"A", 'M', 10, 0}},
        {{"A", 'C', 1, 0}, {"a", 'C', 1, 0}},
    };
    for (const auto& fields : bad) {
        Writer w;
        EXPECT_EQ(w.Create("/nonexistent-dir/x.dbf", fields).error, Error::BadStructure);
    }
}

// Byte images of headers that must be refused, and one written by another program that must be read.
TEST(DbfParse, HeaderChecks) {
    auto header = [](uint16_t h, uint16_t rec, std::vector<std::pair<char, uint8_t>> fields,
                     bool terminator) {
        std::vector<uint8_t> b(h, 0);
        b[0] = 3;
        b[8] = static_cast<uint8_t>(h);
        b[9] = static_cast<uint8_t>(h >> 8);
        b[10] = static_cast<uint8_t>(rec);
        b[11] = static_cast<uint8_t>(rec >> 8);
        size_t pos = 32;
        for (auto [type, len] : fields) {
            b[pos] = 'F';
            b[pos + 1] = static_cast<uint8_t>('0' + (pos / 32));
            b[pos + 11] = static_cast<uint8_t>(type);
            b[pos + 16] = len;
            pos += 32;
        }
        if (terminator && pos < h) b[pos] = 0x0D;
        return b;
    };
    Header h;
    EXPECT_TRUE(ParseHeader(header(97, 8, {{'C', 3}, {'N', 4}}, true), h));
    ASSERT_EQ(h.fields.size(), 2u);
    EXPECT_EQ(h.fields[1].offset, 4u);
    EXPECT_EQ(h.fields[1].name, "F2");
    // A 0x00 byte after the terminator (some programs write 32n + 34) changes nothing.
    EXPECT_TRUE(ParseHeader(header(98, 8, {{'C', 3}, {'N', 4}}, true), h));
    EXPECT_EQ(h.fields.size(), 2u);

    EXPECT_EQ(ParseHeader(header(97, 9, {{'C', 3}, {'N', 4}}, true), h).error,
              Error::BadHeader);  // record length
    EXPECT_EQ(ParseHeader(header(97, 4, {{'C', 3}, {'N', 0}}, true), h).error,
              Error::BadHeader);                                                          // zero length
    EXPECT_EQ(ParseHeader(header(33, 1, {}, true), h).error, Error::BadHeader);           // no field
    EXPECT_EQ(ParseHeader(header(32, 1, {}, false), h).error, Error::BadHeader);          // too short
    EXPECT_EQ(ParseHeader(header(80, 4, {{'C', 3}}, false), h).error, Error::BadHeader);  // torn descriptor
    auto b = header(97, 8, {{'C', 3}, {'N', 4}}, true);
    b.resize(90);  // fewer bytes than the header length
    EXPECT_EQ(ParseHeader(b, h).error, Error::BadHeader);
    EXPECT_EQ(ParseHeader(std::vector<uint8_t>(20, 0), h).error, Error::BadHeader);
}

TEST_F(DbfTest, ShortFileYieldsWholeRecordsThenTruncated) {
    Writer w;
    ASSERT_TRUE(w.Create(At("t.dbf"), {{"X", 'C', 4, 0}}));
    for (int i = 0; i < 3; ++i) {
        const std::string v = "v" + std::to_string(i);
        const std::pair<std::string_view, std::string_view> rec[] = {{"X", v}};
        ASSERT_TRUE(w.Append(rec));
    }
    ASSERT_TRUE(w.Close());
    auto b = Slurp(At("t.dbf"));
    b.resize(b.size() - 1 - 3);  // no end marker, last record torn
    Spill(At("t.dbf"), b);

    Reader r;
    ASSERT_TRUE(r.Open(At("t.dbf")));
    ASSERT_TRUE(r.Next());
    ASSERT_TRUE(r.Next());
    EXPECT_EQ(r.Text(0), "v1");
    EXPECT_FALSE(r.Next());
    EXPECT_EQ(r.status().error, Error::Truncated);
    EXPECT_NE(r.status().message.find("2 of 3"), std::string::npos) << r.status().message;

    Writer a;
    EXPECT_EQ(a.OpenForAppend(At("t.dbf")).error, Error::Truncated);
    Reader missing;
    EXPECT_EQ(missing.Open(At("none.dbf")).error, Error::OpenFailed);
}

// Many records cross the read-ahead chunks; the deletion flag is reported.
TEST_F(DbfTest, ReadsAcrossChunks) {
    Writer w;
    ASSERT_TRUE(w.Create(At("big.dbf"), {{"N", 'N', 7, 0}, {"PAD", 'C', 200, 0}}));
    const int count = 1000;
    for (int i = 0; i < count; ++i) {
        w.BeginRecord();
        ASSERT_TRUE(w.Set(size_t{0}, std::to_string(i)));
        w.SetDeleted(i % 7 == 0);
        ASSERT_TRUE(w.Post());
    }
    ASSERT_TRUE(w.Close());
    Reader r;
    ASSERT_TRUE(r.Open(At("big.dbf")));
    int seen = 0;
    while (r.Next()) {
        EXPECT_EQ(r.Text(0), std::to_string(seen));
        EXPECT_EQ(r.deleted(), seen % 7 == 0);
        ++seen;
    }
    EXPECT_TRUE(r.status()) << r.status().message;
    EXPECT_EQ(seen, count);
}

}  // namespace
