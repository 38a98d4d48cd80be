// Uploads whose single answers go astray: an answer to a command that the handheld follows with data,
// a copy of such a command taken as the data, the answer to the last frame of the file, the result
// byte.  After each, the handheld's store is looked at: the file under its name with its bytes, no file
// under any other name, an older file still there when the upload failed.
#include <map>
#include <set>

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
    }
}

}  // namespace
}  // namespace bftest
