// Uploads whose single answers go astray: an answer to a command that the handheld follows with data,
// a copy of such a command taken as the data, the answer to the last frame of the file, the result
// byte.  After each, the handheld's store is looked at: the file under its name with its bytes, no file
// under any other name, an older file still there when the upload failed.
#include <chrono>
#include <map>
#include <set>
#include <thread>

#include "periph_fixture.h"
#include "platform/usb.h"

namespace bftest {
namespace {

using namespace tarvix;
using namespace tarvix::bf;
using K = hhsim::Fault::Kind;

// Every file of the handheld's store, as paths relative to it.
std::set<std::string> StoreFiles(const fs::path& root) {
    std::set<std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        if (e.is_regular_file()) files.insert(fs::relative(e.path(), root).generic_string());
    }
    return files;
}

class UploadFaults : public SimFixture {
  protected:
    void Plan(std::vector<hhsim::Fault> faults) {
        hhsim::FaultPlan plan;
        plan.faults = std::move(faults);
        sim_->SetPlan(plan);
    }
};

struct Case {
    const char* what;
    const char* version;  // below 60: the sum carries the file data
    bool existing;        // an older DATA.BIN on the handheld
    size_t size;
    std::vector<hhsim::Fault> faults;
};

// One answer spoiled (or lost) at a time; every upload ends with the file stored and reports it so.
TEST_F(UploadFaults, OneSpoiledAnswerStillStoresTheFileUnderItsName) {
    const Case cases[] = {
        {"answer to the upload's name command, its copy taken as the name",
         "BFHH-V 61",
         false,
         1000,
         {hhsim::MakeFault(K::SpoilAnswer, 80, 1, 2), hhsim::MakeFault(K::ResentAsData, 80, 1, 1, 99)}},
        {"the same answer lost",
         "BFHH-V 61",
         false,
         1000,
         {hhsim::MakeFault(K::SpoilAnswer, 80, 1, 2, 1, 0), hhsim::MakeFault(K::ResentAsData, 80, 1, 1, 99)}},
        {"answer to the deletion's name command over an older file",
         "BFHH-V 61",
         true,
         1000,
         {hhsim::MakeFault(K::SpoilAnswer, 80, 1, 2), hhsim::MakeFault(K::ResentAsData, 80, 1, 1, 99)}},
        {"answer to the upload's name command over an older file",
         "BFHH-V 61",
         true,
         1000,
         {hhsim::MakeFault(K::SpoilAnswer, 80, 1, 3), hhsim::MakeFault(K::ResentAsData, 80, 1, 1, 99)}},
        {"answer to the look-up's name command after the file",
         "BFHH-V 61",
         false,
         1000,
         {hhsim::MakeFault(K::SpoilAnswer, 80, 1, 3), hhsim::MakeFault(K::ResentAsData, 80, 1, 1, 99)}},
        {"answer to the upload command, its copy taken as the file (sum firmware)",
         "BFHH-V 59",
         false,
         1000,
         {hhsim::MakeFault(K::SpoilAnswer, 80, 2), hhsim::MakeFault(K::ResentAsData, 80, 2, 1, 99)}},
        {"answer to the upload command, CRC firmware",
         "BFHH-V 61",
         true,
         1000,
         {hhsim::MakeFault(K::SpoilAnswer, 80, 2)}},
        {"answer to the last frame spoiled, CRC firmware",
         "BFHH-V 61",
         true,
         1000,
         {hhsim::MakeFault(K::DamageLastAnswer, 80, 2)}},
        {"answer to the last frame lost, CRC firmware",
         "BFHH-V 61",
         true,
         1000,
         {hhsim::MakeFault(K::DamageLastAnswer, 80, 2, 1, 1, 0)}},
        {"answer to the only frame spoiled, CRC firmware",
         "BFHH-V 61",
         false,
         100,
         {hhsim::MakeFault(K::DamageLastAnswer, 80, 2)}},
        {"answer to the last frame lost, sum firmware",
         "BFHH-V 59",
         false,
         1000,
         {hhsim::MakeFault(K::DamageLastAnswer, 80, 2, 1, 1, 0)}},
        {"answer to the last frame spoiled and the result byte lost",
         "BFHH-V 61",
         false,
         1000,
         {hhsim::MakeFault(K::DamageLastAnswer, 80, 2), hhsim::MakeFault(K::ShortStatus, 80, 22, 1, 99)}},
    };
    // A lost answer is not waited out at the stream's full answer time-out.
    Tune().wait_cap_ms.store(300 * kWaitScale);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        hhsim::Config config = ByteFrameConfig();
        config.version = c.version;
        StartSim(config);
        if (c.existing) Spill(Store("DATA.BIN"), Bytes(77, 'o'));
        const Bytes data = PlainBytes(c.size, 5);
        Spill("in.bin", data);
        Plan(c.faults);
        bf::SetErrorCode(ErrNone);
        EXPECT_EQ(bf_.SendFileToHc(1, 115200, "\\DATA.BIN", ".\\in.bin", 0, 1), ResultOk) << bf::ErrorCode();
        EXPECT_GE(sim_->Counter("fault"), 1);
        EXPECT_EQ(Slurp(Store("DATA.BIN")), data);
        EXPECT_EQ(StoreFiles(Store()), std::set<std::string>{"DATA.BIN"});
        EXPECT_EQ(sim_->ShownText(), "Finished");
        sim_->Stop();
    }
}

// The commands that the handheld follows with a folder or a message: a spoiled answer and a copy of
// the command taken as the data leave the folder and the message as they were meant.
TEST_F(UploadFaults, FolderAndMessageSurviveASpoiledAnswer) {
    StartSim();
    Plan({hhsim::MakeFault(K::SpoilAnswer, 80, 11), hhsim::MakeFault(K::ResentAsData, 80, 11, 1, 99)});
    EXPECT_EQ(bf_.HcMakeDir(1, 115200, "\\NEWDIR"), 0);
    EXPECT_TRUE(fs::is_directory(Store("NEWDIR")));
    std::set<std::string> entries;
    for (const auto& e : fs::directory_iterator(Store())) entries.insert(e.path().filename().string());
    EXPECT_EQ(entries, std::set<std::string>{"NEWDIR"});

    Plan({hhsim::MakeFault(K::SpoilAnswer, 25, 0), hhsim::MakeFault(K::ResentAsData, 25, 0, 1, 99)});
    uint8_t message[48];
    for (size_t i = 0; i < sizeof message; ++i) message[i] = static_cast<uint8_t>('a' + i % 26);
    EXPECT_EQ(bf_.SendMsgToHc(1, 115200, message, sizeof message), ResultOk);
    EXPECT_GE(sim_->Counter("fault"), 1);
    sim_->ClearRecords();
    EXPECT_EQ(bf_.GetHcMsg(1, 115200, ".\\msg.txt"), ResultOk);
    EXPECT_EQ(Slurp("msg.txt"), Bytes(message, message + sizeof message));
}

// Where the handheld does not end up holding the file, the upload fails with a code and an older file
// of that name is not lost to a wrong name.
TEST_F(UploadFaults, AnUploadTheHandheldDoesNotHoldIsNoSuccess) {
    struct Failing {
        const char* what;
        const char* name;
        std::map<std::string, uint8_t> forced;
        std::vector<hhsim::Fault> faults;
        uint16_t code;
    };
    const Failing cases[] = {
        {"every answer to the deletion's name command spoiled",
         "\\DATA.BIN",
         {},
         {hhsim::MakeFault(K::SpoilAnswer, 80, 1, 2, 99), hhsim::MakeFault(K::ResentAsData, 80, 1, 1, 99)},
         ErrNoAck},
        {"a result byte of 0 for a file the handheld could not write",
         "\\NOFOLDER\\DATA.BIN",
         {{"80/2", 0}},
         {},
         ErrWriteFile},
        {"no result byte and no file",
         "\\NOFOLDER\\DATA.BIN",
         {},
         {hhsim::MakeFault(K::ShortStatus, 80, 22, 1, 99)},
         ErrWriteFile},
    };
    for (const Failing& c : cases) {
        SCOPED_TRACE(c.what);
        hhsim::Config config = ByteFrameConfig();
        config.forced_status = c.forced;
        StartSim(config);
        const Bytes old(77, 'o');
        Spill(Store("DATA.BIN"), old);
        Spill("in.bin", PlainBytes(1000, 6));
        Plan(c.faults);
        bf::SetErrorCode(ErrNone);
        EXPECT_EQ(bf_.SendFileToHc(1, 115200, c.name, ".\\in.bin", 0, 1), ResultFailed);
        EXPECT_EQ(bf::ErrorCode(), c.code);
        EXPECT_EQ(Slurp(Store("DATA.BIN")), old);
        EXPECT_EQ(StoreFiles(Store()), std::set<std::string>{"DATA.BIN"});
        sim_->Stop();
    }
}

// The look-up after the data takes only a file entry of the right name and size as proof: a folder,
// or an entry of a kind no stored file is listed with, is the file missing.
TEST_F(UploadFaults, OnlyAFileEntryShowsTheUpload) {
    struct Kind {
        int kind;
        int32_t result;
    };
    const Kind kinds[] = {{4, ResultFailed}, {2, ResultFailed}, {7, ResultFailed}, {0, ResultFailed},
                          {5, ResultFailed}, {1, ResultOk},     {3, ResultOk}};
    for (const Kind& k : kinds) {
        SCOPED_TRACE(k.kind);
        StartSim();
        Spill("in.bin", PlainBytes(600, 8));
        // Before the upload there is no entry to answer with; after it, the file's entry has the kind.
        Plan({hhsim::MakeFault(K::WrongKind, 80, 14, 1, 99, k.kind)});
        bf::SetErrorCode(ErrNone);
        EXPECT_EQ(bf_.SendFileToHc(1, 115200, "\\DATA.BIN", ".\\in.bin", 0, 1), k.result);
        if (k.result != ResultOk) {
            EXPECT_EQ(bf::ErrorCode(), ErrWriteFile);
        }
        EXPECT_GE(sim_->Counter("fault"), 1);
        EXPECT_EQ(sim_->ShownText(), k.result == ResultOk ? "Finished" : "Fail");
        sim_->Stop();
    }
}

// A stop in any step of the check after the data, on a handheld held in that step, ends a background
// upload at once with the stop's code.
TEST_F(UploadFaults, AStopInTheCheckEndsItWithTheStopsCode) {
    // The first find is the look-up before the upload.
    const hhsim::Fault find_answer = hhsim::MakeFault(K::Pause, 80, 14, 2);
    struct Step {
        const char* what;
        hhsim::Fault fault;
        const char* event;
    };
    const Step steps[] = {
        {"the verdict question, its answer lost", hhsim::MakeFault(K::SpoilAnswer, 80, 22, 1, 99, 0),
         "fault"},
        {"the look-up's name command, its answer lost", hhsim::MakeFault(K::SpoilAnswer, 80, 1, 3, 99, 0),
         "fault"},
        {"the look-up's find, its answer lost", hhsim::MakeFault(K::SpoilAnswer, 80, 14, 2, 99, 0), "fault"},
        {"the look-up's answer held back", find_answer, "paused:pause"},
        {"the look-up's answer dribbling", hhsim::MakeFault(K::Dribble, 80, 14, 2, 1, 2000), "dribble"},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        StartSim();
        Spill("in.bin", PlainBytes(600, 8));
        Plan({step.fault});
        bf::SetErrorCode(ErrNone);
        ASSERT_EQ(bf_.ThrdSendFileToHc(1, 115200, "\\DATA.BIN", ".\\in.bin", 0, 1), ResultOk);
        ASSERT_TRUE(sim_->WaitEvent(step.event, std::chrono::seconds(10)));
        const auto stopped_at = std::chrono::steady_clock::now();
        bf::Stop(2);
        const auto until = stopped_at + std::chrono::seconds(10);
        while (bf::StatusValue() == StatusBusy && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        const auto took = std::chrono::steady_clock::now() - stopped_at;
        EXPECT_EQ(bf::StatusValue(), StatusFailed);
        EXPECT_EQ(bf::ErrorCode(), ErrUserStop);
        // No frame wait (half a second after the data) is waited out.
        EXPECT_LT(took, std::chrono::milliseconds(400 * kWaitScale));
        bf::SetStatusValue(StatusIdle);
        bf::g_stop_flag.store(false);
        sim_->Release();
        sim_->Stop();
    }
}

// The check after the data ends within its own time whatever the handheld does: silent from the
// verdict question on, silent from the look-up on, or dribbling the look-up's answer one byte just
// inside each byte wait.  The protocol's waits stay as they are (an answer wait of 500 ms and a byte
// wait of 3 s after the data, five attempts), under which the unbounded check took 45 s to 187 s.
TEST_F(UploadFaults, TheCheckEndsWithinItsOwnTime) {
    struct Peer {
        const char* what;
        std::vector<hhsim::Fault> faults;
        const char* event;
    };
    const Peer peers[] = {
        {"silent from the verdict question on", {hhsim::MakeFault(K::GoSilent, 80, 22)}, "silent"},
        {"silent from the look-up on", {hhsim::MakeFault(K::GoSilent, 80, 1, 3)}, "silent"},
        {"one byte just inside each byte wait",
         {hhsim::MakeFault(K::Dribble, 80, 14, 2, 99, 2900)},
         "dribble"},
    };
    const uint32_t limit = 800 * kWaitScale;
    for (const Peer& peer : peers) {
        SCOPED_TRACE(peer.what);
        Tune().upload_check_limit_ms.store(limit);
        StartSim();
        Spill("in.bin", PlainBytes(600, 8));
        Plan(peer.faults);
        bf::SetErrorCode(ErrNone);
        const auto began = std::chrono::steady_clock::now();
        EXPECT_EQ(bf_.SendFileToHc(1, 115200, "\\DATA.BIN", ".\\in.bin", 0, 1), ResultFailed);
        const auto took = std::chrono::steady_clock::now() - began;
        EXPECT_EQ(bf::ErrorCode(), ErrTimeout);
        EXPECT_GE(sim_->Counter(peer.event), 1);
        // The upload before the check takes a fraction of that.
        EXPECT_LT(took, std::chrono::milliseconds(limit + 600 * kWaitScale));
        EXPECT_GT(took, std::chrono::milliseconds(limit));
        sim_->Stop();
    }
}

// The same check over the exports: the desk's packed table, a background upload, and over USB.
class UploadCheckExports : public PeriphExports {
  protected:
    void TearDown() override {
        PeriphExports::TearDown();
        tarvix::bf::Proto().line().ComInit(1, 115200);  // leaves the USB mode
        tarvix::bf::Proto().line().ComRelease();
        unsetenv("TARVIX_USB_DIR");
        platform::usb::SetReplyTimeoutMs(10000);
    }
    void AttachOn(bool usb, std::map<std::string, uint8_t> forced = {}) {
        hhsim::Config config = ByteFrameConfig();
        config.forced_status = std::move(forced);
        if (!usb) return Attach(config);
        config.usb = 1;
        StartSim(config);
        setenv("TARVIX_COM1", "/nonexistent/tty", 1);
        setenv("TARVIX_USB_DIR", sim_->UsbDir().c_str(), 1);
        platform::usb::SetReplyTimeoutMs(3000);
        int32_t port = -1;
        ASSERT_EQ(AdPortAndRateAndMode(&port, nullptr, nullptr), 0);
        ASSERT_EQ(port, 0);
    }
    // The look-up after the result byte: the name command and a find, in that order.
    bool LookedUpAfterResult() const {
        const auto commands = sim_->Commands();
        for (size_t i = 0; i + 2 < commands.size(); ++i) {
            if (commands[i].command == 80 && commands[i].sub == 22)
                return commands[i + 1].sub == 1 && commands[i + 2].sub == 14;
        }
        return false;
    }
};

TEST_F(UploadCheckExports, TablesAndBackgroundUploadsAreCheckedOnTheLineAndOverUsb) {
    for (bool usb : {false, true}) {
        SCOPED_TRACE(usb ? "USB" : "serial");
        AttachOn(usb);
        fs::create_directories(Store("KELVANHB"));
        WriteDatedTable("A.DBF", 20);
        ASSERT_EQ(SendFileToHc(0, 0, "\\KELVANHB\\A.DBF", ".\\A.DBF", 0, 1), ResultOk) << GetLastErrCode();
        EXPECT_TRUE(LookedUpAfterResult());
        // The packed size is what the handheld holds and what was compared.
        EXPECT_TRUE(fs::exists(Store("KELVANHB/A.DBF")));
        EXPECT_FALSE(fs::exists("A.DBC"));
        sim_->Stop();
        sim_.reset();

        // A handheld that says 0 for a file it did not write.
        AttachOn(usb, {{"80/2", 0}});
        Spill("in.bin", PlainBytes(700, 9));
        EXPECT_EQ(SendFileToHc(0, 0, "\\NOFOLDER\\B.BIN", ".\\in.bin", 0, 1), ResultFailed);
        EXPECT_EQ(GetLastErrCode(), ErrWriteFile);
        ASSERT_EQ(thrdSendFileToHc(0, 0, "\\NOFOLDER\\B.BIN", ".\\in.bin", 0, 1), ResultOk);
        EXPECT_EQ(WaitIdle(), StatusFailed);
        EXPECT_EQ(Finish().error_code, ErrWriteFile);
        EXPECT_TRUE(StoreFiles(Store()).empty());
        sim_->Stop();
        sim_.reset();

        // A folder entry for the name is no proof, nor is a handheld that goes silent after the data
        // one: the check ends within its own time on either wire.
        AttachOn(usb);
        Spill("in.bin", PlainBytes(700, 9));
        hhsim::FaultPlan folder;
        folder.faults = {hhsim::MakeFault(K::WrongKind, 80, 14, 1, 99, 4)};
        sim_->SetPlan(folder);
        EXPECT_EQ(SendFileToHc(0, 0, "\\C.BIN", ".\\in.bin", 0, 1), ResultFailed);
        EXPECT_EQ(GetLastErrCode(), ErrWriteFile);
        hhsim::FaultPlan silent;
        silent.faults = {hhsim::MakeFault(K::GoSilent, 80, 22)};
        sim_->SetPlan(silent);
        Tune().upload_check_limit_ms.store(800 * kWaitScale);
        const auto began = std::chrono::steady_clock::now();
        EXPECT_EQ(SendFileToHc(0, 0, "\\D.BIN", ".\\in.bin", 0, 1), ResultFailed);
        EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(1600 * kWaitScale));
        EXPECT_EQ(GetLastErrCode(), ErrTimeout);
        EXPECT_EQ(sim_->Counter("silent"), 1);
        Tune().upload_check_limit_ms.store(18000);
        sim_->Stop();
        sim_.reset();
    }
}

}  // namespace
}  // namespace bftest
