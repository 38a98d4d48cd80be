// Unpacking packed tables fetched from the handheld: the rebuilt header, the records, the header side
// file, and the refusals of malformed input, which never cost the downloaded file.
#include "tables/unpack.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/messages.h"
#include "platform/prompt.h"
#include "tables/table_files.h"

using namespace tarvix::tables;
using namespace tablestest;

namespace {

struct PField {
    std::string name;
    char type = 'C';
    uint8_t length = 1;
    uint8_t decimals = 0;
};

// A packed table as the handheld returns it.
Bytes Packed(const std::vector<PField>& fields, const std::vector<Bytes>& records, int count = -1) {
    Bytes b(16 + 16 * fields.size(), 0);
    b[0] = 126;
    b[1] = 12;
    b[2] = 10;
    std::memset(&b[3], ' ', 8);
    Put16(b, 11, count < 0 ? static_cast<uint32_t>(records.size()) : static_cast<uint32_t>(count));
    uint32_t offset = 0;
    for (size_t k = 0; k < fields.size(); ++k) {
        uint8_t* d = &b[16 + 16 * k];
        std::memcpy(d, fields[k].name.data(), std::min<size_t>(10, fields[k].name.size()));
        const uint8_t packed = fields[k].type == 'N' ? (fields[k].length + 1) / 2 : fields[k].length;
        d[10] = static_cast<uint8_t>(fields[k].type);
        d[11] = packed;
        d[12] = fields[k].length;
        d[13] = fields[k].decimals;
        d[14] = static_cast<uint8_t>(offset);
        d[15] = static_cast<uint8_t>(offset >> 8);
        offset += packed;
    }
    Put16(b, 13, offset);
    b[15] = static_cast<uint8_t>(fields.size());
    for (const auto& r : records) b.insert(b.end(), r.begin(), r.end());
    return b;
}

class UnpackTest : public TableDir {
  protected:
    void SetUp() override {
        TableDir::SetUp();
        tarvix::bf::LoadMessages();
        format_box_ = tarvix::bf::Prompt(tarvix::bf::BfPrompt::ErrorCaption) + "|" +
                      tarvix::bf::Prompt(tarvix::bf::BfPrompt::DbfFormat) + "|0";
        ASSERT_GT(format_box_.size(), 4u);
        tarvix::platform::SetPromptHandler([this](const char* text, const char* caption, uint32_t style) {
            boxes_.push_back(std::string(caption) + "|" + text + "|" + std::to_string(style));
            return TARVIX_ID_OK;
        });
    }
    void TearDown() override {
        tarvix::platform::SetPromptHandler({});
        TableDir::TearDown();
    }
    int16_t Unpack(const Bytes& packed, TableUnpacker& unpacker) {
        Spill(At("downa.dbf"), packed);
        return unpacker.bfUnpackTable(At("downa.dbf"));
    }
    Bytes Table() { return Slurp(At("downa.dbf")); }

    std::vector<std::string> boxes_;
    std::string format_box_;  // caption msg06, text msg08, an OK button
};

TEST(UnpackCodes, NumericCodesBack) {
    struct Case {
        Bytes packed;
        uint8_t length;
        const char* text;
    };
    const Case cases[] = {
        {{0xDD, 0x12, 0xA5}, 6, "  12.5"},
        {{0xDD, 0xB3, 0xA1}, 5, " -3.1"},
        {{0xD1}, 1, "1"},
        {{0xEF}, 2, "**"},
        {{0xC7}, 2, "+7"},
        {{0x01, 0x23, 0x45, 0x67, 0x89}, 10, "0123456789"},
        {{0x71}, 1, "1"},  // the high half of an odd field's first byte is not read
    };
    for (const Case& c : cases) {
        const Bytes p = Packed({{"N", 'N', c.length}}, {c.packed});
        UnpackPlan plan;
        std::string why;
        ASSERT_EQ(PlanUnpacking(p, p.size(), plan, why), UnpackOk) << why;
        std::string out(plan.record_length, '?');
        UnpackRecords(plan, p.data() + 32, 1, reinterpret_cast<uint8_t*>(out.data()));
        EXPECT_EQ(out, std::string(" ") + c.text);
    }
}

TEST_F(UnpackTest, RebuiltVersion3Table) {
    const Bytes packed =
        Packed({{"ID", 'N', 5, 0}, {"NAME", 'C', 3}, {"TENCHARSAB", 'N', 4, 2}},
               {{0xD1, 0x23, 0x45, 'a', 'b', 'c', 0x1A, 0x50}, {0xDD, 0xDB, 0x17, 0, 'x', 1, 0xEE, 0xDD}});
    TableUnpacker unpacker;
    ASSERT_EQ(Unpack(packed, unpacker), UnpackOk) << unpacker.detail();
    EXPECT_EQ(Listing(), std::vector<std::string>{"downa.dbf"});
    EXPECT_TRUE(boxes_.empty());

    const Bytes t = Table();
    const size_t h = 32 * 3 + 33;
    ASSERT_EQ(t.size(), h + 2 * 13 + 1);
    Bytes header(32, 0);
    header[0] = 3;
    header[1] = 126;
    header[2] = 12;
    header[3] = 10;
    Put32(header, 4, 2);
    Put16(header, 8, h);
    Put16(header, 10, 13);
    EXPECT_EQ(Bytes(t.begin(), t.begin() + 32), header);
    struct Desc {
        const char* name;
        char type;
        uint16_t offset;
        uint8_t length, decimals;
    };
    const Desc want[] = {{"ID", 'N', 1, 5, 0}, {"NAME", 'C', 6, 3, 0}, {"TENCHARSAB", 'N', 9, 4, 2}};
    for (size_t k = 0; k < 3; ++k) {
        Bytes d(32, 0);
        std::memcpy(d.data(), want[k].name, std::strlen(want[k].name));
        d[11] = static_cast<uint8_t>(want[k].type);
        Put16(d, 12, want[k].offset);
        d[16] = want[k].length;
        d[17] = want[k].decimals;
        EXPECT_EQ(Bytes(t.begin() + 32 + 32 * k, t.begin() + 64 + 32 * k), d) << want[k].name;
    }
    EXPECT_EQ(t[h - 1], 0x0D);
    EXPECT_EQ(std::string(t.begin() + h, t.begin() + h + 13), " 12345abc1.50");
    EXPECT_EQ(Bytes(t.begin() + h + 13, t.begin() + h + 26), Of(std::string("   -17\0x\x01**  ", 13)));
    EXPECT_EQ(t.back(), 0x1A);
}

TEST_F(UnpackTest, RecordCountFollowsTheData) {
    struct Case {
        int count;
        size_t data_bytes;
        uint32_t records;
    };
    const Case cases[] = {{10, 60, 12}, {10, 52, 10}, {10, 50, 10}, {3, 50, 10}, {0, 4, 0}, {65535, 10, 2}};
    for (const Case& c : cases) {
        Bytes p = Packed({{"A", 'C', 5}}, {}, c.count);
        p.resize(p.size() + c.data_bytes, 'z');
        TableUnpacker unpacker;
        ASSERT_EQ(Unpack(p, unpacker), UnpackOk) << unpacker.detail();
        EXPECT_EQ(unpacker.records(), c.records);
        const Bytes t = Table();
        EXPECT_EQ(Le32(t, 4), c.records);
        EXPECT_EQ(t.size(), 65 + 6 * c.records + 1);
    }
}

TEST_F(UnpackTest, EmptyTableIsHeaderAndEndMarker) {
    TableUnpacker unpacker;
    ASSERT_EQ(Unpack(Packed({{"A", 'C', 5}, {"B", 'N', 3}}, {}), unpacker), UnpackOk);
    const Bytes t = Table();
    ASSERT_EQ(t.size(), 32u * 3 + 1 + 1);
    EXPECT_EQ(t[32 * 3], 0x0D);
    EXPECT_EQ(t.back(), 0x1A);
}

// Malformed packed tables get the box and result 8; the download stays as it came.
TEST_F(UnpackTest, MalformedTablesAreRefusedAndKept) {
    std::vector<std::pair<const char*, Bytes>> cases;
    {
        std::vector<PField> many;
        for (int i = 0; i < 129; ++i) many.push_back({"F" + std::to_string(i), 'C', 1});
        cases.emplace_back("129 fields", Packed(many, {Bytes(129, 'x')}));
    }
    cases.emplace_back("no field", Packed({}, {}));
    {
        Bytes p = Packed({{"A", 'C', 2}}, {});
        Put16(p, 13, 0);
        p.insert(p.end(), {'a', 'b'});
        cases.emplace_back("packed record length 0", p);
    }
    {
        Bytes p = Packed({{"A", 'C', 2}}, {Bytes{'a', 'b', 'c'}});
        Put16(p, 13, 3);
        cases.emplace_back("record length beyond the descriptors", p);
    }
    {
        Bytes p = Packed({{"A", 'N', 4}}, {Bytes{0x12, 0x34}});
        p[16 + 11] = 4;
        Put16(p, 13, 4);
        cases.emplace_back("numeric field with a character field's packed length", p);
    }
    {
        Bytes p = Packed({{"A", 'C', 2}, {"B", 'C', 2}}, {Bytes{'a', 'b', 'c', 'd'}});
        p[32 + 14] = 1;
        cases.emplace_back("descriptor offset off", p);
    }
    {
        Bytes p = Packed({{"A", 'C', 2}, {"B", 'C', 2}}, {});
        p[32 + 12] = 0;
        p[32 + 11] = 0;
        Put16(p, 13, 2);
        cases.emplace_back("field of length 0", p);
    }
    {
        Bytes p = Packed({{"A", 'C', 2}, {"B", 'C', 2}, {"C", 'C', 2}}, {});
        p.resize(40);
        cases.emplace_back("file shorter than its descriptors", p);
    }
    cases.emplace_back("shorter than a packed header", Bytes(7, 1));
    cases.emplace_back("empty file", Bytes{});
    for (const auto& [what, bytes] : cases) {
        SCOPED_TRACE(what);
        boxes_.clear();
        TableUnpacker unpacker;
        EXPECT_EQ(Unpack(bytes, unpacker), UnpackBadFormat);
        EXPECT_EQ(unpacker.result(), UnpackBadFormat);
        EXPECT_FALSE(unpacker.detail().empty());
        EXPECT_EQ(boxes_, std::vector<std::string>{format_box_});
        EXPECT_EQ(Listing(), std::vector<std::string>{"downa.dbf"});
        EXPECT_EQ(Table(), bytes);
    }
}

TEST_F(UnpackTest, RecordTooLongForTheWorkBufferIsRefusedAndKept) {
    const Bytes p =
        Packed({{"A", 'C', 250}, {"B", 'C', 250}, {"C", 'C', 250}, {"D", 'C', 250}, {"E", 'C', 100}},
               {Bytes(1100, 'q')});
    TableUnpacker unpacker;
    unpacker.set_work_buffer_limit(2048);
    EXPECT_EQ(Unpack(p, unpacker), UnpackBadFormat);
    EXPECT_EQ(boxes_, std::vector<std::string>{format_box_});
    EXPECT_EQ(Table(), p);
    // With the full work buffer it fits.
    TableUnpacker big;
    EXPECT_EQ(Unpack(p, big), UnpackOk);
}

TEST_F(UnpackTest, ChunkedUnpackingMatchesOneChunk) {
    std::vector<Bytes> records;
    for (int i = 0; i < 300; ++i)
        records.push_back(Bytes{static_cast<uint8_t>(i), 0x12, 0x45, 'a', static_cast<uint8_t>(i >> 8)});
    const Bytes p = Packed({{"N", 'N', 3}, {"M", 'N', 2}, {"C", 'C', 2}}, records);
    TableUnpacker whole;
    ASSERT_EQ(Unpack(p, whole), UnpackOk);
    const Bytes reference = Table();
    TableUnpacker small;
    small.set_work_buffer_limit(2048);
    ASSERT_EQ(Unpack(p, small), UnpackOk);
    EXPECT_EQ(Table(), reference);
    EXPECT_EQ(Le32(reference, 4), 300u);
}

TEST_F(UnpackTest, LeftoverAsideFileStopsWithoutTouchingTheDownload) {
    Spill(At("downa.db$"), Of("left from a crash"));
    const Bytes p = Packed({{"A", 'C', 1}}, {Bytes{'x'}});
    TableUnpacker unpacker;
    EXPECT_EQ(Unpack(p, unpacker), UnpackFileError);
    EXPECT_EQ(Table(), p);
    EXPECT_EQ(Slurp(At("downa.db$")), Of("left from a crash"));
    EXPECT_EQ(Listing(), (std::vector<std::string>{"downa.db$", "downa.dbf"}));
    EXPECT_TRUE(boxes_.empty());
}

TEST_F(UnpackTest, MissingDownload) {
    TableUnpacker unpacker;
    EXPECT_EQ(unpacker.bfUnpackTable(At("downa.dbf")), UnpackFileError);
    EXPECT_TRUE(Listing().empty());
}

// The header side file: used only when it describes the packed table.
class HeaderFileTest : public UnpackTest {
  protected:
    // Side file of a version-3 table of fields A (C 2), B (N 3) and, when `extra` is set, Z (C 4).
    Bytes SideFile(uint8_t version, bool extra, int header_extra = 0) {
        TTable t;
        t.version = version;
        t.fields = {{"A", 'C', 2}, {"B", 'N', 3, 1}};
        if (extra) t.fields.push_back({"Z", 'C', 4, 0, 1});
        t.header_extra = header_extra;
        Bytes b = t.Build();
        for (size_t i = 12; i < 32; ++i) b[i] = static_cast<uint8_t>(i);  // reserved bytes come back
        b[32 + 20] = 0x77;                                                // so do descriptor bytes
        b.resize(version == 0x30 ? t.header_length() - 264 : t.header_length() - 1);
        return b;
    }
    Bytes Download() { return Packed({{"A", 'C', 2}, {"B", 'N', 3, 1}}, {Bytes{'h', 'i', 0xD1, 0xA5}}); }
};

TEST_F(HeaderFileTest, RestoresTheTablesOwnHeaderAndLeftOutField) {
    struct Case {
        const char* what;
        uint8_t version;
        bool extra;
        int header_extra;
        size_t header_length;
        uint8_t drop;
    };
    const Case cases[] = {
        {"version 3, nothing left out, 32n + 33", 3, false, 0, 32 * 2 + 33, 0},
        {"version 3, nothing left out, 32n + 34", 3, false, 1, 32 * 2 + 34, 0},
        {"version 3, last field left out", 3, true, 0, 32 * 3 + 33, 4},
        {"version 0x30, nothing left out", 0x30, false, 0, 32 * 2 + 296, 0},
        {"version 0x30, last field left out", 0x30, true, 0, 32 * 3 + 296, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes dbi = SideFile(c.version, c.extra, c.header_extra);
        Spill(At("DOWNA.DBI"), dbi);  // found without regard to case
        TableUnpacker unpacker;
        ASSERT_EQ(Unpack(Download(), unpacker), UnpackOk) << unpacker.detail();
        EXPECT_TRUE(unpacker.used_header_file()) << unpacker.detail();
        EXPECT_EQ(unpacker.drop_width(), c.drop);
        EXPECT_EQ(Listing(), std::vector<std::string>{"downa.dbf"});

        const Bytes t = Table();
        ASSERT_EQ(Le16(t, 8), c.header_length);
        const size_t record = 1 + 2 + 3 + c.drop;
        ASSERT_EQ(t.size(), c.header_length + record + 1);
        EXPECT_EQ(t[0], c.version);
        EXPECT_EQ(Le32(t, 4), 1u);
        EXPECT_EQ(Le16(t, 10), record);
        // Everything the side file held comes back, date and count as rebuilt.
        EXPECT_EQ(Bytes(t.begin() + 8, t.begin() + dbi.size()), Bytes(dbi.begin() + 8, dbi.end()));
        const size_t terminator = 32 + 32 * (c.extra ? 3 : 2);
        EXPECT_EQ(t[terminator], 0x0D);
        for (size_t i = terminator + 1; i < c.header_length; ++i) EXPECT_EQ(t[i], 0) << i;
        EXPECT_EQ(std::string(t.begin() + c.header_length, t.end() - 1),
                  std::string(" hi1.5") + std::string(c.drop, '\0'));
    }
}

TEST_F(HeaderFileTest, SideFileThatDoesNotDescribeTheTableIsIgnored) {
    std::vector<std::pair<const char*, Bytes>> cases;
    {
        Bytes b = SideFile(3, false);
        b[32] = 'X';
        cases.emplace_back("other field name", b);
    }
    {
        Bytes b = SideFile(3, false);
        b[64 + 16] = 4;
        Put16(b, 10, 7);
        cases.emplace_back("other field length", b);
    }
    {
        Bytes b = SideFile(3, false);
        b[64 + 11] = 'C';
        cases.emplace_back("character type for a numeric field", b);
    }
    {
        Bytes b = SideFile(3, false);
        Put16(b, 10, 9);
        cases.emplace_back("record length off", b);
    }
    {
        TTable t;
        t.fields = {{"A", 'C', 2}, {"B", 'N', 3, 1}, {"Y", 'C', 1}, {"Z", 'C', 1}};
        Bytes b = t.Build();
        b.resize(t.header_length() - 1);
        cases.emplace_back("two fields more", b);
    }
    {
        TTable t;
        t.fields = {{"A", 'C', 2}};
        Bytes b = t.Build();
        b.resize(t.header_length() - 1);
        cases.emplace_back("one field fewer", b);
    }
    {
        Bytes b = SideFile(3, false);
        b[0] = 0x83;
        cases.emplace_back("other version", b);
    }
    cases.emplace_back("too short", Bytes(20, 3));
    for (const auto& [what, dbi] : cases) {
        SCOPED_TRACE(what);
        Spill(At("downa.dbi"), dbi);
        TableUnpacker unpacker;
        ASSERT_EQ(Unpack(Download(), unpacker), UnpackOk);
        EXPECT_FALSE(unpacker.used_header_file());
        EXPECT_NE(unpacker.detail().find("not used"), std::string::npos) << unpacker.detail();
        const Bytes t = Table();
        EXPECT_EQ(t[0], 3);
        EXPECT_EQ(Le16(t, 8), 32 * 2 + 33);
        EXPECT_EQ(t[12], 0);
        EXPECT_EQ(Listing(), std::vector<std::string>{"downa.dbf"});  // used or not, it is stale now
    }
}

TEST_F(HeaderFileTest, FailedUnpackKeepsTheSideFile) {
    Spill(At("downa.dbi"), SideFile(3, false));
    Bytes p = Download();
    Put16(p, 13, 0);
    TableUnpacker unpacker;
    EXPECT_EQ(Unpack(p, unpacker), UnpackBadFormat);
    EXPECT_EQ(Listing(), (std::vector<std::string>{"downa.dbf", "downa.dbi"}));
}

// Unpacking from a given packed file into a given output moves, removes and shows nothing, whatever
// the outcome: the caller settles its files first and then shows the box the failure calls for.
TEST_F(HeaderFileTest, UnpackingIntoAGivenFileLeavesTheFilesAndTheBoxToTheCaller) {
    const Bytes good = Download();
    Bytes cut = good;
    Put16(cut, 11, 3);  // three records announced, one there: the count follows the data
    cut.push_back('x');
    struct Case {
        const char* what;
        Bytes packed;
        int16_t result;
        bool box;
    };
    const Case cases[] = {
        {"a good table", good, UnpackOk, false},
        {"no fields", Packed({}, {}), UnpackBadFormat, true},
        {"shorter than its header", Bytes(9, 1), UnpackBadFormat, true},
        {"a partial record after the whole one", cut, UnpackOk, false},
    };
    Spill(At("downa.dbf"), Of("the earlier table"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Spill(At("p.part1-0"), c.packed);
        Spill(At("h.part1-1"), SideFile(3, false));
        boxes_.clear();
        TableUnpacker unpacker;
        tarvix::platform::File out;
        ASSERT_TRUE(out.Open(At("out.part1-2"), "wb+"));
        EXPECT_EQ(unpacker.UnpackFile(At("p.part1-0"), At("h.part1-1"), out), c.result);
        out.Close();
        EXPECT_EQ(unpacker.FailureCallsForBox(), c.box);
        EXPECT_TRUE(boxes_.empty());
        EXPECT_EQ(Slurp(At("p.part1-0")), c.packed);
        EXPECT_EQ(Listing(),
                  (std::vector<std::string>{"downa.dbf", "h.part1-1", "out.part1-2", "p.part1-0"}));
        if (c.result == UnpackOk) {
            EXPECT_TRUE(unpacker.used_header_file());
            EXPECT_EQ(Slurp(At("out.part1-2")).back(), 0x1A);
        }
        unpacker.ShowFailureBox();
        EXPECT_EQ(boxes_, c.box ? std::vector<std::string>{format_box_} : std::vector<std::string>{});
    }
    EXPECT_EQ(Slurp(At("downa.dbf")), Of("the earlier table"));
}

}  // namespace
