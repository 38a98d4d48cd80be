// MIF packages on the simulated text-frame handheld through the exports: the check before an
// upload, the upload with its message file and autorun, the download and the deletion.
#include <algorithm>
#include <cctype>

#include "common/messages.h"
#include "sim_fixture.h"
#include "textframe/link_status.h"
#include "textframe/textframe.h"

namespace tarvix::tftest {
namespace {

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

class MifTest : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        StartSim(1);
        fs::create_directories(work_ / "pkg");
    }

    static void WriteText(const fs::path& path, const std::string& text) {
        WriteFile(path, Bytes(text.begin(), text.end()));
    }

    // Package files in pkg (or its subfolder) and the MIF describing them.
    void Package(const std::string& send, const fs::path& folder = "pkg") {
        fs::create_directories(work_ / folder);
        WriteFile(work_ / folder / "a.exe", RandomBytes(300, 1));
        WriteFile(work_ / folder / "b.dat", RandomBytes(40, 2));
        WriteFile(work_ / folder / "c.dat", RandomBytes(500, 3));
        WriteFile(work_ / folder / "note.msg", RandomBytes(12, 4));
        WriteText(work_ / "pkg" / "run.mif", "[send]\r\n" + send);
    }

    std::vector<std::string> Stored() const {
        std::vector<std::string> stored;
        for (const std::string& e : sim_->Events()) {
            if (e.rfind("stored:", 0) == 0) stored.push_back(Upper(e.substr(7)));
            if (e == "command:80/34") stored.push_back("message");
        }
        return stored;
    }

    int Count(int command, int sub) const {
        int n = 0;
        for (const auto& c : sim_->Commands()) n += c.command == command && c.sub == sub;
        return n;
    }

    int32_t SendMif(const char* path = ".\\pkg\\run.mif", int32_t mode = 1) {
        const int32_t r = thrdSendMifToHc(0, 0, path, 0, mode);
        WaitWorker();
        return r;
    }

    std::string CheckBox(const std::string& text) const {
        return tf::Prompt(tf::TfPrompt::MifFormat) + "|" + text;
    }
};

TEST_F(MifTest, CheckRefusesBadPackages) {
    struct Case {
        const char* send;
        std::string box;
    };
    const Case cases[] = {
        {"application=sub\\app.exe\r\n", "sub\\app.exe"},
        {"application=a.exe\r\nfile1=b.dat\r\nfile3=gone.dat\r\n", (work_ / "pkg" / "gone.dat").string()},
        {"application=a.exe\r\nmsg=none.msg\r\n", (work_ / "pkg" / "none.msg").string()},
        {"application=a.exe\r\n[receive]\r\nmsg=x/y.msg\r\n", "x/y.msg"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.send);
        Package(c.send);
        const size_t before = Prompts().size();
        EXPECT_EQ(SendMif(), 1);
        EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrBadMif));
        EXPECT_EQ(thrdQueryStatus(), StatusFailed);
        const std::vector<std::string> prompts = Prompts();
        ASSERT_EQ(prompts.size(), before + 1);
        EXPECT_EQ(prompts.back(), CheckBox(c.box));
    }
    EXPECT_EQ(Prompts().front(), "MIF file format error|sub\\app.exe");
    // A missing MIF: refused without a box.
    const size_t before = Prompts().size();
    EXPECT_EQ(SendMif(".\\pkg\\none.mif"), 1);
    EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrBadMif));
    EXPECT_EQ(Prompts().size(), before);
    EXPECT_TRUE(Stored().empty());
}

TEST_F(MifTest, UploadOrderMessageAndAutorun) {
    fs::create_directories(Store() / "APPS");
    Package(
        "hcpath=\\APPS\r\napplication=a.exe\r\nfile1=b.dat\r\nfile2=c.dat\r\nmsg=note.msg\r\nautorun=1\r\n");
    ASSERT_EQ(SendMif(), 0);
    EXPECT_EQ(thrdQueryStatus(), StatusIdle);
    const std::vector<std::string> want = {"\\APPS\\A.EXE", "\\APPS\\B.DAT", "\\APPS\\C.DAT", "message",
                                           "\\APPS\\RUN.MIF"};
    EXPECT_EQ(Stored(), want);
    EXPECT_EQ(ReadFile(Store() / "APPS" / "c.dat"), ReadFile(work_ / "pkg" / "c.dat"));
    EXPECT_TRUE(sim().WaitEvent("run:\\APPS\\|run.mif", std::chrono::seconds(2)));
}

TEST_F(MifTest, PackageFolderFromPcpath) {
    fs::create_directories(Store() / "APPS");
    struct Case {
        const char* pcpath;
        fs::path folder;
    };
    const Case cases[] = {
        {"", "pkg"}, {"data", "pkg/data"}, {"\\data", "pkg/data"}, {"..\\pkg\\data", "pkg/data"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pcpath);
        sim().ClearRecords();
        Package(std::string("hcpath=\\APPS\r\npcpath=") + c.pcpath + "\r\napplication=a.exe\r\n", c.folder);
        ASSERT_EQ(SendMif(), 0);
        EXPECT_EQ(ReadFile(Store() / "APPS" / "a.exe"), ReadFile(work_ / c.folder / "a.exe"));
        fs::remove_all(work_ / "pkg");
    }
}

TEST_F(MifTest, HandheldFolder) {
    // No hcpath on a handheld of kind 4 whose root has no entry: its root, which is never made.
    Package("application=a.exe\r\n");
    ASSERT_EQ(SendMif(), 0);
    EXPECT_EQ(thrdQueryStatus(), StatusIdle);
    EXPECT_EQ(Count(80, 13), 0);
    EXPECT_TRUE(fs::exists(Store() / "a.exe"));

    // hcpath naming a file: nothing is uploaded.
    sim().ClearRecords();
    WriteFile(Store() / "APPS", Bytes(3, 'f'));
    Package("hcpath=\\APPS\r\napplication=a.exe\r\n");
    ASSERT_EQ(SendMif(), 0);  // the starter's result
    EXPECT_EQ(thrdQueryStatus(), StatusFailed);
    EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrMakeDir));
    EXPECT_TRUE(Stored().empty());

    // A missing folder is made, then filled.
    Package("hcpath=\\NEW\r\napplication=a.exe\r\n");
    ASSERT_EQ(SendMif(), 0);
    EXPECT_EQ(thrdQueryStatus(), StatusIdle);
    EXPECT_EQ(Count(80, 13), 1);
    EXPECT_TRUE(fs::exists(Store() / "NEW" / "a.exe"));
}

TEST_F(MifTest, NoHcpathOnKindThree) {
    // The handheld's current folder "./" is looked up and, with no entry, made as a whole.
    sim().Stop();
    hhsim::Config config;
    config.model = "T3";  // not the model of kind 4: the detection leaves the kind as it is
    StartSim(1, config);
    DeviceKind = 3;
    Package("application=a.exe\r\n");
    ASSERT_EQ(SendMif(), 0);
    std::vector<std::string> paths;
    for (const auto& c : sim().Commands()) {
        if (c.command == 80 && c.sub == 11) paths.emplace_back(c.payload.begin(), c.payload.end());
    }
    EXPECT_EQ(paths, std::vector<std::string>{"./"});
    EXPECT_EQ(Count(80, 13), 1);
}

TEST_F(MifTest, DownloadPackage) {
    fs::create_directories(Store() / "APPS");
    fs::create_directories(work_ / "out");
    WriteFile(Store() / "APPS" / "a.exe", RandomBytes(700, 9));
    WriteFile(Store() / "APPS" / "b.dat", RandomBytes(70, 10));
    WriteText(Store() / "APPS" / "run.mif",
              "[send]\r\napplication=x.exe\r\n[receive]\r\npcpath=out\r\napplication=a.exe\r\nfile1=b.dat\r\n"
              "msg=back.msg\r\n");
    ASSERT_EQ(thrdGetHcMif(0, 0, "\\APPS\\run.mif", 1), 0);
    WaitWorker();
    EXPECT_EQ(thrdQueryStatus(), StatusIdle);
    EXPECT_EQ(ReadFile(work_ / "out" / "a.exe"), ReadFile(Store() / "APPS" / "a.exe"));
    EXPECT_EQ(ReadFile(work_ / "out" / "b.dat"), ReadFile(Store() / "APPS" / "b.dat"));
    EXPECT_EQ(ReadFile(work_ / "out" / "back.msg").size(), 48u);
    EXPECT_FALSE(fs::exists(work_ / "zzmif.tmp"));
    EXPECT_FALSE(fs::exists(work_ / "run.mif"));
}

TEST_F(MifTest, DownloadRefusesNamesOutsideItsFolder) {
    fs::create_directories(Store() / "APPS");
    fs::create_directories(work_ / "out");
    WriteFile(Store() / "evil", RandomBytes(10, 9));
    WriteText(Store() / "APPS" / "run.mif", "[receive]\r\npcpath=out\r\napplication=..\\evil\r\n");
    ASSERT_EQ(thrdGetHcMif(0, 0, "\\APPS\\run.mif", 1), 0);
    WaitWorker();
    EXPECT_EQ(thrdQueryStatus(), StatusFailed);
    EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrBadMif));
    EXPECT_FALSE(fs::exists(work_ / "evil"));
    EXPECT_FALSE(fs::exists(work_ / "zzmif.tmp"));

    // A missing handheld MIF: the download's failure, and no local copy left.
    ASSERT_EQ(thrdGetHcMif(0, 0, "\\APPS\\none.mif", 1), 0);
    WaitWorker();
    EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrFileNotFound));
    EXPECT_FALSE(fs::exists(work_ / "zzmif.tmp"));
}

// Files under `root`, as paths relative to it.
std::vector<std::string> FilesBelow(const fs::path& root) {
    std::vector<std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        if (!e.is_directory()) files.push_back(fs::relative(e.path(), root).string());
    }
    return files;
}

TEST_F(MifTest, HandheldPackageNeverLeadsOutsideItsFolder) {
    // The library runs two levels down in a scratch tree: every escape lands inside the tree.
    const fs::path scratch = work_;
    const fs::path inner = scratch / "a" / "b";
    fs::create_directories(inner);
    fs::current_path(inner);
    fs::create_directories(Store() / "APPS");
    WriteFile(Store() / "APPS" / "a.exe", RandomBytes(100, 1));
    WriteFile(Store() / "APPS" / "ESC.TXT", RandomBytes(100, 2));
    const std::string absolute = (scratch / "abs").string();
    struct Case {
        std::string receive;  // the [receive] section
        std::string refused;  // the value the check box names
    };
    const Case cases[] = {
        {"pcpath=..\\escaped\r\napplication=a.exe\r\n", "..\\escaped"},
        {"pcpath=out\\..\\..\\x\r\napplication=a.exe\r\n", "out\\..\\..\\x"},
        {"pcpath=" + absolute + "\r\napplication=a.exe\r\n", absolute},
        {"pcpath=\\tmp\\x\r\napplication=a.exe\r\n", "\\tmp\\x"},
        {"pcpath=c:\\x\r\napplication=a.exe\r\n", "c:\\x"},
        {"pcpath=c:x\r\napplication=a.exe\r\n", "c:x"},
        {"application=..\\ESC.TXT\r\n", "..\\ESC.TXT"},
        {"application=a.exe\r\nfile1=../../ESC.TXT\r\n", "../../ESC.TXT"},
        {"application=a.exe\r\nfile31=..\r\n", ".."},
        {"application=c:ESC.TXT\r\n", "c:ESC.TXT"},
        {"application=a.exe\r\nmsg=..\\M.BIN\r\n", "..\\M.BIN"},
        {"pcpath=out\r\napplication=a.exe\r\nmsg=sub/M.BIN\r\n", "sub/M.BIN"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.receive);
        WriteText(Store() / "APPS" / "run.mif", "[send]\r\napplication=a.exe\r\n[receive]\r\n" + c.receive);
        const size_t boxes = Prompts().size();
        ASSERT_EQ(thrdGetHcMif(0, 0, "\\APPS\\run.mif", 1), 0);
        WaitWorker();
        EXPECT_EQ(thrdQueryStatus(), StatusFailed);
        EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrBadMif));
        const std::vector<std::string> prompts = Prompts();
        ASSERT_EQ(prompts.size(), boxes + 1);
        EXPECT_EQ(prompts.back(), CheckBox(c.refused));
        // Refused before anything was fetched: not even a well-named file came, and the local copy
        // of the MIF file is gone.
        EXPECT_EQ(FilesBelow(scratch), std::vector<std::string>{});
        tf::Status().status.store(StatusIdle);
    }
}

TEST_F(MifTest, DeletePackage) {
    fs::create_directories(Store() / "APPS");
    const std::string mif = "[send]\r\napplication=a.exe\r\nfile1=gone.dat\r\nfile2=c.dat\r\n";
    auto fill = [&] {
        WriteText(Store() / "APPS" / "run.mif", mif);
        WriteFile(Store() / "APPS" / "a.exe", Bytes(5, 'a'));
        WriteFile(Store() / "APPS" / "c.dat", Bytes(5, 'c'));
    };
    // A named file already missing is passed over.
    fill();
    ASSERT_EQ(DelHcMif(0, 0, "\\APPS\\run.mif", 1), 0);
    EXPECT_FALSE(fs::exists(Store() / "APPS" / "run.mif"));
    EXPECT_FALSE(fs::exists(Store() / "APPS" / "a.exe"));
    EXPECT_FALSE(fs::exists(Store() / "APPS" / "c.dat"));
    EXPECT_FALSE(fs::exists(work_ / "zzmif.tmp"));
    EXPECT_EQ(thrdQueryStatus(), StatusIdle);

    // Asking: No to the MIF itself still asks for each named file.
    fill();
    Answer([](const char* text) {
        return std::string(text).find("run.mif") != std::string::npos ? TARVIX_ID_NO : TARVIX_ID_YES;
    });
    const size_t before = Prompts().size();
    ASSERT_EQ(DelHcMif(0, 0, "\\APPS\\run.mif", 2), 0);
    EXPECT_EQ(Prompts().size() - before, 3u);  // the MIF, a.exe and c.dat (gone.dat is not there)
    EXPECT_TRUE(fs::exists(Store() / "APPS" / "run.mif"));
    EXPECT_FALSE(fs::exists(Store() / "APPS" / "a.exe"));
    EXPECT_FALSE(fs::exists(Store() / "APPS" / "c.dat"));

    EXPECT_EQ(DelHcMif(0, 0, "\\APPS\\none.mif", 1), 1);
    EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrFileNotFound));
    EXPECT_FALSE(fs::exists(work_ / "zzmif.tmp"));
}

TEST_F(MifTest, OneBackgroundWorkerAtATime) {
    Package("application=a.exe\r\n");
    ASSERT_EQ(tf::ClaimWorker(), 0);
    EXPECT_EQ(tf::TextFrame().ThrdSendMifToHc(".\\pkg\\run.mif", 1), ResultBusy);
    EXPECT_EQ(tf::TextFrame().ThrdGetHcMif("\\APPS\\run.mif", 1), ResultBusy);
    tf::ReleaseWorker();
    EXPECT_TRUE(Stored().empty());
}

}  // namespace
}  // namespace tarvix::tftest
