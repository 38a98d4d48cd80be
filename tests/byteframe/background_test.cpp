// Background uploads and downloads through the exports: the status, percent, current file, time and
// stop queries while a real transfer runs, the single slot and the states after a failure.
#include "byteframe/worker.h"
#include "periph_fixture.h"

namespace bftest {
namespace {

using namespace tarvix;

class Background : public PeriphExports {};

TEST_F(Background, PlainFileUpAndDown) {
    Attach();
    const Bytes data = PlainBytes(1000, 11);
    Spill("in.bin", data);
    ASSERT_EQ(thrdSendFileToHc(0, 0, "\\DATA.BIN", ".\\in.bin", 0, 1), ResultOk);
    ASSERT_EQ(WaitIdle(), StatusIdle);
    EXPECT_EQ(Slurp(Store("DATA.BIN")), data);
    EXPECT_STREQ(thrdQueryCurFile(), ".\\in.bin");
    EXPECT_EQ(GetLastErrCode(), 0);
    TransferStatus record = Finish();
    EXPECT_EQ(record.status, StatusIdle);
    EXPECT_EQ(record.error_code, 0);
    EXPECT_EQ(record.file_length, 1000);
    EXPECT_STREQ(record.current_file, ".\\in.bin");

    // Without a handheld name the file keeps its own; the download writes the named PC file.
    ASSERT_EQ(thrdSendFileToHc(0, 0, nullptr, ".\\in.bin", 0, 1), ResultOk);
    ASSERT_EQ(WaitIdle(), StatusIdle);
    EXPECT_EQ(Slurp(Store("in.bin")), data);
    ASSERT_EQ(thrdGetHcFile(0, 0, "\\DATA.BIN", ".\\out.bin", 1), ResultOk);
    ASSERT_EQ(WaitIdle(), StatusIdle);
    EXPECT_EQ(Slurp("out.bin"), data);
    record = Finish();
    EXPECT_EQ(record.file_length, 1000);
    EXPECT_EQ(record.block_count, 3);
    // The download does not name its file in the record.
    EXPECT_STREQ(record.current_file, ".\\in.bin");
}

TEST_F(Background, TableTravelsWithItsSideFile) {
    Attach();
    fs::create_directories(Store("X"));
    WriteDatedTable("A.DBF", 40);
    const Bytes table = Slurp("A.DBF");
    ASSERT_EQ(thrdSendFileToHc(0, 0, "\\X\\A.DBF", ".\\A.DBF", 0, 1), ResultOk);
    ASSERT_EQ(WaitIdle(), StatusIdle) << GetLastErrCode();
    EXPECT_TRUE(fs::exists(Store("X/A.DBF")));
    EXPECT_TRUE(fs::exists(Store("X/A.DBI")));  // the header went beside the packed table
    EXPECT_FALSE(fs::exists("A.DBI"));          // and the local side file is gone
    EXPECT_FALSE(fs::exists("A.DBC"));
    EXPECT_STREQ(thrdQueryCurFile(), ".\\A.DBI");
    Finish();

    fs::create_directories("T");
    ASSERT_EQ(thrdGetHcFile(0, 0, "\\X\\A.DBF", ".\\T\\A.DBF", 1), ResultOk);
    ASSERT_EQ(WaitIdle(), StatusIdle) << GetLastErrCode();
    EXPECT_EQ(Slurp("T/A.DBF"), table);  // unpacked whole with the side file's header
    EXPECT_FALSE(fs::exists("T/A.DBI"));
    const std::vector<std::string> events = sim_->Events();
    auto sent = [&](const char* path) {
        return std::find(events.begin(), events.end(), std::string("sent:") + path) - events.begin();
    };
    EXPECT_LT(sent("\\X\\A.DBI"), sent("\\X\\A.DBF"));  // the side file came first
    EXPECT_LT(sent("\\X\\A.DBF"), static_cast<long>(events.size()));
    Finish();
}

TEST_F(Background, SideFileChangesOnlyWithItsTable) {
    Attach();
    fs::create_directories(Store("X"));
    WriteDatedTable("A.DBF", 40);
    const Bytes table = Slurp("A.DBF");
    ASSERT_EQ(thrdSendFileToHc(0, 0, "\\X\\A.DBF", ".\\A.DBF", 0, 1), ResultOk);
    ASSERT_EQ(WaitIdle(), StatusIdle) << GetLastErrCode();
    Finish();
    ASSERT_TRUE(fs::exists(Store("X/A.DBI")));

    const Bytes old_table(100, 't'), old_side(64, 's');
    struct Case {
        const char* what;
        int32_t mode;
        bool fail_table;  // the table's data breaks off after its side file came
        int32_t status;
    } cases[] = {
        {"kept (mode 0)", 0, false, StatusIdle},
        {"No to the question", 2, false, StatusIdle},
        {"table download fails", 1, true, StatusFailed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Spill("A.DBF", old_table);
        Spill("A.DBI", old_side);
        answer_yes_ = false;
        sim_->ClearRecords();
        // The side file's data is the first frame of the downloads; from the next one on the
        // handheld abandons the transfer.
        hhsim::FaultPlan plan;
        if (c.fail_table) {
            hhsim::Fault abandon;
            abandon.kind = hhsim::Fault::Kind::AbortFrame;
            abandon.command = 80;
            abandon.sub = 3;
            abandon.at = 2;
            abandon.times = 1000;
            plan.faults.push_back(abandon);
        }
        sim_->SetPlan(plan);
        ASSERT_EQ(thrdGetHcFile(0, 0, "\\X\\A.DBF", ".\\A.DBF", c.mode), ResultOk);
        EXPECT_EQ(WaitIdle(), c.status);
        Finish();
        if (c.fail_table) {
            const std::vector<std::string> events = sim_->Events();
            EXPECT_NE(std::find(events.begin(), events.end(), "sent:\\X\\A.DBI"), events.end());
        }
        EXPECT_EQ(Slurp("A.DBF"), old_table);
        EXPECT_EQ(Slurp("A.DBI"), old_side);
        EXPECT_EQ(LocalFiles(), (std::vector<std::string>{"A.DBF", "A.DBI"}));
    }
    // Replaced together: the table unpacked with the handheld's side file.
    sim_->SetPlan({});
    ASSERT_EQ(thrdGetHcFile(0, 0, "\\X\\A.DBF", ".\\A.DBF", 1), ResultOk);
    EXPECT_EQ(WaitIdle(), StatusIdle) << GetLastErrCode();
    EXPECT_EQ(Slurp("A.DBF"), table);
}

TEST_F(Background, TableWithoutSideFileEndsWell) {
    Attach();
    // A table without date fields keeps no side file; nor does its download look for one in vain.
    dbf::Writer writer;
    ASSERT_TRUE(writer.Create("B.DBF", {{"NID", 'N', 6, 0}}).ok());
    std::pair<std::string_view, std::string_view> values[] = {{"NID", "7"}};
    ASSERT_TRUE(writer.Append(values).ok());
    ASSERT_TRUE(writer.Close().ok());
    ASSERT_EQ(thrdSendFileToHc(0, 0, "\\B.DBF", ".\\B.DBF", 0, 1), ResultOk);
    ASSERT_EQ(WaitIdle(), StatusIdle);
    EXPECT_FALSE(fs::exists(Store("B.DBI")));
    ASSERT_EQ(thrdGetHcFile(0, 0, "\\B.DBF", ".\\b2.dbf", 1), ResultOk);
    ASSERT_EQ(WaitIdle(), StatusIdle);
    EXPECT_EQ(Slurp("b2.dbf"), Slurp("B.DBF"));
}

// A caller's own download, held in the middle of its data: the percent counts that download's blocks,
// not those of the transfer before it.
TEST_F(Background, ForegroundDownloadTellsItsOwnPercent) {
    Attach();
    const Bytes data = PlainBytes(3000, 9);  // 12 frames, 11 whole blocks for the count
    Spill(Store("BIG.BIN"), data);
    bf::SetBlockCount(1);  // what a one-block transfer before left
    bf::SetCurrentBlock(1);
    hhsim::FaultPlan plan;
    plan.faults.push_back(hhsim::MakeFault(hhsim::Fault::Kind::Pause, 80, 3, 3));
    sim_->SetPlan(plan);
    int32_t result = -1;
    std::thread caller([&] { result = GetHcFile(0, 0, "\\BIG.BIN", ".\\big.bin", 1); });
    ASSERT_TRUE(sim_->WaitEvent("paused:pause", std::chrono::seconds(10)));
    // Two frames taken, the third awaited.
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (thrdQueryPercent() != 18 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(thrdQueryPercent(), 18);
    EXPECT_EQ(bf::BlockCount(), 11);
    sim_->Release();
    caller.join();
    EXPECT_EQ(result, ResultOk) << GetLastErrCode();
    EXPECT_EQ(Slurp("big.bin"), data);
}

// Held by the handheld in the middle of the data: the queries see the transfer as it runs, a second
// start is refused, and the stop request ends it.
TEST_F(Background, QueriesAndRefusalDuringATransfer) {
    Attach();
    const Bytes data = PlainBytes(1000, 5);
    Spill("in.bin", data);
    hhsim::FaultPlan plan;
    hhsim::Fault hold;
    hold.kind = hhsim::Fault::Kind::Pause;
    hold.command = 80;
    hold.sub = 2;
    hold.at = 2;  // after the handheld took the second data frame
    plan.faults.push_back(hold);
    sim_->SetPlan(plan);
    bf::Tune().wait_cap_ms.store(0);
    ASSERT_EQ(thrdSendFileToHc(0, 0, "\\DATA.BIN", ".\\in.bin", 0, 1), ResultOk);
    ASSERT_TRUE(sim_->WaitEvent("paused:pause", std::chrono::seconds(10)));
    EXPECT_EQ(thrdQueryStatus(), StatusBusy);
    // Block 3 of 3 in flight as soon as the library has taken the second acknowledgement.
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (thrdQueryPercent() != 66 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(thrdQueryPercent(), 66);
    EXPECT_GE(thrdQueryTime(), 0);
    TransferStatus during;
    EXPECT_EQ(thrdQueryStatusEx(&during), StatusBusy);
    EXPECT_EQ(during.file_length, 1000);
    EXPECT_STREQ(during.current_file, ".\\in.bin");
    EXPECT_EQ(thrdQueryStatus(), StatusBusy);  // the copy while it runs leaves the transfer alone

    // A second start: refused, the first transfer goes on.
    Spill("other.bin", Bytes(10, 'o'));
    EXPECT_NE(thrdSendFileToHc(0, 0, "\\OTHER.BIN", ".\\other.bin", 0, 1), ResultOk);
    EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrBusy));
    EXPECT_NE(HcRescue(0, 0, "dump.bin"), ResultOk);
    EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrBusy));
    sim_->Release();
    ASSERT_EQ(WaitIdle(), StatusIdle);
    EXPECT_EQ(Slurp(Store("DATA.BIN")), data);
    EXPECT_FALSE(fs::exists(Store("OTHER.BIN")));
    EXPECT_EQ(thrdQueryPercent(), 0);  // the result command after the data starts at block 1

    // The stop request while the data flows: the upload fails and frees nothing until the record
    // was fetched.
    sim_->SetPlan(plan);
    ASSERT_EQ(thrdSendFileToHc(0, 0, "\\STOP.BIN", ".\\in.bin", 0, 1), ResultOk);
    ASSERT_TRUE(sim_->WaitEvent("paused:pause", std::chrono::seconds(10), 2));
    EXPECT_EQ(thrdStop(2), StatusBusy);
    sim_->Release();
    ASSERT_EQ(WaitIdle(), StatusFailed);
    EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrNoLink));  // the upload's word for a broken stream
    EXPECT_FALSE(bf::g_stop_flag.load());                          // the worker's end withdrew the request
    EXPECT_FALSE(fs::exists(Store("STOP.BIN")));
    EXPECT_EQ(thrdSendFileToHc(0, 0, "\\OTHER.BIN", ".\\other.bin", 0, 1), ResultFailed);
    EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrBusy));
    TransferStatus record = Finish();
    EXPECT_EQ(record.status, StatusFailed);
    EXPECT_EQ(record.error_code, ErrBusy);
    EXPECT_EQ(thrdQueryStatus(), StatusIdle);
    ASSERT_EQ(thrdSendFileToHc(0, 0, "\\OTHER.BIN", ".\\other.bin", 0, 1), ResultOk);
    EXPECT_EQ(WaitIdle(), StatusIdle);
    EXPECT_EQ(Slurp(Store("OTHER.BIN")), Bytes(10, 'o'));
}

TEST_F(Background, FailuresLeaveStatusFailedWithTheirCode) {
    Attach();
    // A PC file that is not there: a box naming it, ErrFileNotFound.
    ASSERT_EQ(thrdSendFileToHc(0, 0, "\\NONE.BIN", ".\\none.bin", 0, 1), ResultOk);
    EXPECT_EQ(WaitIdle(), StatusFailed);
    EXPECT_EQ(FirstPrompt(), "Attention|.\\none.bin not exist");
    EXPECT_EQ(Finish().error_code, ErrFileNotFound);
    // A handheld file that is not there.
    ASSERT_EQ(thrdGetHcFile(0, 0, "\\NONE.BIN", ".\\none.bin", 1), ResultOk);
    EXPECT_EQ(WaitIdle(), StatusFailed);
    EXPECT_EQ(Finish().error_code, ErrFileNotFound);
    EXPECT_FALSE(fs::exists("none.bin"));
    // The handheld refuses the data: the upload's own code stays.
    Spill("in.bin", Bytes(20, 'i'));
    hhsim::FaultPlan plan;
    hhsim::Fault refuse;
    refuse.kind = hhsim::Fault::Kind::WrongStatus;
    refuse.value = 1;
    plan.faults.push_back(refuse);
    sim_->SetPlan(plan);
    ASSERT_EQ(thrdSendFileToHc(0, 0, "\\IN.BIN", ".\\in.bin", 0, 1), ResultOk);
    EXPECT_EQ(WaitIdle(), StatusFailed);
    EXPECT_EQ(Finish().error_code, ErrWriteFile);
    // Names that do not fit the worker's record are refused at the start.
    const std::string long_hc(65, 'N');
    EXPECT_EQ(thrdSendFileToHc(0, 0, long_hc.c_str(), ".\\in.bin", 0, 1), ResultFailed);
    EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrBadName));
    const std::string long_pc(200, 'p');
    EXPECT_EQ(thrdGetHcFile(0, 0, "\\IN.BIN", long_pc.c_str(), 1), ResultFailed);
    EXPECT_EQ(GetLastErrCode(), static_cast<int32_t>(ErrBadName));
    EXPECT_EQ(thrdQueryStatus(), StatusIdle);
}

TEST_F(Background, ThreadThatDoesNotStartLeavesTheSlotResettable) {
    Attach();
    Spill("in.bin", Bytes(20, 'i'));
    bf::FailNextWorkerStart();
    EXPECT_EQ(thrdSendFileToHc(0, 0, "\\IN.BIN", ".\\in.bin", 0, 1), ResultFailed);
    // Not busy for ever: failed, and free again after the record was fetched.
    EXPECT_EQ(thrdQueryStatus(), StatusFailed);
    Finish();
    ASSERT_EQ(thrdSendFileToHc(0, 0, "\\IN.BIN", ".\\in.bin", 0, 1), ResultOk);
    EXPECT_EQ(WaitIdle(), StatusIdle);
}

// Unloading the library stops a running worker and waits for it, so that nothing it uses goes first.
TEST_F(Background, UnloadEndsARunningWorker) {
    Attach();
    Spill("in.bin", PlainBytes(1000, 5));
    hhsim::FaultPlan plan;
    hhsim::Fault hold;
    hold.kind = hhsim::Fault::Kind::Pause;
    hold.command = 80;
    hold.sub = 2;
    hold.at = 2;
    plan.faults.push_back(hold);
    sim_->SetPlan(plan);
    ASSERT_EQ(thrdSendFileToHc(0, 0, "\\DATA.BIN", ".\\in.bin", 0, 1), ResultOk);
    ASSERT_TRUE(sim_->WaitEvent("paused:pause", std::chrono::seconds(10)));
    bf::Detach();
    EXPECT_EQ(thrdQueryStatus(), StatusFailed);  // ended before the unload went on
    sim_->Release();
    EXPECT_EQ(Finish().status, StatusFailed);
}

TEST_F(Background, DeclinedOverwriteEndsWell) {
    Attach();
    Spill(Store("IN.BIN"), Bytes(5, 'h'));
    Spill("in.bin", Bytes(20, 'i'));
    answer_yes_ = false;
    ASSERT_EQ(thrdSendFileToHc(0, 0, "\\IN.BIN", ".\\in.bin", 0, 2), ResultOk);
    EXPECT_EQ(WaitIdle(), StatusIdle);
    EXPECT_EQ(Slurp(Store("IN.BIN")), Bytes(5, 'h'));
    ASSERT_EQ(Prompts().size(), 1u);
}

}  // namespace
}  // namespace bftest
