// dBase tables travel packed: packed on the way out, unpacked on the way in.
#include <algorithm>
#include <chrono>
#include <thread>

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

// A table the handheld returns malformed: the box is shown only once the PC's files are final, so a
// process that ends while it is up loses nothing.  The earlier table and its side file never leave
// their names, the download is kept under the packed table's aside name (replacing one left before),
// and no part file is left, in the foreground and in the background with the handheld's side file.
TEST_F(Tables, MalformedTableIsShownOnlyWhenTheFilesAreFinal) {
    StartSim();
    const Bytes malformed(40, 0xEE);
    Spill(Store("BAD.DBF"), malformed);
    Spill(Store("BAD.DBI"), Bytes(97, 'h'));
    const Bytes earlier(6, 'k'), earlier_side(33, 's');
    std::vector<std::vector<std::string>> at_box;
    platform::SetPromptHandler([&](const char* text, const char* caption, uint32_t) {
        std::vector<std::string> seen{std::string(caption) + "|" + text};
        for (const std::string& name : LocalFiles()) {
            const Bytes content = Slurp(name);
            seen.push_back(name + (content == earlier        ? " earlier"
                                   : content == earlier_side ? " earlier side"
                                   : content == malformed    ? " download"
                                                             : " other"));
        }
        at_box.push_back(seen);
        return TARVIX_ID_OK;
    });
    struct Case {
        const char* what;
        bool background;
        bool with_side;  // an earlier local.dbi beside the table
    };
    const Case cases[] = {
        {"foreground", false, false},
        {"foreground, a side file beside", false, true},
        {"background, the handheld's side file", true, false},
        {"background, both side files", true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (const std::string& name : LocalFiles()) fs::remove(name);
        Spill("local.dbf", earlier);
        Spill("local.db$", Bytes(3, 'x'));  // left by an earlier failure
        if (c.with_side) Spill("local.dbi", earlier_side);
        at_box.clear();
        bf::SetErrorCode(ErrNone);
        if (c.background) {
            ASSERT_EQ(bf_.ThrdGetHcFile(1, 115200, "\\BAD.DBF", ".\\local.dbf", 1), ResultOk);
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (bf::StatusValue() == StatusBusy && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            EXPECT_EQ(bf::StatusValue(), StatusFailed);
            bf::SetStatusValue(StatusIdle);
        } else {
            EXPECT_EQ(bf_.GetHcFile(1, 115200, "\\BAD.DBF", ".\\local.dbf", 1), ResultFailed);
        }
        EXPECT_EQ(bf::ErrorCode(), ErrBadFile);
        std::vector<std::string> expected{"Error|.DBF file format error", "local.db$ download"};
        if (c.with_side) expected.push_back("local.dbi earlier side");
        expected.push_back("local.dbf earlier");
        std::sort(expected.begin() + 1, expected.end());
        ASSERT_EQ(at_box.size(), 1u);
        EXPECT_EQ(at_box.front(), expected);
        EXPECT_EQ(LocalFiles().size(), expected.size() - 1);  // and so it stays
    }
    // Without an earlier table nothing appears under the target's name either.
    for (const std::string& name : LocalFiles()) fs::remove(name);
    EXPECT_EQ(bf_.GetHcFile(1, 115200, "\\BAD.DBF", ".\\fresh.dbf", 1), ResultFailed);
    EXPECT_EQ(LocalFiles(), std::vector<std::string>{"fresh.db$"});
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
