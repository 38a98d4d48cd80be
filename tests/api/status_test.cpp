// The two families' status blocks: the text-frame busy claim and worker flag, the byte-frame record
// with its percent, stop request and copy.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "byteframe/transfer_status.h"
#include "common/codes.h"
#include "platform/clock.h"
#include "textframe/link_status.h"

namespace tarvix {
namespace {

// Packed fields may be misaligned: compare copies, never references to them.
template <typename T>
T Val(T value) {
    return value;
}

TEST(TextFrameStatus, ClaimWorkerFlagAndLastError) {
    tf::LinkStatus& s = tf::Status();
    s.status = StatusIdle;
    s.last_error = 0;
    EXPECT_EQ(tf::SetLinkStatus(StatusBusy, 99), 1);
    EXPECT_EQ(tf::SetLinkStatus(StatusBusy, 99), 0);  // the second claim is refused
    EXPECT_EQ(s.status.load(), StatusBusy);
    EXPECT_EQ(s.last_error.load(), 0);  // a claim stores no code
    tf::SetLinkStatus(StatusFailed, ErrSendFail);
    tf::SetLinkStatus(StatusIdle, 0);  // a success keeps the last failure's code
    EXPECT_EQ(s.last_error.load(), static_cast<int32_t>(ErrSendFail));
    tf::SetNoLinkError();
    EXPECT_EQ(s.status.load(), StatusFailed);
    EXPECT_EQ(s.last_error.load(), static_cast<int32_t>(ErrNoLink));

    EXPECT_EQ(tf::ClaimWorker(), 0);
    EXPECT_EQ(tf::ClaimWorker(), 1);
    tf::SetLinkStatus(StatusIdle, 0);
    EXPECT_EQ(tf::QueryStatus(), StatusBusy);  // busy while the worker runs, whatever it stored
    tf::ReleaseWorker();
    EXPECT_EQ(tf::QueryStatus(), StatusIdle);
}

TEST(TextFrameStatus, ConcurrentClaimsGrantExactlyOne) {
    for (int round = 0; round < 50; ++round) {
        tf::Status().status = StatusIdle;
        std::atomic<int> granted{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < 4; ++i)
            threads.emplace_back([&] { granted += tf::SetLinkStatus(StatusBusy, 0); });
        for (std::thread& t : threads) t.join();
        EXPECT_EQ(granted.load(), 1);
    }
    tf::Status().status = StatusIdle;
}

class ByteFrameStatus : public ::testing::Test {
  protected:
    void SetUp() override {
        std::memset(&bf::Record(), 0, sizeof(TransferStatus));
        bf::g_stop_flag = false;
        bf::g_start_tick = 0;
        platform::SetClock(&clock);
    }
    void TearDown() override { platform::SetClock(nullptr); }
    platform::FakeClock clock;
};

TEST_F(ByteFrameStatus, PercentFollowsTheBlockInFlight) {
    bf::SetBlockCount(3);  // 1000 bytes in 256-byte blocks
    const int expected[] = {0, 33, 66, 100};
    for (int block = 1; block <= 4; ++block) {
        bf::SetCurrentBlock(block);
        EXPECT_EQ(bf::QueryPercent(), expected[block - 1]);
    }
    bf::SetBlockCount(0);
    bf::SetCurrentBlock(3);
    EXPECT_EQ(bf::QueryPercent(), 200);  // (3 - 1) * 100 / 1 with the count set to 1
    EXPECT_EQ(bf::BlockCount(), 1);
    bf::SetBlockCount(0xFFFF);  // right after a start
    bf::SetCurrentBlock(1);
    EXPECT_EQ(bf::QueryPercent(), 0);
}

TEST_F(ByteFrameStatus, StopRequestsAndTheirEnd) {
    EXPECT_EQ(bf::Stop(2), 0);
    EXPECT_TRUE(bf::g_stop_flag.load());
    bf::SetError(ErrBusy, false);
    EXPECT_EQ(bf::LastErrCode(), 512);  // reading the code ends a stop request
    EXPECT_FALSE(bf::g_stop_flag.load());
    const uint32_t before = clock.TickMs();
    bf::Stop(1);  // half a second, then cleared
    EXPECT_EQ(clock.TickMs() - before, 500u);
    EXPECT_FALSE(bf::g_stop_flag.load());
    bf::Stop(7);
    bf::Stop(0);
    EXPECT_FALSE(bf::g_stop_flag.load());
}

TEST_F(ByteFrameStatus, CopyAfterAFailureResetsTheStatusAndReleasesTheLink) {
    static int releases;
    releases = 0;
    bf::SetError(ErrNoLink, true);
    bf::SetCurrentFile("C:\\data\\a.dbf");
    bf::g_start_tick = 1000;
    clock.SetTick(1750);
    TransferStatus out;
    std::memset(&out, 0xCC, sizeof out);
    EXPECT_EQ(bf::QueryStatusEx(&out, [] { ++releases; }), StatusFailed);
    EXPECT_EQ(Val(out.status), StatusFailed);
    EXPECT_EQ(Val(out.error_code), ErrNoLink);
    EXPECT_EQ(Val(out.elapsed_ms), 750);
    EXPECT_STREQ(out.current_file, "C:\\data\\a.dbf");
    EXPECT_EQ(Val(out.unused[0]), 0);
    EXPECT_EQ(bf::QueryStatus(), StatusIdle);
    EXPECT_EQ(releases, 1);

    // While a transfer runs the copy is all that happens.
    bf::SetStatusValue(StatusBusy);
    EXPECT_EQ(bf::QueryStatusEx(&out, [] { ++releases; }), StatusBusy);
    EXPECT_EQ(bf::QueryStatus(), StatusBusy);
    EXPECT_EQ(releases, 1);
}

TEST_F(ByteFrameStatus, ElapsedTimeWrapsUnsigned) {
    bf::g_start_tick = 0xFFFFFF00u;
    clock.SetTick(0x100);
    EXPECT_EQ(bf::QueryTime(), 0x200);
}

}  // namespace
}  // namespace tarvix
