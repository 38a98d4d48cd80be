// Uploads, downloads and deletes through the exports, in the foreground and in the background,
// against the simulated handheld, with its scripted faults and line noise.
#include <cstring>

#include "sim_fixture.h"
#include "textframe/textframe.h"

namespace tarvix::tftest {
namespace {

constexpr const char* kHcName = "\\KELVANHB\\A.DBF";

class TransferTest : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        StartSim(1);
        fs::create_directories(Store() / "KELVANHB");
    }

    fs::path HcFile() const { return Store() / "KELVANHB" / "A.DBF"; }

    static int32_t LastError() { return GetLastErrCode(); }
};

TEST_F(TransferTest, UploadOverwriteModes) {
    const Bytes old_content = RandomBytes(50, 1);
    const Bytes new_content = RandomBytes(700, 2);
    WriteFile(work_ / "A.DBF", new_content);
    struct Case {
        int32_t mode;
        int32_t answer;  // what the question box gives (0: a box that failed)
        bool replaced;
        bool asked;
    };
    const Case cases[] = {
        {0, TARVIX_ID_YES, false, false},
        {1, TARVIX_ID_NO, true, false},
        {2, TARVIX_ID_YES, true, true},
        {2, TARVIX_ID_NO, false, true},
        {3, 0, false, true},
        {-1, TARVIX_ID_YES, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "mode " << c.mode << " answer " << c.answer);
        WriteFile(HcFile(), old_content);
        AnswerAlways(c.answer);
        const size_t prompts_before = Prompts().size();
        ASSERT_EQ(SendFileToHc(0, 0, kHcName, ".\\A.DBF", 0, c.mode), 0);
        EXPECT_EQ(ReadFile(HcFile()), c.replaced ? new_content : old_content);
        EXPECT_EQ(Prompts().size() - prompts_before, c.asked ? 1u : 0u);
        EXPECT_EQ(thrdQueryStatus(), StatusIdle);
    }
    EXPECT_EQ(Prompts().back(), std::string("Attention|") + kHcName + " existed,overwrite??");
    // The family's boxes stay on top of every window until answered.
    EXPECT_EQ(Styles().back(), TARVIX_MB_YESNO | TARVIX_MB_ICONQUESTION | TARVIX_MB_SYSTEMMODAL);
}

TEST_F(TransferTest, UploadOfANewFileAndItsRefusals) {
    const Bytes content = RandomBytes(1000, 3);
    WriteFile(work_ / "A.DBF", content);
    ASSERT_EQ(SendFileToHc(7, 7, kHcName, ".\\A.DBF", 0, 0), 0);  // port and rate are not read
    EXPECT_EQ(ReadFile(HcFile()), content);

    // Without a handheld name the PC file's name is used (in 8.3 form on this handheld).
    WriteFile(work_ / "longfilename.txt", content);
    ASSERT_EQ(SendFileToHc(0, 0, "", ".\\longfilename.txt", 0, 1), 0);
    EXPECT_EQ(ReadFile(Store() / "longfi~1.txt"), content);

    struct Refusal {
        const char* what;
        std::string hc_name;
        const char* pc_path;
        ErrorCode code;
    };
    fs::create_directories(Store() / "KELVANHB" / "DIR");
    const Refusal refusals[] = {
        {"no PC path", kHcName, "", ErrBadParam},
        {"missing PC file", kHcName, ".\\none.bin", ErrCreateFile},
        {"handheld folder", "\\KELVANHB\\DIR", ".\\A.DBF", ErrCreateFile},
        {"name too long for the handheld", "\\" + std::string(300, 'N'), ".\\A.DBF", ErrBadName},
        {"name too long for the 8.3 rule", "\\" + std::string(70, 'N'), ".\\A.DBF", ErrBadName},
    };
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(SendFileToHc(0, 0, r.hc_name.c_str(), r.pc_path, 0, 1), 1);
        EXPECT_EQ(LastError(), static_cast<int32_t>(r.code));
        EXPECT_EQ(thrdQueryStatus(), StatusFailed);
    }
}

TEST_F(TransferTest, FreeSpaceRule) {
    WriteFile(work_ / "new.bin", RandomBytes(500000, 4));
    sim().SetFreeSpace(1000000);
    EXPECT_EQ(SendFileToHc(0, 0, "\\KELVANHB\\NEW.BIN", ".\\new.bin", 0, 1), 0);
    fs::remove(Store() / "KELVANHB" / "NEW.BIN");
    WriteFile(work_ / "new.bin", RandomBytes(500001, 4));
    EXPECT_EQ(SendFileToHc(0, 0, "\\KELVANHB\\NEW.BIN", ".\\new.bin", 0, 1), 1);
    EXPECT_EQ(LastError(), static_cast<int32_t>(ErrDiskFull));
    EXPECT_EQ(sim().ShownText(), "No memory");
    EXPECT_FALSE(fs::exists(Store() / "KELVANHB" / "NEW.BIN"));

    // Sizes the handheld cannot be told (4 GiB or more) and, on this variant, files of 33276463
    // bytes or more are refused before anything is sent.
    const int uploads_before = sim().Counter("command:80/5");
    fs::resize_file(work_ / "new.bin", 0);
    fs::resize_file(work_ / "new.bin", 0x100000000ull);
    EXPECT_EQ(SendFileToHc(0, 0, "\\KELVANHB\\NEW.BIN", ".\\new.bin", 0, 1), 1);
    EXPECT_EQ(LastError(), static_cast<int32_t>(ErrDiskFull));
    tf::Status().last_error.store(ErrOperation);
    fs::resize_file(work_ / "new.bin", 33276463);
    EXPECT_EQ(SendFileToHc(0, 0, "\\KELVANHB\\NEW.BIN", ".\\new.bin", 0, 1), 1);
    EXPECT_EQ(LastError(), static_cast<int32_t>(ErrOperation));
    EXPECT_EQ(thrdQueryStatus(), StatusFailed);
    EXPECT_EQ(sim().Counter("command:80/5"), uploads_before);

    // Near 4 GiB of free space the sum must not wrap round and refuse a small file.
    WriteFile(HcFile(), Bytes(10, 'x'));
    WriteFile(work_ / "A.DBF", RandomBytes(1024, 5));
    sim().SetFreeSpace(0xFFFFFFFFu);
    EXPECT_EQ(SendFileToHc(0, 0, kHcName, ".\\A.DBF", 0, 1), 0);
    EXPECT_EQ(ReadFile(HcFile()), RandomBytes(1024, 5));
}

TEST_F(TransferTest, DownloadModesAndFolderClash) {
    const Bytes content = RandomBytes(777, 6);
    WriteFile(HcFile(), content);
    const Bytes previous = RandomBytes(20, 7);
    struct Case {
        int32_t mode;
        int32_t answer;
        bool replaced;
    };
    for (const Case& c : {Case{0, TARVIX_ID_YES, false}, Case{1, TARVIX_ID_NO, true},
                          Case{2, TARVIX_ID_YES, true}, Case{2, TARVIX_ID_NO, false}, Case{5, 0, false}}) {
        SCOPED_TRACE(::testing::Message() << "mode " << c.mode);
        WriteFile(work_ / "downa.dbf", previous);
        AnswerAlways(c.answer);
        ASSERT_EQ(GetHcFile(0, 0, kHcName, ".\\downa.dbf", c.mode), 0);
        EXPECT_EQ(ReadFile(work_ / "downa.dbf"), c.replaced ? content : previous);
    }
    EXPECT_EQ(Prompts().back(), "Attention|.\\downa.dbf existed,overwrite??");
    EXPECT_EQ(WorkFiles(), std::vector<std::string>{"downa.dbf"});

    // Without a PC path the handheld name lands in the current folder.
    ASSERT_EQ(GetHcFile(0, 0, kHcName, "", 1), 0);
    EXPECT_EQ(ReadFile(work_ / "A.DBF"), content);

    fs::create_directories(work_ / "clash");
    EXPECT_EQ(GetHcFile(0, 0, kHcName, ".\\clash", 1), 1);
    EXPECT_EQ(LastError(), static_cast<int32_t>(ErrCreateFile));
    EXPECT_EQ(Prompts().back(), "Attention|Folder with the same name exists");
    EXPECT_EQ(Styles().back(), TARVIX_MB_OK | TARVIX_MB_ICONERROR | TARVIX_MB_SYSTEMMODAL);

    EXPECT_EQ(GetHcFile(0, 0, "\\KELVANHB\\NONE.DBF", ".\\none.dbf", 1), 1);
    EXPECT_EQ(LastError(), static_cast<int32_t>(ErrFileNotFound));
    EXPECT_FALSE(fs::exists(work_ / "none.dbf"));
}

TEST_F(TransferTest, FailedDownloadKeepsThePreviousFile) {
    WriteFile(HcFile(), RandomBytes(3000, 8));
    const Bytes previous = RandomBytes(64, 9);
    struct Case {
        const char* what;
        hhsim::Fault fault;
    };
    const Case cases[] = {
        // The handheld ends the data early: fewer bytes than announced are no file.
        {"early last block", hhsim::MakeFault(hhsim::Fault::Kind::EarlyLast, 80, 3, 3)},
        {"skipped block number", hhsim::MakeFault(hhsim::Fault::Kind::SkipNumber, 80, 3, 2)},
        {"abort frame", hhsim::MakeFault(hhsim::Fault::Kind::AbortFrame, 80, 3, 2)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteFile(work_ / "downa.dbf", previous);
        Plan({c.fault});
        EXPECT_EQ(GetHcFile(0, 0, kHcName, ".\\downa.dbf", 1), 1);
        EXPECT_EQ(LastError(), static_cast<int32_t>(ErrReceiveFail));
        EXPECT_EQ(ReadFile(work_ / "downa.dbf"), previous);
        EXPECT_EQ(WorkFiles(), std::vector<std::string>{"downa.dbf"});
        Plan({});
    }
}

TEST_F(TransferTest, RecoverableLineFaults) {
    const Bytes content = RandomBytes(5000, 10);
    WriteFile(work_ / "A.DBF", content);
    Plan({hhsim::MakeFault(hhsim::Fault::Kind::Nak, 80, 2, 2),
          hhsim::MakeFault(hhsim::Fault::Kind::Silence, 80, 2, 5)});
    ASSERT_EQ(SendFileToHc(0, 0, kHcName, ".\\A.DBF", 0, 1), 0);
    EXPECT_EQ(ReadFile(HcFile()), content);

    Plan({hhsim::MakeFault(hhsim::Fault::Kind::CorruptCheck, 80, 3, 2),
          hhsim::MakeFault(hhsim::Fault::Kind::RepeatFrame, 80, 3, 4)});
    ASSERT_EQ(GetHcFile(0, 0, kHcName, ".\\back.bin", 1), 0);
    EXPECT_EQ(ReadFile(work_ / "back.bin"), content);
}

// The handheld takes a command and acts on it, but its answer byte is spoiled on the line: the PC
// sends the command again, and the handheld must answer the repeat as it answered the first, so that
// the round trip still ends well with the very bytes.
TEST_F(TransferTest, SpoiledAnswersToCommandsAreRecovered) {
    const Bytes content = RandomBytes(3000, 12);
    WriteFile(work_ / "A.DBF", content);
    struct Case {
        const char* what;
        int command;
        int sub;
    };
    for (const Case& c : {Case{"file size", 80, 5}, Case{"upload", 80, 2}, Case{"upload end", 16, 0},
                          Case{"download", 80, 3}, Case{"set name", 80, 1}}) {
        SCOPED_TRACE(c.what);
        std::error_code ec;
        fs::remove(HcFile(), ec);
        fs::remove(work_ / "back.bin", ec);
        const int fired_before = sim().Counter("fault");
        Plan({hhsim::MakeFault(hhsim::Fault::Kind::SpoilAnswer, c.command, c.sub)});
        EXPECT_EQ(SendFileToHc(0, 0, kHcName, ".\\A.DBF", 0, 1), 0) << "error " << LastError();
        EXPECT_EQ(ReadFile(HcFile()), content);
        EXPECT_EQ(GetHcFile(0, 0, kHcName, ".\\back.bin", 1), 0) << "error " << LastError();
        EXPECT_EQ(ReadFile(work_ / "back.bin"), content);
        EXPECT_EQ(sim().Counter("fault") - fired_before, 1);
    }
    Plan({});
}

TEST_F(TransferTest, StatusRepliesMustBeWhole) {
    WriteFile(work_ / "A.DBF", RandomBytes(100, 11));
    struct Case {
        const char* what;
        hhsim::Fault fault;
    };
    hhsim::Fault short_reply = hhsim::MakeFault(hhsim::Fault::Kind::ShortStatus, 80, 5);
    short_reply.value = 2;
    hhsim::Fault wrong_status = hhsim::MakeFault(hhsim::Fault::Kind::WrongStatus, 16, 0);
    wrong_status.value = 3;
    for (const Case& c : {Case{"two-byte reply", short_reply},
                          Case{"other sub-command", hhsim::MakeFault(hhsim::Fault::Kind::WrongEcho, 80, 2)},
                          Case{"non-zero status", wrong_status}}) {
        SCOPED_TRACE(c.what);
        Plan({c.fault});
        EXPECT_EQ(SendFileToHc(0, 0, kHcName, ".\\A.DBF", 0, 1), 1);
        EXPECT_EQ(LastError(), static_cast<int32_t>(ErrOperation));
    }
}

TEST_F(TransferTest, DeleteConfirmModes) {
    struct Case {
        int32_t mode;
        int32_t answer;
        bool deleted;
    };
    for (const Case& c : {Case{1, TARVIX_ID_NO, true}, Case{2, TARVIX_ID_NO, false}, Case{3, 0, false},
                          Case{2, TARVIX_ID_YES, true}}) {
        SCOPED_TRACE(::testing::Message() << "mode " << c.mode << " answer " << c.answer);
        WriteFile(HcFile(), Bytes(5, 'd'));
        AnswerAlways(c.answer);
        ASSERT_EQ(DelHcFile(0, 0, kHcName, c.mode), 0);
        EXPECT_EQ(fs::exists(HcFile()), !c.deleted);
    }
    EXPECT_EQ(Prompts().back(), std::string("Attention|Delete file") + kHcName + "??");
    EXPECT_EQ(Styles().back(), TARVIX_MB_YESNO | TARVIX_MB_ICONQUESTION | TARVIX_MB_SYSTEMMODAL);
    EXPECT_EQ(DelHcFile(0, 0, kHcName, 1), 1);
    EXPECT_EQ(LastError(), static_cast<int32_t>(ErrFileNotFound));
}

TEST_F(TransferTest, OneClaimFromLookUpToUpload) {
    // While the overwrite question waits, no other operation gets the link, so the handheld's current
    // file name cannot change under the upload.
    WriteFile(HcFile(), Bytes(5, 'o'));
    WriteFile(Store() / "KELVANHB" / "OTHER.DBF", Bytes(6, 'p'));
    const Bytes content = RandomBytes(900, 12);
    WriteFile(work_ / "A.DBF", content);
    int32_t other = -1;
    Answer([&](const char*) {
        HcFileRecord record{};
        other = tf::TextFrame().GetHcFileInfo("\\KELVANHB\\OTHER.DBF", &record);
        return TARVIX_ID_YES;
    });
    ASSERT_EQ(SendFileToHc(0, 0, kHcName, ".\\A.DBF", 0, 2), 0);
    EXPECT_EQ(other, ResultBusy);
    EXPECT_EQ(ReadFile(HcFile()), content);
    EXPECT_EQ(ReadFile(Store() / "KELVANHB" / "OTHER.DBF"), Bytes(6, 'p'));
}

TEST_F(TransferTest, MegabyteRoundTrip) {
    const Bytes content = RandomBytes(1 << 20, 13);
    WriteFile(work_ / "big.bin", content);
    ASSERT_EQ(SendFileToHc(0, 0, "\\KELVANHB\\BIG.BIN", ".\\big.bin", 0, 1), 0);
    ASSERT_EQ(GetHcFile(0, 0, "\\KELVANHB\\BIG.BIN", ".\\back.bin", 1), 0);
    EXPECT_EQ(ReadFile(work_ / "back.bin"), content);
}

TEST_F(TransferTest, LineNoiseNeverPassesAWrongFile) {
    hhsim::FaultPlan plan;
    plan.noise_rate = 1e-3;
    int successes = 0;
    for (uint32_t round = 0; round < 10; ++round) {
        SCOPED_TRACE(round);
        plan.noise_seed = 100 + round;
        sim().SetPlan(plan);
        const Bytes content = RandomBytes(4000, 200 + round);
        WriteFile(work_ / "up.bin", content);
        const std::string hc = "\\KELVANHB\\N" + std::to_string(round) + ".BIN";
        if (SendFileToHc(0, 0, hc.c_str(), ".\\up.bin", 0, 1) == 0) {
            ++successes;
            sim().SetPlan({});
            ASSERT_EQ(ReadFile(Store() / "KELVANHB" / ("N" + std::to_string(round) + ".BIN")), content);
            sim().SetPlan(plan);
        } else {
            EXPECT_NE(LastError(), 0);
        }
        WriteFile(Store() / "KELVANHB" / "SRC.BIN", content);
        fs::remove(work_ / "down.bin");
        if (GetHcFile(0, 0, "\\KELVANHB\\SRC.BIN", ".\\down.bin", 1) == 0) {
            ++successes;
            ASSERT_EQ(ReadFile(work_ / "down.bin"), content);
        } else {
            EXPECT_NE(LastError(), 0);
            EXPECT_FALSE(fs::exists(work_ / "down.bin"));
        }
    }
    EXPECT_GT(successes, 0);
}

TEST_F(TransferTest, BackgroundTransfersWithProgress) {
    const Bytes content = RandomBytes(64 * 1024, 14);
    WriteFile(work_ / "A.DBF", content);
    ASSERT_EQ(thrdSendFileToHc(0, 0, kHcName, ".\\A.DBF", 0, 1), 0);
    EXPECT_EQ(thrdSendFileToHc(0, 0, kHcName, ".\\A.DBF", 0, 1), 3);  // one worker at a time
    WaitWorker();
    EXPECT_EQ(thrdQueryStatus(), StatusIdle);
    EXPECT_EQ(ReadFile(HcFile()), content);
    EXPECT_EQ(thrdQueryPercent(), 0);

    // Held half-way, the download shows its progress.
    tf::Timing t = TestTiming();
    t.default_timeout_ms = 3000;
    tf::SetTiming(t);
    hhsim::Fault pause = hhsim::MakeFault(hhsim::Fault::Kind::Pause, 80, 3, 128);
    Plan({pause});
    ASSERT_EQ(thrdGetHcFile(0, 0, kHcName, ".\\down.bin", 1), 0);
    ASSERT_TRUE(sim().WaitEvent("paused:pause", std::chrono::seconds(10)));
    EXPECT_EQ(thrdQueryStatus(), StatusBusy);
    EXPECT_EQ(thrdQueryPercent(), 49);
    sim().Release();
    WaitWorker();
    EXPECT_EQ(thrdQueryStatus(), StatusIdle);
    EXPECT_EQ(ReadFile(work_ / "down.bin"), content);
}

TEST_F(TransferTest, StopPutsTheAbortFrameOnTheLine) {
    tf::Timing t = TestTiming();
    t.default_timeout_ms = 3000;
    tf::SetTiming(t);
    WriteFile(work_ / "A.DBF", RandomBytes(20000, 15));
    Plan({hhsim::MakeFault(hhsim::Fault::Kind::Pause, 80, 2, 10)});
    ASSERT_EQ(thrdSendFileToHc(0, 0, kHcName, ".\\A.DBF", 0, 1), 0);
    ASSERT_TRUE(sim().WaitEvent("paused:pause", std::chrono::seconds(10)));
    EXPECT_GT(thrdQueryPercent(), 0);
    EXPECT_EQ(thrdStop(0), 0);
    sim().Release();
    WaitWorker();
    EXPECT_EQ(thrdQueryStatus(), StatusFailed);
    EXPECT_EQ(LastError(), static_cast<int32_t>(ErrSendFail));
    ASSERT_TRUE(sim().WaitEvent("abort", std::chrono::seconds(5)));
    bool abort_seen = false;
    for (const hhsim::FrameRecord& f : sim().Frames()) {
        if (f.inbound && std::string(f.raw.begin(), f.raw.end()) == "#00000000$10C6") abort_seen = true;
    }
    EXPECT_TRUE(abort_seen);
    EXPECT_FALSE(fs::exists(HcFile()));
}

TEST_F(TransferTest, BackgroundRefusals) {
    // Arguments longer than the worker's fields are refused, not cut.
    EXPECT_EQ(thrdSendFileToHc(0, 0, std::string(300, 'N').c_str(), ".\\A.DBF", 0, 1), 1);
    EXPECT_EQ(LastError(), static_cast<int32_t>(ErrBadName));
    EXPECT_EQ(thrdGetHcFile(0, 0, kHcName, (".\\" + std::string(300, 'p')).c_str(), 1), 1);
    EXPECT_EQ(LastError(), static_cast<int32_t>(ErrBadParam));
    EXPECT_EQ(thrdQueryStatus(), StatusFailed);

    // A worker whose operation finds the link held by another one reports a failure.
    ASSERT_EQ(AdPortAndRate(nullptr, nullptr), 0);
    WriteFile(HcFile(), Bytes(3, 'z'));
    ASSERT_EQ(tf::SetLinkStatus(StatusBusy, 0), 1);
    tf::TextFrame family;
    ASSERT_EQ(family.ThrdGetHcFile(kHcName, ".\\x.bin", 1), 0);
    WaitWorker();
    tf::SetLinkStatus(StatusIdle, 0);
    EXPECT_EQ(thrdQueryStatus(), StatusFailed);
    EXPECT_FALSE(fs::exists(work_ / "x.bin"));
    // The next operation that gets the link starts afresh.
    ASSERT_EQ(GetHcFile(0, 0, kHcName, ".\\x.bin", 1), 0);
    EXPECT_EQ(thrdQueryStatus(), StatusIdle);
}

}  // namespace
}  // namespace tarvix::tftest
