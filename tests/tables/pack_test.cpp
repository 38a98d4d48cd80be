// Packing dBase tables for the handheld: the packed layout, the field scan and its side file, and the
// tables that must be refused or reported.
#include "tables/pack.h"

#include <gtest/gtest.h>

#include <cstring>

#include "common/codes.h"
#include "tables/table_files.h"

using namespace tarvix::tables;
using namespace tablestest;

namespace {

class PackTest : public TableDir {
  protected:
    // Packs `t` written as "T.DBF"; returns the result.
    int32_t Pack(const TTable& t, TablePacker& packer) {
        Spill(At("T.DBF"), t.Build());
        return packer.bfPackTable(At("T.DBF"));
    }
    Bytes Dbc() { return Slurp(At("T.DBC")); }
};

std::string Rec(std::string fields) {
    return " " + fields;
}

TEST(PackCodes, NumericFieldsTwoDigitsPerByte) {
    struct Case {
        const char* text;
        Bytes packed;
    };
    const Case cases[] = {
        {"  12.5", {0xDD, 0x12, 0xA5}},
        {" -3.1", {0xDD, 0xB3, 0xA1}},
        {"12345", {0xD1, 0x23, 0x45}},
        {"+7", {0xC7}},
        {"1", {0xD1}},
        {"ab*9", {0xDD, 0xD9}},  // anything but digits and . - + becomes the pad code
        {"0123456789", {0x01, 0x23, 0x45, 0x67, 0x89}},
        {"\xff\x80", {0xDD}},
    };
    for (const Case& c : cases) {
        const uint8_t length = static_cast<uint8_t>(std::strlen(c.text));
        Bytes header(32 + 32 + 1, 0);
        header[0] = 3;
        Put16(header, 8, 65);
        Put16(header, 10, 1u + length);
        header[32] = 'N';
        header[32 + 11] = 'N';
        header[32 + 16] = length;
        header[64] = 0x0D;
        PackPlan plan;
        std::string why;
        ASSERT_EQ(PlanPacking(header, plan, why), PackFailure::None) << why;
        const std::string record = Rec(c.text);
        Bytes out(plan.packed_record_length);
        PackRecords(plan, reinterpret_cast<const uint8_t*>(record.data()), 1, out.data());
        EXPECT_EQ(out, c.packed) << c.text;
    }
}

TEST_F(PackTest, PackedLayoutOfHeaderDescriptorsAndRecords) {
    TTable t;
    t.fields = {{"ID", 'N', 5, 0}, {"NAME", 'C', 3},  {"PRICE", 'F', 6, 2},  {"BIN", 'B', 2},
                {"OK", 'L', 1},    {"MEMO", 'M', 10}, {"TENCHARSAB", 'I', 4}};
    t.records = {Rec("12345abc  1.50+7T         1WXYZ"), "*" + std::string("   -1"
                                                                           "xyz"
                                                                           " -0.25"
                                                                           "  "
                                                                           "F"
                                                                           "         2"
                                                                           "    ")};
    TablePacker packer;
    ASSERT_EQ(Pack(t, packer), 0) << packer.detail();
    EXPECT_FALSE(packer.wrote_dbi());
    EXPECT_FALSE(Exists("T.DBI"));

    const Bytes p = Dbc();
    const size_t n = 7;
    const size_t prl = 3 + 3 + 3 + 1 + 1 + 10 + 4;
    ASSERT_EQ(p.size(), 16 * (n + 1) + 2 * prl);
    EXPECT_EQ(Bytes(p.begin(), p.begin() + 3), (Bytes{126, 12, 10}));
    EXPECT_EQ(std::string(p.begin() + 3, p.begin() + 11), "        ");
    EXPECT_EQ(Le16(p, 11), 2);
    EXPECT_EQ(Le16(p, 13), prl);
    EXPECT_EQ(p[15], n);
    struct Desc {
        const char* name;
        char type;
        uint8_t packed, length, decimals;
        uint16_t offset;
    };
    const Desc want[] = {{"ID", 'N', 3, 5, 0, 0},         {"NAME", 'C', 3, 3, 0, 3},
                         {"PRICE", 'N', 3, 6, 2, 6},      {"BIN", 'N', 1, 2, 0, 9},
                         {"OK", 'C', 1, 1, 0, 10},        {"MEMO", 'C', 10, 10, 0, 11},
                         {"TENCHARSAB", 'C', 4, 4, 0, 21}};
    for (size_t k = 0; k < n; ++k) {
        const size_t at = 16 + 16 * k;
        SCOPED_TRACE(want[k].name);
        Bytes name(10, 0);
        std::memcpy(name.data(), want[k].name, std::strlen(want[k].name));
        EXPECT_EQ(Bytes(p.begin() + at, p.begin() + at + 10), name);
        EXPECT_EQ(p[at + 10], want[k].type);
        EXPECT_EQ(p[at + 11], want[k].packed);
        EXPECT_EQ(p[at + 12], want[k].length);
        EXPECT_EQ(p[at + 13], want[k].decimals);
        EXPECT_EQ(Le16(p, at + 14), want[k].offset);
    }
    const size_t r = 16 * (n + 1);
    const Bytes first = {0xD1, 0x23, 0x45, 'a', 'b', 'c', 0xDD, 0x1A, 0x50, 0xC7, 'T'};
    EXPECT_EQ(Bytes(p.begin() + r, p.begin() + r + first.size()), first);
    EXPECT_EQ(std::string(p.begin() + r + 11, p.begin() + r + prl), "         1WXYZ");
    // The deleted record is packed like a live one.
    const Bytes second = {0xDD, 0xDD, 0xB1, 'x', 'y', 'z', 0xDB, 0x0A, 0x25, 0xDD, 'F'};
    EXPECT_EQ(Bytes(p.begin() + r + prl, p.begin() + r + prl + second.size()), second);
}

// The field scan of version 3 and 0x30 tables: the first flagged or date field decides.
TEST_F(PackTest, FieldScanDecidesSideFileAndDroppedField) {
    struct Case {
        const char* what;
        uint8_t version;
        std::vector<TField> fields;
        bool dbi;
        size_t packed_fields;
    };
    const Case cases[] = {
        {"C and N only", 3, {{"A", 'C', 2}, {"B", 'N', 3}}, false, 2},
        {"date field", 3, {{"A", 'C', 2}, {"D", 'D', 8}, {"B", 'N', 3}}, true, 3},
        {"flagged field drops the last", 3, {{"A", 'C', 2, 0, 1}, {"B", 'N', 3}, {"Z", 'C', 4}}, true, 2},
        {"flag bit 1", 3, {{"A", 'C', 2}, {"B", 'N', 3, 0, 2}, {"Z", 'C', 4}}, true, 2},
        {"flag bit 2 is not looked at", 3, {{"A", 'C', 2, 0, 4}, {"B", 'N', 3}}, false, 2},
        {"flagged date counts as flagged", 3, {{"A", 'C', 2}, {"D", 'D', 8, 0, 1}, {"Z", 'C', 4}}, true, 2},
        {"flag after a date drops nothing", 3, {{"D", 'D', 8}, {"A", 'C', 2, 0, 1}}, true, 2},
        {"version 0x30 null flags",
         0x30,
         {{"A", 'C', 2}, {"B", 'N', 3}, {"_NullFlags", '0', 1, 0, 5}},
         true,
         2},
        {"version 0x30 plain", 0x30, {{"A", 'C', 2}, {"B", 'N', 3}}, false, 2},
        {"other version, no scan", 0x83, {{"A", 'C', 2, 0, 1}, {"D", 'D', 8}, {"Z", 'C', 4}}, false, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(At("T.DBI"));
        TTable t;
        t.version = c.version;
        t.fields = c.fields;
        std::string record(t.record_length(), '7');
        record[0] = ' ';
        t.records = {record};
        TablePacker packer;
        ASSERT_EQ(Pack(t, packer), 0) << packer.detail();
        EXPECT_EQ(packer.wrote_dbi(), c.dbi);
        EXPECT_EQ(Exists("T.DBI"), c.dbi);
        const Bytes p = Dbc();
        ASSERT_GE(p.size(), 16u);
        EXPECT_EQ(p[15], c.packed_fields);
        size_t prl = 0;
        for (size_t k = 0; k < c.packed_fields; ++k) {
            const TField& f = c.fields[k];
            prl += (f.type == 'N') ? (f.length + 1) / 2 : f.length;
        }
        EXPECT_EQ(Le16(p, 13), prl);
        EXPECT_EQ(p.size(), 16 * (c.packed_fields + 1) + prl);
        EXPECT_EQ(packer.drop_width(), c.packed_fields < c.fields.size() ? c.fields.back().length : 0);
        if (c.dbi) {
            // The side file keeps the header without the terminator (and without the 0x30 area).
            const Bytes table = t.Build();
            const size_t kept = c.version == 0x30 ? t.header_length() - 264 : t.header_length() - 1;
            EXPECT_EQ(Slurp(At("T.DBI")), Bytes(table.begin(), table.begin() + kept));
        }
    }
}

TEST_F(PackTest, StaleSideFileIsRemovedWhenTheTableNeedsNone) {
    Spill(At("t.dbi"), Of("stale header of an earlier table"));
    TTable t;
    t.fields = {{"A", 'C', 2}};
    TablePacker packer;
    ASSERT_EQ(Pack(t, packer), 0);
    EXPECT_EQ(Listing(), (std::vector<std::string>{"T.DBC", "T.DBF"}));
}

// As on Windows, replacing a file keeps the existing file's name: one side file remains.
TEST_F(PackTest, SideFileReplacesOneInAnotherCase) {
    Spill(At("t.dbi"), Of("stale"));
    TTable t;
    t.fields = {{"D", 'D', 8}};
    TablePacker packer;
    ASSERT_EQ(Pack(t, packer), 0);
    EXPECT_EQ(Listing(), (std::vector<std::string>{"T.DBC", "T.DBF", "t.dbi"}));
    EXPECT_EQ(Slurp(At("t.dbi")).size(), 32u + 32);
}

TEST_F(PackTest, EmptyTableAndRecordCountLimits) {
    TTable t;
    t.fields = {{"N", 'N', 1}};
    TablePacker packer;
    ASSERT_EQ(Pack(t, packer), 0);
    EXPECT_EQ(Dbc().size(), 32u);
    EXPECT_EQ(Le16(Dbc(), 11), 0);

    t.records.assign(65534, " 5");
    ASSERT_EQ(Pack(t, packer), 0) << packer.detail();
    EXPECT_EQ(Dbc().size(), 32u + 65534);
    EXPECT_EQ(Le16(Dbc(), 11), 65534);
    EXPECT_EQ(Dbc().back(), 0xD5);

    // One more is too many: the packed file holds the header only, with the count's low 16 bits.
    t.records.push_back(" 5");
    EXPECT_EQ(Pack(t, packer), 1);
    EXPECT_EQ(packer.failure(), PackFailure::TooManyRecords);
    EXPECT_EQ(Dbc().size(), 32u);
    EXPECT_EQ(Le16(Dbc(), 11), 65535);
}

TEST_F(PackTest, RecordCountIsComparedUnsigned) {
    TTable t;
    t.fields = {{"N", 'N', 1}};
    t.records = {" 1", " 2"};
    for (uint32_t count : {0x80000000u, 0xFFFFFFFFu, 0x00010001u}) {
        t.count = count;
        TablePacker packer;
        EXPECT_EQ(Pack(t, packer), 1) << count;
        EXPECT_EQ(packer.failure(), PackFailure::TooManyRecords) << count;
        EXPECT_EQ(Dbc().size(), 32u) << count;
        EXPECT_EQ(Le16(Dbc(), 11), count & 0xFFFF);
    }
}

TEST_F(PackTest, ShortTablePacksOnlyItsWholeRecords) {
    TTable t;
    t.fields = {{"A", 'C', 3}};
    t.records = {" abc", " def", " gh"};  // the last record is torn
    t.end_marker = false;
    t.count = 5;
    TablePacker packer;
    packer.set_work_buffer_limit(2048);
    EXPECT_EQ(Pack(t, packer), 1);
    EXPECT_EQ(packer.failure(), PackFailure::ShortTable);
    EXPECT_EQ(packer.records_packed(), 2u);
    const Bytes p = Dbc();
    EXPECT_EQ(Le16(p, 11), 2);
    EXPECT_EQ(std::string(p.begin() + 32, p.end()), "abcdef");
}

TEST_F(PackTest, LongRecordsAndSmallBuffers) {
    TTable t;
    t.fields = {{"A", 'C', 250}, {"B", 'C', 250}, {"N", 'N', 9}};
    for (int i = 0; i < 40; ++i) {
        t.records.push_back(" " + std::string(250, static_cast<char>('a' + i % 26)) + std::string(250, 'x') +
                            "    " + std::to_string(10000 + i));
    }
    TablePacker whole;
    ASSERT_EQ(Pack(t, whole), 0);
    const Bytes reference = Dbc();
    // Chunks of one or a few records give the same packed file.
    for (size_t limit : {2048u, 4096u, 10240u}) {
        TablePacker packer;
        packer.set_work_buffer_limit(limit);
        ASSERT_EQ(Pack(t, packer), 0) << limit;
        EXPECT_EQ(Dbc(), reference) << limit;
    }
    // A record that does not fit the work buffer: the header only.
    t.fields = {{"A", 'C', 250}, {"B", 'C', 250}, {"C", 'C', 250}, {"D", 'C', 250}, {"E", 'C', 100}};
    t.records = {" " + std::string(1100, 'q')};
    TablePacker packer;
    packer.set_work_buffer_limit(2048);
    EXPECT_EQ(Pack(t, packer), 1);
    EXPECT_EQ(packer.failure(), PackFailure::NoRoom);
    EXPECT_EQ(Dbc().size(), 16u * 6);
}

TEST_F(PackTest, UnusableHeadersAreRefusedWithoutWritingAnything) {
    auto table = [](std::vector<TField> fields, uint8_t version = 3) {
        TTable t;
        t.version = version;
        t.fields = std::move(fields);
        t.records = {std::string(t.record_length(), ' ')};
        return t.Build();
    };
    std::vector<std::pair<const char*, Bytes>> cases;
    {
        std::vector<TField> many;
        for (int i = 0; i < 129; ++i) many.push_back({"F" + std::to_string(i), 'C', 1});
        cases.emplace_back("129 fields", table(many));
    }
    {
        Bytes b = table({{"A", 'C', 2}});
        Put16(b, 10, 4);
        cases.emplace_back("record length beyond the fields", b);
    }
    {
        Bytes b = table({{"A", 'C', 2}, {"B", 'C', 2}});
        Put16(b, 10, 3);
        cases.emplace_back("record length short of the fields", b);
    }
    {
        Bytes b = table({{"A", 'C', 2}});
        Put16(b, 8, 64);  // 32 + 32: no room for the terminator
        cases.emplace_back("header without terminator room", b);
    }
    {
        Bytes b = table({{"A", 'C', 2}});
        Put16(b, 8, 40);
        cases.emplace_back("header of no field", b);
    }
    {
        Bytes b = table({{"A", 'C', 2}}, 0x30);
        Put16(b, 8, 300);
        cases.emplace_back("0x30 header of no field", b);
    }
    {
        Bytes b = table({{"A", 'C', 2}});
        Put16(b, 8, 4000);  // descriptors beyond the end of the file
        cases.emplace_back("header longer than the file", b);
    }
    {
        Bytes b = table({{"A", 'C', 2}, {"Z", 'C', 1}});
        b[64 + 16] = 0;
        Put16(b, 10, 3);
        cases.emplace_back("field of length 0", b);
    }
    cases.emplace_back("single flagged field leaves nothing", table({{"A", 'C', 2, 0, 1}}));
    cases.emplace_back("ten bytes", Bytes(10, 3));
    cases.emplace_back("empty file", Bytes{});
    for (const auto& [what, bytes] : cases) {
        SCOPED_TRACE(what);
        Spill(At("T.DBF"), bytes);
        TablePacker packer;
        EXPECT_EQ(packer.bfPackTable(At("T.DBF")), 1);
        EXPECT_EQ(packer.failure(), PackFailure::BadHeader);
        EXPECT_FALSE(packer.detail().empty());
        EXPECT_EQ(Listing(), std::vector<std::string>{"T.DBF"});
    }
}

TEST_F(PackTest, MissingTableWritesNothing) {
    TablePacker packer;
    EXPECT_EQ(packer.bfPackTable(At("none.dbf")), 1);
    EXPECT_EQ(packer.failure(), PackFailure::CannotOpen);
    EXPECT_EQ(PackErrorCode(packer.failure()), tarvix::ErrFileNotFound);  // what the upload stores
    EXPECT_TRUE(Listing().empty());
    EXPECT_EQ(packer.bfPackTable(""), 1);
}

TEST_F(PackTest, TableFoundWithoutRegardToCase) {
    TTable t;
    t.fields = {{"A", 'C', 2}};
    t.records = {" hi"};
    Spill(At("A.DBF"), t.Build());
    TablePacker packer;
    ASSERT_EQ(packer.bfPackTable(At("a.dbf")), 0) << packer.detail();
    EXPECT_EQ(packer.dbc_name(), At("a.dbc"));
    EXPECT_EQ(packer.dbi_name(), At("a.dbi"));
    EXPECT_EQ(Slurp(At("a.dbc")).size(), 32u + 2);
}

TEST(PackNames, TemporariesFollowTheCaseOfTheLastLetter) {
    EXPECT_EQ(PackedName(".\\A.DBF"), ".\\A.DBC");
    EXPECT_EQ(HeaderFileName(".\\A.DBF"), ".\\A.DBI");
    EXPECT_EQ(PackedName("x.dbf"), "x.dbc");
    EXPECT_EQ(HeaderFileName("x.dbF"), "x.dbI");
    EXPECT_EQ(PackedAsideName(".\\downa.dbf"), ".\\downa.db$");
    EXPECT_EQ(DownloadHeaderFileName(".\\downa.dbf"), ".\\downa.dbi");
    EXPECT_EQ(DownloadHeaderFileName("X.DBF"), "X.DBi");
}

}  // namespace
