// The tables we write open in a standard dBase reader (Python's dbfread, when it is installed).
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "tables/dbf.h"
#include "tables/table_files.h"
#include "tables/unpack.h"

using namespace tablestest;

namespace {

constexpr const char* kPython = "/usr/bin/python3";

// Each record as "name=value;..." in the reader's own conversion, one line per record.
constexpr const char* kScript =
    "import sys, dbfread\n"
    "t = dbfread.DBF(sys.argv[1], encoding='latin1', char_decode_errors='strict', load=True)\n"
    "print(len(t.records), t.header.numrecords)\n"
    "for r in t.records: print(';'.join('%s=%s' % (k, v) for k, v in r.items()))\n";

bool ReaderPresent() {
    const std::string probe = std::string(kPython) + " -c 'import dbfread' 2>/dev/null";
    return std::system(probe.c_str()) == 0;
}

std::string RunReader(const std::string& script_path, const std::string& table) {
    const std::string command = std::string(kPython) + " " + script_path + " " + table + " 2>&1";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    std::string out;
    std::array<char, 512> buffer;
    while (pipe && std::fgets(buffer.data(), buffer.size(), pipe.get()) != nullptr) out += buffer.data();
    return out;
}

class StandardReader : public TableDir {
  protected:
    void SetUp() override {
        TableDir::SetUp();
        if (!ReaderPresent()) GTEST_SKIP() << "python3-dbfread is not installed";
        Spill(At("read.py"), Of(kScript));
    }
    std::string Read(const std::string& name) { return RunReader(At("read.py"), At(name)); }
};

TEST_F(StandardReader, OpensTablesOfTheDbaseModule) {
    tarvix::dbf::Writer w;
    ASSERT_TRUE(w.Create(At("w.dbf"), {{"NID", 'N', 6, 0},
                                       {"CID", 'C', 12, 0},
                                       {"PA", 'N', 10, 2},
                                       {"CRQ", 'D', 8, 0},
                                       {"OK", 'L', 1, 0}}));
    const std::pair<std::string_view, std::string_view> r1[] = {
        {"nid", "1"}, {"cid", "C-1"}, {"pa", "12.5"}, {"crq", "20261210"}, {"ok", "t"}};
    const std::pair<std::string_view, std::string_view> r2[] = {{"nid", "-22"}, {"cid", "Calle Mayor"}};
    ASSERT_TRUE(w.Append(r1));
    ASSERT_TRUE(w.Append(r2));
    ASSERT_TRUE(w.Close());
    EXPECT_EQ(Read("w.dbf"),
              "2 2\n"
              "NID=1;CID=C-1;PA=12.5;CRQ=2026-12-10;OK=True\n"
              "NID=-22;CID=Calle Mayor;PA=None;CRQ=None;OK=None\n");

    // A copy of its structure with records appended, as the desk writes the task table.
    tarvix::dbf::Writer a;
    ASSERT_TRUE(a.CreateFrom(At("w.dbf"), At("A.DBF")));
    const std::pair<std::string_view, std::string_view> r3[] = {{"NID", "3"}, {"PA", "-0.5"}};
    ASSERT_TRUE(a.Append(r3));
    ASSERT_TRUE(a.Close());
    EXPECT_EQ(Read("A.DBF"), "1 1\nNID=3;CID=;PA=-0.5;CRQ=None;OK=None\n");
}

TEST_F(StandardReader, OpensUnpackedTables) {
    Bytes p(16 + 32, 0);
    std::memcpy(&p[3], "        ", 8);
    Put16(p, 11, 2);
    Put16(p, 13, 5);
    p[15] = 2;
    std::memcpy(&p[16], "NID", 3);
    p[16 + 10] = 'N';
    p[16 + 11] = 2;
    p[16 + 12] = 4;
    std::memcpy(&p[32], "CID", 3);
    p[32 + 10] = 'C';
    p[32 + 11] = 3;
    p[32 + 12] = 3;
    p[32 + 14] = 2;
    for (const Bytes& r : {Bytes{0xDD, 0xD7, 'a', 'b', 'c'}, Bytes{0x12, 0x34, 'x', ' ', ' '}}) {
        p.insert(p.end(), r.begin(), r.end());
    }
    Spill(At("downa.dbf"), p);
    tarvix::tables::TableUnpacker unpacker;
    ASSERT_EQ(unpacker.bfUnpackTable(At("downa.dbf")), 0) << unpacker.detail();
    EXPECT_EQ(Read("downa.dbf"), "2 2\nNID=7;CID=abc\nNID=1234;CID=x\n");
}

}  // namespace
