// dBase tables travel packed: packed on the way out, unpacked on the way in.
#include "bf_fixture.h"
#include "tables/dbf.h"
#include "tables/pack.h"

namespace bftest {
namespace {

using namespace tarvix;
using namespace tarvix::bf;

class Tables : public SimFixture {
  protected:
    static void WriteTaskTable(const std::string& path, int records) {
        dbf::Writer writer;
        ASSERT_TRUE(
            writer.Create(path, {{"NID", 'N', 6, 0}, {"ADDRES", 'C', 20, 0}, {"PA", 'N', 9, 2}}).ok());
        writer.SetUpdateDate(2026, 12, 10);
        for (int i = 0; i < records; ++i) {
            std::string nid = std::to_string(i), addr = "Street " + std::to_string(i),
                        pa = std::to_string(i) + ".25";
            std::pair<std::string_view, std::string_view> values[] = {
                {"NID", nid}, {"ADDRES", addr}, {"PA", pa}};
            ASSERT_TRUE(writer.Append(values).ok());
        }
        ASSERT_TRUE(writer.Close().ok());
    }
};

TEST_F(Tables, TaskTableArrivesPackedAndComesBackTheSame) {
    StartSim();
    fs::create_directories(Store("KELVANHB"));
    WriteTaskTable("A.DBF", 300);
    ASSERT_EQ(bf_.SendFileToHc(1, 115200, "\\KELVANHB\\A.DBF", ".\\A.DBF", 0, 1), ResultOk);
    EXPECT_FALSE(fs::exists("A.DBC"));  // the packed temporary is gone

    // What the handheld holds is the packed form of the table.
    fs::copy_file("A.DBF", "B.DBF");
    tables::TablePacker packer;
    ASSERT_EQ(packer.bfPackTable("B.DBF"), 0);
    EXPECT_EQ(Slurp(Store("KELVANHB/A.DBF")), Slurp("B.DBC"));

    ASSERT_EQ(bf_.GetHcFile(1, 115200, "\\KELVANHB\\A.DBF", ".\\downa.dbf", 1), ResultOk);
    EXPECT_EQ(Slurp("downa.dbf"), Slurp("A.DBF"));
    EXPECT_FALSE(fs::exists("downa.db$"));
}

TEST_F(Tables, TableThatCannotBeUnpackedLeavesThePreviousFile) {
    StartSim();
    Spill(Store("BAD.DBF"), Bytes(40, 0xEE));
    Spill("local.dbf", Bytes(6, 'k'));
    EXPECT_EQ(bf_.GetHcFile(1, 115200, "\\BAD.DBF", ".\\local.dbf", 1), ResultFailed);
    EXPECT_EQ(bf::ErrorCode(), ErrBadFile);
    EXPECT_EQ(Slurp("local.dbf"), Bytes(6, 'k'));
    EXPECT_EQ(Slurp("local.db$"), Bytes(40, 0xEE));  // the data that came is kept
    ASSERT_FALSE(Prompts().empty());
    EXPECT_EQ(Prompts().back(), "Error|.DBF file format error");
    // Without a previous file nothing appears under the target name either.
    EXPECT_EQ(bf_.GetHcFile(1, 115200, "\\BAD.DBF", ".\\fresh.dbf", 1), ResultFailed);
    EXPECT_FALSE(fs::exists("fresh.dbf"));
}

TEST_F(Tables, TableThatCannotBePackedIsNotSent) {
    StartSim();
    Spill("BROKEN.DBF", Bytes(10, 0x03));
    EXPECT_EQ(bf_.SendFileToHc(1, 115200, "\\BROKEN.DBF", ".\\BROKEN.DBF", 0, 1), ResultFailed);
    EXPECT_EQ(bf::ErrorCode(), ErrBadFile);
    EXPECT_EQ(sim_->CommandCount(), 0u);
    EXPECT_FALSE(fs::exists("BROKEN.DBC"));
    EXPECT_EQ(bf_.SendFileToHc(1, 115200, "\\NONE.DBF", ".\\NONE.DBF", 0, 1), ResultFailed);
    EXPECT_EQ(bf::ErrorCode(), ErrFileNotFound);
}

}  // namespace
}  // namespace bftest
