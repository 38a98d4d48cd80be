// An upload counts as done only when the handheld holds the file: a resent command taken by the
// handheld as the data it announces never names, keeps or overwrites a file; a lost verdict or a lost
// answer to the last frame of a stored file still reports it stored; a handheld that claims success
// without the file is caught by the size asked after the upload.  Over the pseudo-terminal and over
// the USB stand-in, with the handheld's store looked at after each case.
#include <algorithm>

#include "sim_fixture.h"

namespace tarvix::tftest {
namespace {

using Kind = hhsim::Fault::Kind;

constexpr const char* kHcName = "\\KELVANHB\\A.DBF";

class UploadCheckTest : public SimTest {
  protected:
    void StartSerial(hhsim::Config config = {}) {
        StartSim(1, config);
        fs::create_directories(Store() / "KELVANHB");
    }

    fs::path HcFile() const { return Store() / "KELVANHB" / "A.DBF"; }

    // Everything the handheld holds, folders with a trailing '/', in order.
    std::vector<std::string> StoreEntries() const {
        std::vector<std::string> names;
        for (const auto& e : fs::recursive_directory_iterator(Store())) {
            std::string name = fs::relative(e.path(), Store()).generic_string();
            if (e.is_directory()) name += '/';
            names.push_back(name);
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    // The handheld's folder back to just the one file, or to nothing.
    void ResetStore(const Bytes* old_content) {
        fs::remove_all(Store() / "KELVANHB");
        fs::create_directories(Store() / "KELVANHB");
        if (old_content != nullptr) WriteFile(HcFile(), *old_content);
    }

    int Fired() const { return sim_->Counter("fault"); }
};

const std::vector<std::string> kOnlyTheFile{"KELVANHB/", "KELVANHB/A.DBF"};

// The handheld takes the name command, its answer is refused or lost, and it takes the repeated
// packet as the name: the file must still land under its own name (or be kept, in mode 0), and
// nothing under the packet's bytes.
TEST_F(UploadCheckTest, RepeatedNameCommandNeverNamesTheFile) {
    StartSerial();
    const Bytes old_content = RandomBytes(40, 1);
    const Bytes content = RandomBytes(700, 2);
    WriteFile(work_ / "A.DBF", content);
    struct Case {
        const char* what;
        int answer;  // DamageAnswer value: 0 lost, 1 refused
        bool old_file;
        int32_t mode;
        bool replaced;
    };
    for (const Case& c :
         {Case{"refused answer, new file", 1, false, 1, true},
          Case{"lost answer, new file", 0, false, 1, true},
          Case{"refused answer, overwrite", 1, true, 1, true},
          Case{"lost answer, overwrite", 0, true, 1, true}, Case{"refused answer, keep", 1, true, 0, false},
          Case{"lost answer, keep", 0, true, 0, false}}) {
        SCOPED_TRACE(c.what);
        ResetStore(c.old_file ? &old_content : nullptr);
        const int fired = Fired();
        Plan({hhsim::MakeFault(Kind::DamageAnswer, 80, 1, 1, 1, c.answer),
              hhsim::MakeFault(Kind::ResentAsData, 80, 1)});
        EXPECT_EQ(SendFileToHc(0, 0, kHcName, ".\\A.DBF", 0, c.mode), 0) << "error " << GetLastErrCode();
        EXPECT_EQ(Fired() - fired, 2) << "the repeated packet was not taken as the name";
        EXPECT_EQ(ReadFile(HcFile()), c.replaced ? content : old_content);
        EXPECT_EQ(StoreEntries(), kOnlyTheFile);
        Plan({});
    }
}

// The same hazard for the other commands that the handheld follows with data: the folder of a
// folder command, the message file, and the upload command itself (the file's data).
TEST_F(UploadCheckTest, RepeatedCommandsBeforeOtherData) {
    StartSerial();
    const Bytes old_content = RandomBytes(40, 3);
    const Bytes content = RandomBytes(900, 4);
    WriteFile(work_ / "A.DBF", content);
    for (int answer : {0, 1}) {
        SCOPED_TRACE(answer == 0 ? "lost answer" : "refused answer");

        ResetStore(nullptr);
        Plan({hhsim::MakeFault(Kind::DamageAnswer, 80, 11, 1, 1, answer),
              hhsim::MakeFault(Kind::ResentAsData, 80, 11)});
        EXPECT_EQ(HcMakeDir(0, 0, "\\KELVANHB\\NEW"), 0) << "error " << GetLastErrCode();
        EXPECT_EQ(StoreEntries(), (std::vector<std::string>{"KELVANHB/", "KELVANHB/NEW/"}));

        ResetStore(&old_content);
        const int fired = Fired();
        Plan({hhsim::MakeFault(Kind::DamageAnswer, 80, 2, 1, 1, answer),
              hhsim::MakeFault(Kind::ResentAsData, 80, 2)});
        EXPECT_EQ(SendFileToHc(0, 0, kHcName, ".\\A.DBF", 0, 1), 0) << "error " << GetLastErrCode();
        EXPECT_EQ(Fired() - fired, 1) << "the upload command went twice";
        EXPECT_EQ(ReadFile(HcFile()), content);
        EXPECT_EQ(StoreEntries(), kOnlyTheFile);

        Bytes message = RandomBytes(48, 5 + answer);
        WriteFile(work_ / "msg.bin", message);
        Plan({hhsim::MakeFault(Kind::DamageAnswer, 80, 34, 1, 1, answer),
              hhsim::MakeFault(Kind::ResentAsData, 80, 34)});
        EXPECT_EQ(SendMsgToHc(0, 0, ".\\msg.bin"), 0) << "error " << GetLastErrCode();
        Plan({});
        ASSERT_EQ(GetHcMsg(0, 0, ".\\back.msg"), 0);
        EXPECT_EQ(ReadFile(work_ / "back.msg"), message);
    }
}

// The file arrived whole but the verdict or the answer to its last frame did not: reported stored.
TEST_F(UploadCheckTest, StoredFileWithALostVerdictIsReportedStored) {
    StartSerial();
    const Bytes old_content = RandomBytes(40, 7);
    const Bytes content = RandomBytes(700, 8);
    WriteFile(work_ / "A.DBF", content);
    struct Case {
        const char* what;
        hhsim::Fault fault;
    };
    for (const Case& c :
         {Case{"upload end answer lost", hhsim::MakeFault(Kind::DamageAnswer, 16, 0, 1, 3, 0)},
          Case{"upload end answer refused", hhsim::MakeFault(Kind::DamageAnswer, 16, 0, 1, 3, 1)},
          Case{"verdict naming another command", hhsim::MakeFault(Kind::WrongEcho, 16, 0)},
          Case{"verdict of one byte", hhsim::MakeFault(Kind::ShortStatus, 16, 0)},
          Case{"last frame answer lost", hhsim::MakeFault(Kind::DamageLastAnswer, 80, 2, 1, 3, 0)},
          Case{"last frame answer refused", hhsim::MakeFault(Kind::DamageLastAnswer, 80, 2, 1, 3, 1)}}) {
        SCOPED_TRACE(c.what);
        for (bool old_file : {false, true}) {
            ResetStore(old_file ? &old_content : nullptr);
            const int fired = Fired();
            Plan({c.fault});
            EXPECT_EQ(SendFileToHc(0, 0, kHcName, ".\\A.DBF", 0, 1), 0) << "error " << GetLastErrCode();
            EXPECT_GE(Fired() - fired, 1);
            EXPECT_EQ(ReadFile(HcFile()), content);
            EXPECT_EQ(StoreEntries(), kOnlyTheFile);
            EXPECT_EQ(thrdQueryStatus(), StatusIdle);
        }
    }
    Plan({});
}

// The handheld never takes the last frame: the upload fails and the older file stays as it was; a
// handheld that then claims success anyway is caught by its own entry.
TEST_F(UploadCheckTest, FileNotStoredIsNeverReportedStored) {
    hhsim::Config config;
    config.forced_status["16/0"] = 0;  // the verdict says stored whatever happened
    StartSerial(config);
    const Bytes old_content = RandomBytes(40, 9);
    WriteFile(work_ / "A.DBF", RandomBytes(700, 10));
    // Occurrences of 80/2: the command packet, frames 1 and 2, the last frame and its two repeats.
    Plan({hhsim::MakeFault(Kind::Silence, 80, 2, 4, 3)});
    ResetStore(&old_content);
    EXPECT_EQ(SendFileToHc(0, 0, kHcName, ".\\A.DBF", 0, 1), 1);
    EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrSendFail));
    EXPECT_EQ(ReadFile(HcFile()), old_content);
    EXPECT_EQ(StoreEntries(), kOnlyTheFile);

    Plan({hhsim::MakeFault(Kind::Silence, 80, 2, 4, 3)});
    ResetStore(nullptr);
    EXPECT_EQ(SendFileToHc(0, 0, kHcName, ".\\A.DBF", 0, 1), 1);
    EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrFileNotFound));
    EXPECT_EQ(StoreEntries(), std::vector<std::string>{"KELVANHB/"});

    // Every frame taken and success claimed, but the handheld had no folder to put it in.
    Plan({});
    EXPECT_EQ(SendFileToHc(0, 0, "\\NOFOLDER\\A.DBF", ".\\A.DBF", 0, 1), 1);
    EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrFileNotFound));
    EXPECT_EQ(thrdQueryStatus(), StatusFailed);
    EXPECT_EQ(StoreEntries(), std::vector<std::string>{"KELVANHB/"});
}

// In the background the same check decides the status the worker leaves.
TEST_F(UploadCheckTest, BackgroundUploadIsChecked) {
    hhsim::Config config;
    config.forced_status["16/0"] = 0;
    StartSerial(config);
    const Bytes content = RandomBytes(3000, 11);
    WriteFile(work_ / "A.DBF", content);
    Plan({hhsim::MakeFault(Kind::DamageAnswer, 80, 1, 1, 1, 0), hhsim::MakeFault(Kind::ResentAsData, 80, 1)});
    ASSERT_EQ(thrdSendFileToHc(0, 0, kHcName, ".\\A.DBF", 1, 1), 0);
    WaitWorker();
    EXPECT_EQ(thrdQueryStatus(), StatusIdle) << GetLastErrCode();
    EXPECT_EQ(ReadFile(HcFile()), content);
    EXPECT_EQ(StoreEntries(), kOnlyTheFile);

    Plan({});
    ASSERT_EQ(thrdSendFileToHc(0, 0, "\\NOFOLDER\\A.DBF", ".\\A.DBF", 1, 1), 0);
    WaitWorker();
    EXPECT_EQ(thrdQueryStatus(), StatusFailed);
    EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrFileNotFound));
    EXPECT_EQ(StoreEntries(), kOnlyTheFile);
}

// A package's run names its folder and MIF file to the handheld: a repeated command taken as either
// name must not run anything under the packet's bytes.
TEST_F(UploadCheckTest, PackageRunNamesSurviveARepeatedCommand) {
    StartSerial();
    fs::create_directories(Store() / "APPS");
    fs::create_directories(work_ / "pkg");
    WriteFile(work_ / "pkg" / "a.exe", RandomBytes(300, 14));
    const std::string mif = "[send]\r\nhcpath=\\APPS\r\napplication=a.exe\r\nautorun=1\r\n";
    WriteFile(work_ / "pkg" / "run.mif", Bytes(mif.begin(), mif.end()));
    struct Case {
        const char* what;
        int sub;
        int at;  // the occurrence of the command that the run sends
    };
    // Name commands before the run: the package folder's look-up and the two uploads.
    for (const Case& c : {Case{"folder", 11, 1}, Case{"MIF name", 1, 4}}) {
        SCOPED_TRACE(c.what);
        sim().ClearRecords();
        Plan({hhsim::MakeFault(Kind::DamageAnswer, 80, c.sub, c.at, 1, 0),
              hhsim::MakeFault(Kind::ResentAsData, 80, c.sub)});
        ASSERT_EQ(thrdSendMifToHc(0, 0, ".\\pkg\\run.mif", 0, 1), 0);
        WaitWorker();
        EXPECT_EQ(thrdQueryStatus(), StatusIdle) << GetLastErrCode();
        EXPECT_TRUE(sim().WaitEvent("run:\\APPS\\|run.mif", std::chrono::seconds(2)));
        std::vector<std::string> runs;
        for (const std::string& e : sim().Events()) {
            if (e.rfind("run:", 0) == 0) runs.push_back(e);
        }
        EXPECT_EQ(runs, std::vector<std::string>{"run:\\APPS\\|run.mif"});
        EXPECT_EQ(Fired(), 2) << "the repeated packet was not taken as the name";
        EXPECT_EQ(ReadFile(Store() / "APPS" / "a.exe"), ReadFile(work_ / "pkg" / "a.exe"));
    }
    Plan({});
}

TEST_F(UploadCheckTest, OverUsbTheVerdictAndTheEntryDecide) {
    hhsim::Config config;
    config.forced_status["16/0"] = 0;
    StartUsbSim(4, config);
    const Bytes content = RandomBytes(10000, 12);
    WriteFile(work_ / "A.DBF", content);
    WriteFile(HcFile(), RandomBytes(40, 13));
    // A damaged verdict of a stored file.
    Plan({hhsim::MakeFault(Kind::WrongEcho, 16, 0)});
    EXPECT_EQ(SendFileToHc(0, 0, kHcName, ".\\A.DBF", 0, 1), 0) << "error " << GetLastErrCode();
    EXPECT_EQ(ReadFile(HcFile()), content);
    EXPECT_EQ(StoreEntries(), kOnlyTheFile);
    // Success claimed for a file the handheld could not store, in the foreground and the background.
    Plan({});
    EXPECT_EQ(SendFileToHc(0, 0, "\\NOFOLDER\\A.DBF", ".\\A.DBF", 0, 1), 1);
    EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrFileNotFound));
    tf::Status().last_error.store(0);
    ASSERT_EQ(thrdSendFileToHc(0, 0, "\\NOFOLDER\\A.DBF", ".\\A.DBF", 1, 1), 0);
    WaitWorker();
    EXPECT_EQ(thrdQueryStatus(), StatusFailed);
    EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrFileNotFound));
    EXPECT_EQ(StoreEntries(), kOnlyTheFile);
}

}  // namespace
}  // namespace tarvix::tftest
