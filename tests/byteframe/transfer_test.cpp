// Uploads, downloads and deletions against the simulated handheld.
#include <cstring>

#include "bf_fixture.h"
#include "common/records.h"
#include "tables/dbf.h"

namespace bftest {
namespace {

using namespace tarvix;
using namespace tarvix::bf;

class Transfers : public SimFixture {
  protected:
    // Frames the handheld received with a payload of `size` bytes, and how many of them came with the CRC.
    std::pair<int, int> InboundFrames(size_t size) const {
        int all = 0, crc = 0;
        for (const auto& f : sim_->Frames()) {
            if (!f.inbound || f.payload.size() != size) continue;
            ++all;
            if (f.raw.size() == 1 + 4 + size + 1 + 2) ++crc;
        }
        return {all, crc};
    }
};

TEST_F(Transfers, FileRoundTripWithTheCheckTheFirmwareAsksFor) {
    for (const char* version : {"BFHH-V 61", "BFHH-V 59", "BFHH"}) {
        hhsim::Config config = ByteFrameConfig();
        config.version = version;
        StartSim(config);
        const bool crc = std::string(version) == "BFHH-V 61";
        Bytes data = PlainBytes(1000, 3);
        Spill("in.bin", data);
        ASSERT_EQ(bf_.SendFileToHc(1, 115200, "\\DATA.BIN", ".\\in.bin", 0, 1), ResultOk) << version;
        EXPECT_EQ(Slurp(Store("DATA.BIN")), data);
        EXPECT_EQ(sim_->ShownText(), "Finished");
        EXPECT_EQ(CommandsOf(CmdCrcMode, -1), crc ? 1 : 0) << version;
        auto [all, with_crc] = InboundFrames(256);
        EXPECT_EQ(all, 3);
        EXPECT_EQ(with_crc, crc ? 3 : 0) << version;
        EXPECT_EQ(BlockCount(), 3);

        ASSERT_EQ(bf_.GetHcFile(1, 115200, "\\DATA.BIN", ".\\out.bin", 1), ResultOk);
        EXPECT_EQ(Slurp("out.bin"), data);
        // Command blocks after a transfer carry the sum again.
        sim_->ClearRecords();
        HcFileEntry entry{};
        EXPECT_EQ(bf_.GetHcFileInfo(1, 115200, "\\DATA.BIN", &entry), ResultOk);
        EXPECT_EQ(InboundFrames(23).second, 0);
        sim_->Stop();
    }
}

TEST_F(Transfers, UploadNamesAreShortenedAndChecked) {
    StartSim();
    Spill("LONGFILENAME.TEXT", Bytes(3, 'x'));
    EXPECT_EQ(bf_.SendFileToHc(1, 115200, nullptr, ".\\LONGFILENAME.TEXT", 0, 1), ResultOk);
    EXPECT_TRUE(fs::exists(Store("LONGFI~1.TEX")));
    std::string name64 = "\\" + std::string(58, 'D') + "\\A.TX";
    ASSERT_EQ(name64.size(), 64u);
    // 64 characters are taken (the handheld then has no such folder).
    bf_.SendFileToHc(1, 115200, name64.c_str(), ".\\LONGFILENAME.TEXT", 0, 1);
    EXPECT_NE(bf::ErrorCode(), ErrBadName);
    EXPECT_EQ(bf_.SendFileToHc(1, 115200, (name64 + "T").c_str(), ".\\LONGFILENAME.TEXT", 0, 1),
              ResultFailed);
    EXPECT_EQ(bf::ErrorCode(), ErrBadName);
    std::string long_pc = ".\\" + std::string(240, 'p');
    EXPECT_EQ(bf_.SendFileToHc(1, 115200, "\\X", long_pc.c_str(), 0, 1), ResultFailed);
    EXPECT_EQ(bf::ErrorCode(), ErrBadName);
    EXPECT_EQ(bf_.SendFileToHc(1, 115200, "\\X", ".\\missing.bin", 0, 1), ResultFailed);
    EXPECT_EQ(bf::ErrorCode(), ErrFileNotFound);
}

TEST_F(Transfers, OverwriteModesOfUploadAndDownload) {
    StartSim();
    Spill("new.bin", Bytes(10, 'n'));
    struct Case {
        uint32_t mode;
        bool yes;
        bool asked;
        bool replaced;
    };
    const Case uploads[] = {{0, true, false, false},        {1, true, false, true},  {2, false, true, false},
                            {2, true, true, true},          {3, false, true, false}, {4, true, false, true},
                            {0xFFFFFFFF, true, false, true}};
    for (const Case& c : uploads) {
        Spill(Store("OLD.BIN"), Bytes(20, 'o'));
        prompts_.clear();
        answer_yes_ = c.yes;
        EXPECT_EQ(bf_.SendFileToHc(1, 115200, "\\OLD.BIN", ".\\new.bin", 0, static_cast<int32_t>(c.mode)),
                  ResultOk);
        EXPECT_EQ(Prompts().size(), c.asked ? 1u : 0u) << "upload mode " << c.mode;
        if (c.asked) {
            EXPECT_EQ(FirstPrompt(), "Attention|\\OLD.BIN existed,overwrite??");
        }
        EXPECT_EQ(Slurp(Store("OLD.BIN")), Bytes(c.replaced ? 10 : 20, c.replaced ? 'n' : 'o')) << c.mode;
    }
    const Case downloads[] = {{0, true, false, false}, {1, true, false, true},  {2, false, true, false},
                              {2, true, true, true},   {4, false, true, false}, {4, true, true, true}};
    Spill(Store("HC.BIN"), Bytes(7, 'h'));
    for (const Case& c : downloads) {
        Spill("local.bin", Bytes(3, 'l'));
        prompts_.clear();
        answer_yes_ = c.yes;
        EXPECT_EQ(bf_.GetHcFile(1, 115200, "\\HC.BIN", ".\\local.bin", static_cast<int32_t>(c.mode)),
                  ResultOk);
        EXPECT_EQ(Prompts().size(), c.asked ? 1u : 0u) << "download mode " << c.mode;
        if (c.asked) {
            EXPECT_EQ(FirstPrompt(), "Attention|.\\local.bin existed,overwrite??");
        }
        EXPECT_EQ(Slurp("local.bin"), Bytes(c.replaced ? 7 : 3, c.replaced ? 'h' : 'l')) << c.mode;
    }
    // A download without a PC path lands under the handheld name in the current folder.
    EXPECT_EQ(bf_.GetHcFile(1, 115200, "\\HC.BIN", "", 1), ResultOk);
    EXPECT_EQ(Slurp("HC.BIN"), Bytes(7, 'h'));
}

TEST_F(Transfers, UploadRefusals) {
    hhsim::Config config = ByteFrameConfig();
    config.free_space = 16256 + 9;
    StartSim(config);
    Spill("ten.bin", Bytes(10, 't'));
    fs::create_directories(Store("DIR"));
    EXPECT_EQ(bf_.SendFileToHc(1, 115200, "\\DIR", ".\\ten.bin", 0, 1), ResultFailed);  // a folder
    EXPECT_EQ(CommandsOf(CmdFile, SubUpload), 0);
    g_stop_flag.store(true);
    EXPECT_EQ(bf_.SendFileToHc(1, 115200, "\\TEN.BIN", ".\\ten.bin", 0, 1), ResultFailed);
    g_stop_flag.store(false);
    EXPECT_EQ(bf_.SendFileToHc(1, 115200, "\\TEN.BIN", ".\\ten.bin", 0, 1), ResultFailed);
    EXPECT_EQ(bf::ErrorCode(), ErrDiskFull);
    EXPECT_EQ(sim_->ShownText(), "No memory");
    // The space of the file it replaces counts.
    Spill(Store("TEN.BIN"), Bytes(1, 'o'));
    EXPECT_EQ(bf_.SendFileToHc(1, 115200, "\\TEN.BIN", ".\\ten.bin", 0, 1), ResultOk);
    // A non-zero result byte after the data.
    config.free_space = 1u << 20;
    sim_->SetFreeSpace(1u << 20);
    hhsim::FaultPlan plan;
    plan.faults = {{hhsim::Fault::Kind::WrongStatus, 1, 1, CmdFile, SubResult, 5}};
    sim_->SetPlan(plan);
    EXPECT_EQ(bf_.SendFileToHc(1, 115200, "\\B.BIN", ".\\ten.bin", 0, 1), ResultFailed);
    EXPECT_EQ(bf::ErrorCode(), ErrWriteFile);
    EXPECT_EQ(sim_->ShownText(), "Fail");
}

TEST_F(Transfers, SerialUploadBeyondTheBlockNumbersIsRefusedBeforeSending) {
    StartSim();
    {
        std::ofstream big("big.bin", std::ios::binary);
        big.seekp(static_cast<std::streamoff>(kMaxSerialTransfer));
        big.put(0);
    }
    ASSERT_EQ(fs::file_size("big.bin"), kMaxSerialTransfer + 1);
    EXPECT_EQ(bf_.SendFileToHc(1, 115200, "\\BIG.BIN", ".\\big.bin", 0, 1), ResultFailed);
    EXPECT_EQ(bf::ErrorCode(), ErrBadLength);
    EXPECT_EQ(sim_->CommandCount(), 0u);
}

TEST_F(Transfers, StoppedUploadReportsTheBrokenLink) {
    StartSim();
    Spill("data.bin", PlainBytes(4000, 5));
    hhsim::FaultPlan plan;
    plan.faults = {{hhsim::Fault::Kind::Pause, 3, 1, CmdFile, SubUpload}};
    sim_->SetPlan(plan);
    std::thread stopper([&] {
        sim_->WaitEvent("paused:pause", std::chrono::milliseconds(3000));
        g_stop_flag.store(true);
        sim_->Release();
    });
    EXPECT_EQ(bf_.SendFileToHc(1, 115200, "\\DATA.BIN", ".\\data.bin", 0, 1), ResultFailed);
    stopper.join();
    EXPECT_EQ(bf::ErrorCode(), ErrNoLink);
}

TEST_F(Transfers, DownloadFailuresLeaveThePreviousFile) {
    StartSim();
    Tune().wait_cap_ms.store(200);
    Spill(Store("HC.BIN"), PlainBytes(3000, 9));
    struct Case {
        const char* what;
        hhsim::Fault fault;
        uint16_t code;
    };
    const Case cases[] = {
        {"block number skipped", {hhsim::Fault::Kind::SkipNumber, 2, 1, CmdFile, SubDownload}, ErrPacketLost},
        {"stream abandoned", {hhsim::Fault::Kind::AbortFrame, 3, 1, CmdFile, SubDownload}, ErrNoAck},
        {"data ends early", {hhsim::Fault::Kind::EarlyLast, 2, 1, CmdFile, SubDownload}, ErrPacketLost},
        {"find reply lost", {hhsim::Fault::Kind::AbortFrame, 1, 1, CmdFile, SubFindFirst}, 0xFFFF},
    };
    for (const Case& c : cases) {
        Spill("local.bin", Bytes(5, 'p'));
        hhsim::FaultPlan plan;
        plan.faults = {c.fault};
        sim_->SetPlan(plan);
        SetErrorCode(ErrNone);
        int32_t result = bf_.GetHcFile(1, 115200, "\\HC.BIN", ".\\local.bin", 1);
        Bytes now = Slurp("local.bin");
        if (result == ResultOk) {
            // Success only ever with the whole file.
            EXPECT_EQ(now, Slurp(Store("HC.BIN"))) << c.what;
        } else {
            EXPECT_EQ(now, Bytes(5, 'p')) << c.what;
            if (c.code != 0 && c.code != 0xFFFF) {
                EXPECT_EQ(bf::ErrorCode(), c.code) << c.what;
            }
        }
        if (c.code != 0) {
            EXPECT_EQ(result, ResultFailed) << c.what;
        }
        sim_->SetPlan({});
    }
    // No such handheld file.
    EXPECT_EQ(bf_.GetHcFile(1, 115200, "\\NONE.BIN", ".\\local.bin", 1), ResultFailed);
    EXPECT_EQ(bf::ErrorCode(), ErrFileNotFound);
    EXPECT_EQ(sim_->ShownText(), "Fail");
    // The local target is a folder.
    fs::create_directories("folder.bin");
    EXPECT_EQ(bf_.GetHcFile(1, 115200, "\\HC.BIN", ".\\folder.bin", 1), ResultFailed);
    EXPECT_EQ(bf::ErrorCode(), ErrCreateFile);
    EXPECT_EQ(bf_.GetHcFile(1, 115200, "\\HC.BIN", ".\\folder.bin", 0), ResultOk);
}

TEST_F(Transfers, DeletionWithQuestionAndPartner) {
    StartSim();
    Spill(Store("A.DBF"), Bytes(10, 'f'));
    Spill(Store("A.DBI"), Bytes(10, 'i'));
    answer_yes_ = false;
    EXPECT_EQ(bf_.DelHcFile(1, 115200, "\\A.DBF", 2), ResultOk);
    EXPECT_TRUE(fs::exists(Store("A.DBF")));
    ASSERT_EQ(Prompts().size(), 1u);
    EXPECT_EQ(FirstPrompt(), "Attention|Delete file\\A.DBF'??");
    EXPECT_EQ(sim_->ShownText(), "Del Finish");

    answer_yes_ = true;
    prompts_.clear();
    sim_->ClearRecords();
    EXPECT_EQ(bf_.DelHcFile(1, 115200, "\\A.DBF", 2), ResultOk);
    EXPECT_EQ(Prompts().size(), 1u);  // the partner goes without a question
    EXPECT_FALSE(fs::exists(Store("A.DBF")));
    EXPECT_FALSE(fs::exists(Store("A.DBI")));
    EXPECT_EQ(CommandsOf(CmdFile, SubDelete), 2);

    // Confirm mode 3 deletes without asking; a missing file fails.
    Spill(Store("B.TXT"), Bytes(1, 'b'));
    prompts_.clear();
    EXPECT_EQ(bf_.DelHcFile(1, 115200, "\\B.TXT", 3), ResultOk);
    EXPECT_TRUE(Prompts().empty());
    EXPECT_FALSE(fs::exists(Store("B.TXT")));
    EXPECT_EQ(bf_.DelHcFile(1, 115200, "\\B.TXT", 1), ResultFailed);
    EXPECT_EQ(bf::ErrorCode(), ErrFileNotFound);
}

TEST_F(Transfers, PartnerDeletionDoesNotRecurse) {
    StartSim();
    Spill(Store("A.DBF"), Bytes(10, 'f'));
    Spill(Store("A.DBI"), Bytes(10, 'i'));
    // The handheld keeps both files: the delete command itself is refused every time.
    hhsim::FaultPlan plan;
    plan.faults = {{hhsim::Fault::Kind::Nak, 1, 1000, CmdFile, SubDelete}};
    sim_->SetPlan(plan);
    Proto().SetAttempts(1);
    EXPECT_EQ(bf_.DelHcFile(1, 115200, "\\A.DBF", 1), ResultFailed);
    EXPECT_EQ(bf::ErrorCode(), ErrNoAck);
    plan.faults = {};
    sim_->SetPlan(plan);
    // The partner is deleted once and its own partner (the file itself) is not looked up again.
    sim_->ClearRecords();
    EXPECT_EQ(bf_.DelHcFile(1, 115200, "\\A.DBI", 1), ResultOk);
    EXPECT_EQ(CommandsOf(CmdFile, SubDelete), 2);
    EXPECT_EQ(CommandsOf(CmdFile, SubFindFirst), 2);
}

TEST_F(Transfers, DeletionWaitsForTheCompletionByte) {
    for (int feature : {0x80, -1}) {
        hhsim::Config config = ByteFrameConfig();
        config.feature = feature;
        StartSim(config);
        Tune().fixed_delete_wait_ms.store(feature < 0 ? 0 : -1);
        Spill(Store("X.TXT"), Bytes(50000, 'x'));
        EXPECT_EQ(bf_.DelHcFile(1, 115200, "\\X.TXT", 1), ResultOk) << feature;
        EXPECT_FALSE(fs::exists(Store("X.TXT")));
        sim_->Stop();
    }
}

}  // namespace
}  // namespace bftest

namespace bftest {
namespace {

using namespace tarvix;
using namespace tarvix::bf;

class OwnedApplications : public SimFixture {};

TEST_F(OwnedApplications, DeletingAPackagesApplicationAsksFirst) {
    StartSim();
    fs::create_directories(Store("APPS"));
    Spill(Store("APPS/GAME.AXE"), Bytes(100, 'g'));
    const std::string other = "[send]\napplication=other.axe\n", owner = "[send]\napplication=game.axe\n";
    Spill(Store("APPS/A.MIF"), Bytes(other.begin(), other.end()));
    Spill(Store("APPS/PKG.MIF"), Bytes(owner.begin(), owner.end()));
    answer_yes_ = false;
    EXPECT_EQ(bf_.DelHcFile(1, 115200, "\\APPS\\GAME.AXE", 1), ResultOk);
    EXPECT_TRUE(fs::exists(Store("APPS/GAME.AXE")));
    ASSERT_EQ(Prompts().size(), 1u);
    EXPECT_EQ(FirstPrompt(), "Attention|File belong toPKG.MIF,delete really??");
    EXPECT_EQ(Slurp("mif.tmp"), Bytes(owner.begin(), owner.end()));
    answer_yes_ = true;
    EXPECT_EQ(bf_.DelHcFile(1, 115200, "\\APPS\\GAME.AXE", 1), ResultOk);
    EXPECT_FALSE(fs::exists(Store("APPS/GAME.AXE")));
}

}  // namespace
}  // namespace bftest
