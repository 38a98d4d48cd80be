// MIF packages through the exports against the simulated handheld: the package folder made level
// by level, tables with their side files, the message, the run request, drive E, the fetch and the
// deletion, and the checks of the MIF file.
#include "byteframe/background.h"
#include "periph_fixture.h"

namespace bftest {
namespace {

using namespace tarvix;

class Mif : public PeriphExports {
  protected:
    void SetUp() override {
        PeriphExports::SetUp();
        pkg_ = (dir_ / "pkg").string();
        fs::create_directories(pkg_);
    }
    // A package of an application, a dated table and a text, with its message.
    void WritePackage(const std::string& hcpath, const std::string& extra = "") {
        std::ofstream mif(pkg_ + "/demo.mif");
        mif << "[send]\nhcpath=" << hcpath << "\npcpath=" << pkg_
            << "\napplication=DEMO.AXE\nfile1=A.DBF\nfile2=DATA.TXT\nmsg=M.TXT\nautorun=1\n"
            << extra << "[receive]\npcpath=out"
            << "\napplication=DEMO.AXE\nfile1=A.DBF\nmsg=MSG.BIN\n";
        mif.close();
        Spill(pkg_ + "/DEMO.AXE", PlainBytes(700, 1));
        Spill(pkg_ + "/DATA.TXT", Bytes(30, 't'));
        Spill(pkg_ + "/M.TXT", Bytes(50, 'm'));
        WriteDatedTable(pkg_ + "/A.DBF", 12);
        table_ = Slurp(pkg_ + "/A.DBF");
    }
    int32_t Send() {
        const std::string mif = pkg_ + "/demo.mif";
        int32_t started = thrdSendMifToHc(0, 0, mif.c_str(), 0, 1);
        if (started != ResultOk) return -started;
        return WaitIdle();
    }
    std::vector<std::string> Payloads(int command, int sub) const {
        std::vector<std::string> out;
        for (const auto& c : sim_->Commands()) {
            if (c.command == command && c.sub == sub) out.emplace_back(c.payload.begin(), c.payload.end());
        }
        return out;
    }
    std::string pkg_;
    Bytes table_;
};

TEST_F(Mif, PackageGoesUpLevelByLevelAndRuns) {
    Attach();
    WritePackage("\\app\\sub");
    sim_->ClearRecords();
    ASSERT_EQ(Send(), StatusIdle) << GetLastErrCode();
    EXPECT_EQ(Payloads(bf::CmdFile, bf::SubSetPath), (std::vector<std::string>{"\\app", "\\app\\sub"}));
    EXPECT_EQ(Slurp(Store("app/sub/DEMO.AXE")), PlainBytes(700, 1));
    EXPECT_EQ(Slurp(Store("app/sub/DATA.TXT")), Bytes(30, 't'));
    EXPECT_TRUE(fs::exists(Store("app/sub/A.DBF")));
    EXPECT_TRUE(fs::exists(Store("app/sub/A.DBI")));
    EXPECT_FALSE(fs::exists(pkg_ + "/A.DBI"));           // the local side file went once the handheld had it
    EXPECT_TRUE(fs::exists(Store("app/sub/demo.mif")));  // under its own name
    // At most 38 bytes of the message file.
    std::vector<std::string> message = Payloads(bf::CmdPutMessage, 0);
    ASSERT_EQ(message.size(), 1u);
    EXPECT_EQ(message[0], std::string(38, 'm'));
    // The MIF file last, then the run request (which the handheld records after its answer).
    ASSERT_TRUE(sim_->WaitEvent("run", std::chrono::seconds(5)));
    const std::vector<std::string> events = sim_->Events();
    auto at = [&](const std::string& e) {
        return std::find(events.begin(), events.end(), e) - events.begin();
    };
    EXPECT_LT(at("stored:\\app\\sub\\DATA.TXT"), at("stored:\\app\\sub\\demo.mif"));
    EXPECT_LT(at("stored:\\app\\sub\\demo.mif"), at("run"));
    EXPECT_LT(at("run"), static_cast<long>(events.size()));
    std::vector<std::string> run = Payloads(bf::CmdFile, bf::SubRun);
    ASSERT_EQ(run.size(), 1u);
    EXPECT_EQ(run[0], std::string("\\APP\\SUB\\\xFF") + "DEMO.MIF");
    EXPECT_EQ(Finish().error_code, 0);

    // The same package again: the folders are there already, which is no failure.
    WritePackage("\\app\\sub");
    EXPECT_EQ(Send(), StatusIdle) << GetLastErrCode();
}

TEST_F(Mif, FetchAndDeleteByTheHandheldPathOfTheMif) {
    Attach();
    WritePackage("\\APP");
    ASSERT_EQ(Send(), StatusIdle) << GetLastErrCode();
    Finish();
    fs::create_directories(dir_ / "out");
    ASSERT_EQ(thrdGetHcMif(0, 0, "\\APP\\DEMO.MIF", 1), ResultOk);
    ASSERT_EQ(WaitIdle(), StatusIdle) << GetLastErrCode();
    EXPECT_EQ(Slurp(dir_ / "out/DEMO.AXE"), PlainBytes(700, 1));
    EXPECT_EQ(Slurp(dir_ / "out/A.DBF"), table_);     // unpacked with its side file
    EXPECT_FALSE(fs::exists(dir_ / "out/DATA.TXT"));  // no [receive] name: not fetched
    Bytes message(48, 0);                             // the 38 bytes sent, kept in the handheld's 48
    std::fill_n(message.begin(), 38, 'm');
    EXPECT_EQ(Slurp(dir_ / "out/MSG.BIN"), message);
    EXPECT_FALSE(fs::exists("zzmif.tmp"));
    Finish();

    // Deleting asks once for the MIF file and once for every named file.
    ASSERT_EQ(DelHcMif(0, 0, "\\APP\\DEMO.MIF", 2), ResultOk);
    EXPECT_EQ(Prompts().size(), 4u);
    for (const char* name : {"demo.mif", "DEMO.AXE", "A.DBF", "A.DBI", "DATA.TXT"})
        EXPECT_FALSE(fs::exists(Store(std::string("APP/") + name))) << name;
    EXPECT_FALSE(fs::exists("zzmif.tmp"));
    // A package that is not there.
    EXPECT_EQ(DelHcMif(0, 0, "\\APP\\DEMO.MIF", 1), ResultFailed);
    EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrFileNotFound));
}

TEST_F(Mif, DriveEOnlyWhereTheHandheldHasIt) {
    Attach();
    WritePackage("e:\\APP");
    EXPECT_EQ(Send(), StatusFailed);
    EXPECT_EQ(Finish().error_code, ErrUserStop);
    EXPECT_FALSE(fs::exists(Store("$E$")));
    sim_->Stop();

    hhsim::Config config = ByteFrameConfig();
    config.drive_e = true;
    Attach(config);
    sim_->ClearRecords();
    ASSERT_EQ(Send(), StatusIdle) << GetLastErrCode();
    std::vector<Bytes> reads;
    for (const auto& c : sim_->Commands()) {
        if (c.command == bf::CmdReadMemory) reads.emplace_back(c.data.begin(), c.data.begin() + 8);
    }
    EXPECT_EQ(reads, (std::vector<Bytes>{{0x00, 0x40, 0xAF, 0x00, 0x00, 0x00, 0x00, 0x9C}}));
    EXPECT_EQ(Payloads(bf::CmdFile, bf::SubSetPath), (std::vector<std::string>{"\\$E$\\APP"}));
    EXPECT_TRUE(fs::exists(Store("$E$/APP/DEMO.AXE")));
    EXPECT_TRUE(fs::exists(Store("$E$/APP/demo.mif")));
    Finish();
    // Drive E itself is no folder to make.
    WritePackage("e:");
    EXPECT_EQ(Send(), StatusFailed);
    EXPECT_EQ(Finish().error_code, ErrUserStop);
}

TEST_F(Mif, MissingPackageFileStopsTheUpload) {
    Attach();
    WritePackage("\\APP");
    fs::remove(pkg_ + "/DATA.TXT");
    EXPECT_EQ(Send(), StatusFailed);
    EXPECT_EQ(FirstPrompt(), "Attention|" + pkg_ + "\\DATA.TXT not exist");
    EXPECT_EQ(Finish().error_code, ErrFileNotFound);
    EXPECT_TRUE(fs::exists(Store("APP/DEMO.AXE")));  // what went before stays
    EXPECT_FALSE(fs::exists(Store("APP/DEMO.MIF")));
}

TEST_F(Mif, ChecksOfTheMifFile) {
    struct Case {
        const char* lines;
        bool accepted;
        const char* box;
    } cases[] = {
        {"file7=A\\B\n", true, ""},
        {"file6=A\\B\n", false, "A\\B"},
        {"file1=a.b..c\n", true, ""},
        {"file1=..x\n", false, "..x"},
        {"application=a..b\n", false, "a..b"},
        {"hcpath=\\APP\\\\SUB\n", false, "\\APP\\\\SUB"},
        {"hcpath=\\FOLDER123\n", false, "\\FOLDER123"},
        {"hcpath=\\APP\\.X\n", false, "\\APP\\.X"},
        {"hcpath=\\APP\\X.ABCD\n", false, "\\APP\\X.ABCD"},
        {"hcpath=\\APP\\X.ABC\n", true, ""},
        {"hcpath=e:\\APP\n", true, ""},
    };
    for (const Case& c : cases) {
        const std::string path = pkg_ + "/check.mif";
        {
            std::ofstream mif(path);
            mif << "[send]\n" << c.lines;
        }
        prompts_.clear();
        EXPECT_EQ(bf::ValidateMif(path), c.accepted ? 0 : 1) << c.lines;
        if (!c.accepted) {
            EXPECT_EQ(FirstPrompt(), std::string("MIF file format error|") + c.box) << c.lines;
        } else {
            EXPECT_TRUE(Prompts().empty()) << c.lines;
        }
    }
    // Through the export: refused with 2 and nothing started.
    Attach();
    const std::string path = pkg_ + "/check.mif";
    {
        std::ofstream mif(path);
        mif << "[send]\nfile6=A\\B\n";
    }
    EXPECT_EQ(thrdSendMifToHc(0, 0, path.c_str(), 0, 1), ResultNotFound);
    EXPECT_EQ(thrdQueryStatus(), StatusIdle);
}

// Files under `root`, as paths relative to it.
std::vector<std::string> FilesBelow(const fs::path& root) {
    std::vector<std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        if (!e.is_directory()) files.push_back(fs::relative(e.path(), root).string());
    }
    return files;
}

TEST_F(Mif, HandheldPackageNeverLeadsOutsideItsFolder) {
    Attach();
    // The library runs two levels down in the scratch tree: every escape lands inside the tree.
    const fs::path inner = dir_ / "a" / "b";
    fs::create_directories(inner);
    fs::current_path(inner);
    fs::create_directories(Store("APP"));
    Spill(Store("APP/DEMO.AXE"), PlainBytes(300, 1));
    const std::string absolute = (dir_ / "abs").string();
    struct Case {
        std::string receive;  // the [receive] section
        std::string refused;  // the value the box names
    };
    const Case cases[] = {
        {"pcpath=..\\escaped\napplication=DEMO.AXE\n", "..\\escaped"},
        {"pcpath=out\\..\\..\\x\napplication=DEMO.AXE\n", "out\\..\\..\\x"},
        {"pcpath=" + absolute + "\napplication=DEMO.AXE\n", absolute},
        {"pcpath=\\x\napplication=DEMO.AXE\n", "\\x"},
        {"pcpath=c:\\x\napplication=DEMO.AXE\n", "c:\\x"},
        {"application=..\\ESC.TXT\n", "..\\ESC.TXT"},
        {"application=DEMO.AXE\nfile1=..\\..\\E2.TXT\n", "..\\..\\E2.TXT"},
        {"application=DEMO.AXE\nfile31=..\n", ".."},
        {"application=c:ESC.TXT\n", "c:ESC.TXT"},
        {"application=a/ESC.TXT\n", "a/ESC.TXT"},
        {"application=DEMO.AXE\nmsg=..\\M.BIN\n", "..\\M.BIN"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.receive);
        {
            std::ofstream mif(Store("APP/DEMO.MIF"));
            mif << "[send]\nhcpath=\\APP\napplication=DEMO.AXE\nfile1=DEMO.AXE\nfile31=DEMO.AXE\n[receive]\n"
                << c.receive;
        }
        prompts_.clear();
        ASSERT_EQ(thrdGetHcMif(0, 0, "\\APP\\DEMO.MIF", 1), ResultOk);
        EXPECT_EQ(WaitIdle(), StatusFailed);
        EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrBadMif));
        EXPECT_EQ(Prompts(), std::vector<std::string>{"MIF file format error|" + c.refused});
        // Refused before anything was fetched, and the local copy of the MIF file is gone.
        EXPECT_EQ(FilesBelow(dir_), std::vector<std::string>{});
        Finish();
    }

    // Without a [receive] pcpath the package and its message land in the current folder.
    {
        std::ofstream mif(Store("APP/DEMO.MIF"));
        mif << "[send]\nhcpath=\\APP\napplication=DEMO.AXE\n[receive]\napplication=DEMO.AXE\nmsg=MSG.BIN\n";
    }
    ASSERT_EQ(thrdGetHcMif(0, 0, "\\APP\\DEMO.MIF", 1), ResultOk);
    EXPECT_EQ(WaitIdle(), StatusIdle) << GetLastErrCode();
    EXPECT_EQ(Slurp(inner / "DEMO.AXE"), PlainBytes(300, 1));
    std::vector<std::string> files = FilesBelow(dir_);
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"a/b/DEMO.AXE", "a/b/MSG.BIN"}));
    Finish();
}

TEST_F(Mif, HandheldFolderForms) {
    struct Case {
        const char* in;
        bool ok;
        const char* out;
    } cases[] = {
        {"d:\\APP", true, "\\APP"},    {"d:APP", true, "APP"}, {"E:\\APP", true, "\\$E$\\APP"},
        {"x:\\APP", false, "x:\\APP"}, {"APP", true, "\\APP"}, {"\\APP", true, "\\APP"},
    };
    for (const Case& c : cases) {
        std::string path = c.in;
        EXPECT_EQ(bf::NormalizeHcPath(&path), c.ok) << c.in;
        EXPECT_EQ(path, c.out) << c.in;
    }
    std::string too_long = "\\" + std::string(52, 'A');
    EXPECT_FALSE(bf::NormalizeHcPath(&too_long));
    EXPECT_EQ(too_long.size(), 53u);
}

TEST_F(Mif, StopRequestBeforeTheStart) {
    Attach();
    WritePackage("\\APP");
    // A request left standing: the upload ends at its start, the fetch quietly.
    const std::string mif = pkg_ + "/demo.mif";
    bf::g_stop_flag.store(true);
    ASSERT_EQ(bf_.ThrdSendMifToHc(LinkPort, LinkRate, mif.c_str(), 0, 1), ResultOk);
    EXPECT_EQ(WaitIdle(), StatusFailed);
    EXPECT_EQ(Finish().error_code, ErrUserStop);
    EXPECT_FALSE(fs::exists(Store("APP")));
    bf::g_stop_flag.store(true);
    bf::SetErrorCode(ErrNone);
    sim_->ClearRecords();
    ASSERT_EQ(bf_.ThrdGetHcMif(LinkPort, LinkRate, "\\APP\\DEMO.MIF", 1), ResultOk);
    EXPECT_EQ(WaitIdle(), StatusIdle);
    EXPECT_EQ(CommandsOf(bf::CmdFile, bf::SubDownload), 0);
    EXPECT_FALSE(bf::g_stop_flag.load());
}

}  // namespace
}  // namespace bftest
