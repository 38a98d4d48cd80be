// The protocol against a scripted far end that misbehaves in ways a good handheld never does.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <thread>

#include "byteframe/byteframe.h"
#include "byteframe/codec.h"
#include "byteframe/operations.h"
#include "byteframe/protocol.h"
#include "byteframe/transfer_status.h"
#include "common/codes.h"
#include "common/records.h"
#include "pty_peer.h"

namespace tarvix::bf {
namespace {

using bftest::Bytes;
using bftest::PtyPeer;

void ResetFamily() {
    g_stop_flag.store(false);
    SetErrorCode(ErrNone);
    Proto().HcSetExitTime(1000, 3000);
    Proto().SetAttempts(5);
    Tune().retry_pause_ms.store(100);
    Tune().find_pause_ms.store(0);
    Tune().poll_pause_ms.store(10);
    Tune().delete_poll_limit_ms.store(60000);
    Tune().fixed_delete_wait_ms.store(0);
    Tune().wait_cap_ms.store(0);
}

class WireFaults : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(peer_.ok());
        setenv("TARVIX_COM1", peer_.path().c_str(), 1);
        for (const char* name : {"TARVIX_COM2", "TARVIX_COM3", "TARVIX_COM4"})
            setenv(name, "/nonexistent/tty", 1);
        ResetFamily();
    }
    void TearDown() override {
        if (far_end_.joinable()) far_end_.join();
        Proto().line().ComRelease();
        ResetFamily();
    }
    void Open() { ASSERT_NE(Proto().line().ComInit(1, 115200), -1); }

    PtyPeer peer_;
    std::thread far_end_;
};

TEST_F(WireFaults, LateAnswerIsNotTakenForTheRetry) {
    Open();
    Proto().HcSetExitTime(50, 50);
    Proto().SetAttempts(2);
    int frames = 0;
    far_end_ = std::thread([&] {
        if (peer_.ReadFrame()) {
            ++frames;
            std::this_thread::sleep_for(
                std::chrono::milliseconds(80));  // after the time-out, before the retry
            peer_.Write({0});
        }
        if (peer_.ReadFrame()) ++frames;  // the retry: no answer
    });
    const uint8_t data[3] = {1, 2, 3};
    EXPECT_EQ(Proto().SendData(data, 3), kNoAnswer);
    far_end_.join();
    EXPECT_EQ(frames, 2);
}

TEST_F(WireFaults, DoubledAnswerDoesNotSurviveReopen) {
    Open();
    far_end_ = std::thread([&] {
        if (peer_.ReadFrame()) peer_.Write({0, 0});
    });
    const uint8_t data[1] = {7};
    EXPECT_EQ(Proto().SendData(data, 1), kDone);
    far_end_.join();
    Proto().line().ComRelease();
    Open();
    Proto().HcSetExitTime(50, 50);
    Proto().SetAttempts(1);
    far_end_ = std::thread([&] { peer_.ReadFrame(); });  // heard, never answered
    EXPECT_EQ(Proto().SendData(data, 1), kNoAnswer);
}

TEST_F(WireFaults, SkippedBlockNumberFailsTheReceive) {
    Open();
    far_end_ = std::thread([&] {
        peer_.SendFrame(Bytes(256, 'a'), 1);
        peer_.SendFrame(Bytes(10, 'c'), 3);
    });
    uint8_t buffer[1024];
    int32_t received = -1;
    EXPECT_EQ(Proto().ReceiveData(buffer, sizeof buffer, &received), kLostBlock);
    EXPECT_EQ(ErrorCode(), ErrPacketLost);
    EXPECT_EQ(received, 256);
}

TEST_F(WireFaults, RepeatedBlockIsAcknowledgedAndDropped) {
    Open();
    std::optional<uint8_t> answers[3];
    far_end_ = std::thread([&] {
        answers[0] = peer_.SendFrame(Bytes(256, 'a'), 1);
        answers[1] = peer_.SendFrame(Bytes(256, 'a'), 1);
        answers[2] = peer_.SendFrame(Bytes(4, 'z'), 0xFFFF);
    });
    uint8_t buffer[1024];
    int32_t received = 0;
    EXPECT_EQ(Proto().ReceiveData(buffer, sizeof buffer, &received), kDone);
    far_end_.join();
    EXPECT_EQ(received, 260);
    for (auto& a : answers) EXPECT_EQ(a, std::optional<uint8_t>(0));
    EXPECT_EQ(buffer[255], 'a');
    EXPECT_EQ(buffer[256], 'z');
}

TEST_F(WireFaults, AbandonedTransferEndsWithoutErrorCode) {
    Open();
    SetErrorCode(ErrCrc);
    far_end_ = std::thread([&] { peer_.SendFrame({}, 0); });
    uint8_t buffer[16];
    int32_t received = 0;
    EXPECT_EQ(Proto().ReceiveData(buffer, sizeof buffer, &received), kStopped);
    EXPECT_EQ(ErrorCode(), ErrCrc);
}

TEST_F(WireFaults, BadFramesAreAnsweredWithTheirReason) {
    Open();
    std::optional<uint8_t> bad, too_long, good;
    far_end_ = std::thread([&] {
        Bytes frame = PtyPeer::SumFrame({1, 2, 3}, 0xFFFF);
        frame.back() ^= 0x55;
        peer_.Write(frame);
        bad = peer_.ReadByte(2000);
        too_long = peer_.SendFrame(Bytes(9, 1), 0xFFFF);
    });
    uint8_t buffer[8];
    int32_t received = 0;
    EXPECT_EQ(Proto().ReceiveData(buffer, sizeof buffer, &received), kTooLong);
    far_end_.join();
    EXPECT_EQ(bad, std::optional<uint8_t>(kAnswerBadCheck));
    EXPECT_EQ(too_long, std::optional<uint8_t>(kAnswerTooLong));
    EXPECT_EQ(ErrorCode(), ErrBadPacket);
    (void)good;
}

TEST_F(WireFaults, BlocksAreCountedAndTheLastIsNumberedFFFF) {
    Open();
    std::vector<PtyPeer::Frame> frames;
    far_end_ = std::thread([&] {
        for (int i = 0; i < 3; ++i) {
            auto f = peer_.ReadFrame();
            if (!f) return;
            frames.push_back(*f);
            peer_.Write({0});
        }
    });
    Proto().UpdateCount(1);
    Bytes data(257, 0x40);
    EXPECT_EQ(Proto().SendData(data.data(), 256), kDone);
    EXPECT_EQ(Proto().UpdateCount(0), 1);
    EXPECT_EQ(Proto().SendData(data.data(), 257), kDone);
    EXPECT_EQ(Proto().UpdateCount(0), 3);
    far_end_.join();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].block, 0xFFFF);
    EXPECT_EQ(frames[0].payload.size(), 256u);
    EXPECT_EQ(frames[1].block, 1);
    EXPECT_EQ(frames[2].block, 0xFFFF);
    EXPECT_EQ(frames[2].payload, Bytes{0x40});
    for (auto& f : frames) EXPECT_TRUE(f.check_ok);
}

TEST_F(WireFaults, TransferTooLongForBlockNumbersIsRefusedBeforeSending) {
    Open();
    Bytes data(kMaxSerialTransfer + 1, 0);
    bool heard = false;
    far_end_ = std::thread([&] { heard = peer_.ReadByte(300).has_value(); });
    EXPECT_NE(ByteFrame().SendData(data.data(), static_cast<uint32_t>(data.size())), kDone);
    far_end_.join();
    EXPECT_FALSE(heard);
    EXPECT_EQ(ErrorCode(), ErrBadLength);
}

TEST_F(WireFaults, StopEndsTheTransferAfterItsAttempt) {
    Open();
    Proto().HcSetExitTime(60, 60);
    g_stop_flag.store(true);
    far_end_ = std::thread([&] { peer_.ReadFrame(500); });
    const uint8_t data[1] = {1};
    EXPECT_EQ(Proto().SendData(data, 1), kStopped);
    EXPECT_EQ(ErrorCode(), ErrUserStop);
}

// A handheld that takes a deletion but never reports it complete.
class StuckDeletion : public WireFaults {
  protected:
    // Serves command frames; answers the find query with one entry and each completion poll with 1.
    void TearDown() override {
        done_.store(true);
        WireFaults::TearDown();
    }
    void Serve() {
        std::atomic<bool>& done = done_;
        while (!done.load()) {
            auto frame = peer_.ReadFrame(200);
            if (!frame) continue;
            peer_.Write({0});
            if (frame->payload.size() != 23) continue;  // the name that follows a command
            const uint8_t command = frame->payload[0], sub = frame->payload[1];
            if (command == CmdFile && sub == SubFindFirst) {
                Bytes reply(kFindReplySize, 0);
                std::memcpy(reply.data() + kFindDateOffset, "10-06-2107:11", 13);
                PutBe32(reply.data() + kFindSizeOffset, 100);
                std::memcpy(reply.data() + kFindPathOffset, "A.TXT", 5);
                reply[kFindKindOffset] = 1;
                peer_.SendFrame(reply, 0xFFFF);
            } else if (command == CmdFile && sub == SubFeature) {
                peer_.SendFrame({1}, 0xFFFF);
            } else if (command == CmdFile && sub == SubDelete) {
                while (!done.load() && peer_.SendFrame({1}, 0xFFFF, 300) == std::optional<uint8_t>(0))
                    ++polls_;
            }
        }
    }
    std::atomic<int> polls_{0};
    std::atomic<bool> done_{false};
};

TEST_F(StuckDeletion, CompletionPollIsBounded) {
    Tune().delete_poll_limit_ms.store(300);
    far_end_ = std::thread([&] { Serve(); });
    EXPECT_EQ(DeleteFile(1, 115200, "\\A.TXT", 0, false), ResultFailed);
    EXPECT_EQ(ErrorCode(), ErrTimeout);
    EXPECT_GT(polls_.load(), 1);
}

TEST_F(StuckDeletion, CompletionPollHonoursTheStopFlag) {
    far_end_ = std::thread([&] { Serve(); });
    std::thread stopper([&] {
        for (int i = 0; i < 1000 && polls_.load() < 2; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        g_stop_flag.store(true);
    });
    EXPECT_EQ(DeleteFile(1, 115200, "\\A.TXT", 0, false), ResultFailed);
    EXPECT_EQ(ErrorCode(), ErrUserStop);
    EXPECT_GE(polls_.load(), 2);
    stopper.join();
}

// A handheld whose find reply is cut short.
TEST_F(WireFaults, ShortFindReplyIsNotTakenForAnEntry) {
    std::atomic<bool> done{false};
    far_end_ = std::thread([&] {
        while (!done.load()) {
            auto frame = peer_.ReadFrame(100);
            if (!frame) continue;
            peer_.Write({0});
            if (frame->payload.size() == 23 && frame->payload[0] == CmdFile &&
                frame->payload[1] == SubFindFirst) {
                peer_.SendFrame(Bytes(50, 0x41), 0xFFFF, 300);
            }
        }
    });
    HcFileEntry entry;
    std::memset(&entry, 0x5A, sizeof entry);
    HcFileEntry before = entry;
    EXPECT_EQ(FileInfo(1, 115200, "\\A.TXT", &entry), ResultFailed);
    EXPECT_EQ(ErrorCode(), ErrBadPacket);
    EXPECT_EQ(std::memcmp(&entry, &before, sizeof entry), 0);
    done.store(true);
    far_end_.join();
}

}  // namespace
}  // namespace tarvix::bf
