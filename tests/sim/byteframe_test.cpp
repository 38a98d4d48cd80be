// The byte-frame handheld over a real pseudo-terminal, driven with raw bytes from the PC's side.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "sim/core.h"
#include "sim/hhsim.h"
#include "tests/sim/pty_client.h"
#include "tests/sim/tables.h"

namespace {

using hhsim::Bytes;
using simtest::B;
using namespace std::chrono_literals;

struct ByteFrame {
    std::uint16_t number = 0;
    Bytes payload;
    bool ok = false;
};

// Reads a frame the way the PC's side must: header little-endian, payload unescaped, check over the
// header and the raw payload.
ByteFrame Parse(const Bytes& raw, bool crc) {
    ByteFrame f;
    std::size_t checks = crc ? 2 : 1;
    if (raw.size() < 6 + checks || raw[0] != '#') return f;
    std::uint16_t length = static_cast<std::uint16_t>(raw[1] | (raw[2] << 8));
    f.number = static_cast<std::uint16_t>(raw[3] | (raw[4] << 8));
    for (std::size_t i = 5; i < raw.size() - 1 - checks; ++i) {
        std::uint8_t b = raw[i];
        if (b == '@') {
            b = raw[++i];
            b = b == 'A' ? '@' : b == 'B' ? '#' : b == 'C' ? '$' : b;
        }
        f.payload.push_back(b);
    }
    Bytes covered(raw.begin() + 1, raw.begin() + 5);
    covered.insert(covered.end(), f.payload.begin(), f.payload.end());
    if (crc) {
        std::uint16_t c = hhsim::Crc16Xmodem(covered.data(), covered.size());
        f.ok = raw[raw.size() - 2] == (c & 0xFF) && raw.back() == (c >> 8);
    } else {
        f.ok = raw.back() == hhsim::Sum8(covered.data(), covered.size());
    }
    f.ok = f.ok && f.payload.size() == length;
    return f;
}

Bytes Block(std::uint8_t command, std::uint8_t sub, const Bytes& arg = {}) {
    Bytes b(23, 0);
    b[0] = command;
    b[1] = sub;
    std::copy(arg.begin(), arg.end(), b.begin() + 3);
    return b;
}

class ByteFrameSim : public ::testing::Test {
  protected:
    void SetUp() override { Restart({}); }
    void Restart(hhsim::Config config) {
        pc_.reset();
        sim_.reset();
        config.family = hhsim::Family::ByteFrame;
        config.number = "BF0000042";
        config.ack_timeout_ms = 300;
        config.data_timeout_ms = 1500;
        sim_ = std::make_unique<hhsim::Simulator>(config);
        std::string error;
        ASSERT_TRUE(sim_->Start(&error)) << error;
        pc_ = std::make_unique<simtest::PtyClient>(sim_->SlavePath());
    }

    std::optional<std::uint8_t> Send(std::uint16_t number, const Bytes& payload, bool crc = false) {
        pc_->Write(hhsim::bf::BuildFrame(number, payload.data(), payload.size(), crc));
        return pc_->ReadByte(1000);
    }
    void Command(std::uint8_t command, std::uint8_t sub, const Bytes& arg = {}) {
        ASSERT_EQ(Send(0xFFFF, Block(command, sub, arg)), std::optional<std::uint8_t>(0));
    }
    void SendData(const Bytes& data, bool crc = false) {
        std::size_t off = 0;
        for (std::uint16_t n = 1;; ++n) {
            bool last = data.size() - off <= 256;
            Bytes block(data.begin() + static_cast<long>(off),
                        data.begin() + static_cast<long>(last ? data.size() : off + 256));
            ASSERT_EQ(Send(last ? 0xFFFF : n, block, crc), std::optional<std::uint8_t>(0));
            if (last) return;
            off += 256;
        }
    }
    Bytes ReceiveData(bool crc = false) {
        Bytes data;
        for (;;) {
            ByteFrame f = Parse(pc_->ReadByteFrame(crc), crc);
            EXPECT_TRUE(f.ok);
            if (!f.ok) return data;
            pc_->Write(Bytes{0x00});
            data.insert(data.end(), f.payload.begin(), f.payload.end());
            if (f.number == 0xFFFF || f.number == 0) return data;
        }
    }
    void SetName(const std::string& name) {
        Command(80, 1);
        SendData(B(name));
    }
    void ChooseCrc() {
        Command(49, 0);
        EXPECT_EQ(ReceiveData(), B("BFHH-V 61"));
        Command(77, 0);
        EXPECT_EQ(ReceiveData(), B("Z"));
    }

    std::unique_ptr<hhsim::Simulator> sim_;
    std::unique_ptr<simtest::PtyClient> pc_;
};

TEST_F(ByteFrameSim, ProbeAnswersLinkTestAndNumber) {
    Command(15, 0);
    Command(80, 25);
    EXPECT_EQ(ReceiveData(), B("BF0000042"));
    Command(80, 23);
    EXPECT_EQ(ReceiveData(), (Bytes{0x04, 0x00, 0x00, 0x00}));  // 64 MiB, most significant byte first
}

TEST_F(ByteFrameSim, UploadWithCrcThenDownloadAndFind) {
    Bytes content(300);
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<std::uint8_t>(i);
    SetName("\\A.DBF");
    ChooseCrc();
    Command(80, 2);
    SendData(content, true);
    Command(80, 22);
    EXPECT_EQ(ReceiveData(), Bytes{0});
    std::ifstream in(sim_->StorePath() / "A.DBF", std::ios::binary);
    EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(in), {}), content);

    SetName("\\A.DBF");
    ChooseCrc();
    Command(80, 3);
    EXPECT_EQ(ReceiveData(true), content);

    SetName("*.*");
    Command(80, 14);
    Bytes reply = ReceiveData();
    ASSERT_EQ(reply.size(), 114u);
    EXPECT_NE(reply[0] | (reply[1] << 8), 0xFFFF);
    EXPECT_EQ((Bytes(reply.begin() + 96, reply.begin() + 100)), (Bytes{0, 0, 0x01, 0x2C}));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&reply[100])), "\\A.DBF");
    EXPECT_EQ(reply[113], 1);
    EXPECT_EQ(reply[82], '-');
    EXPECT_EQ(reply[90], ':');
    Command(80, 15);
    reply = ReceiveData();
    EXPECT_EQ(reply[0], 0xFF);
    EXPECT_EQ(reply[1], 0xFF);

    // Deletion with the feature byte: the handheld reports its completion with a 0 byte.
    Command(80, 27);
    EXPECT_EQ(ReceiveData(), Bytes{0x80});
    SetName("\\A.DBF");
    Command(80, 4);
    EXPECT_EQ(ReceiveData(), Bytes{0});
    EXPECT_FALSE(std::filesystem::exists(sim_->StorePath() / "A.DBF"));
}

TEST_F(ByteFrameSim, FolderResultsComeWithSubResult) {
    Command(80, 11);
    SendData(B("\\DATA"));
    Command(80, 13);
    Command(80, 22);
    EXPECT_EQ(ReceiveData(), Bytes{0});
    Command(80, 13);
    Command(80, 22);
    EXPECT_EQ(ReceiveData(), Bytes{1});
    Command(80, 21);
    Command(80, 22);
    EXPECT_EQ(ReceiveData(), Bytes{0});
    Command(80, 10);
    EXPECT_EQ(ReceiveData(), B("\\DATA"));
}

TEST_F(ByteFrameSim, AnswersBadFramesByTheirFault) {
    Bytes frame = hhsim::bf::BuildFrame(0xFFFF, Block(15, 0).data(), 23, false);
    frame.back() ^= 1;
    pc_->Write(frame);
    EXPECT_EQ(pc_->ReadByte(1000), std::optional<std::uint8_t>(2));
    // The header promises more bytes than the payload holds.
    Bytes wrong = hhsim::bf::BuildFrame(0xFFFF, Block(15, 0).data(), 23, false);
    wrong[1] = 24;
    wrong.back() = static_cast<std::uint8_t>(wrong.back() + 1);
    pc_->Write(wrong);
    EXPECT_EQ(pc_->ReadByte(1000), std::optional<std::uint8_t>(2));
    // A frame cut off after its header: a byte time-out inside the frame.
    pc_->Write(Bytes{'#', 23, 0, 0xFF, 0xFF, 15});
    EXPECT_EQ(pc_->ReadByte(1500), std::optional<std::uint8_t>(3));
    EXPECT_EQ(sim_->CommandCount(), 0u);
}

TEST_F(ByteFrameSim, FaultPlanAbortsDownloadAndRefusesCommands) {
    using K = hhsim::Fault::Kind;
    {
        std::ofstream out(sim_->StorePath() / "B.BIN", std::ios::binary);
        out << std::string(600, 'b');
    }
    hhsim::FaultPlan plan;
    plan.faults = {{K::Nak, 1, 2, 15, -1, 1, ""},
                   {K::AbortFrame, 2, 1, 80, 3, 1, ""},
                   {K::WrongStatus, 1, 1, 80, 22, 9, ""}};
    sim_->SetPlan(plan);
    EXPECT_EQ(Send(0xFFFF, Block(15, 0)), std::optional<std::uint8_t>(2));
    EXPECT_EQ(Send(0xFFFF, Block(15, 0)), std::optional<std::uint8_t>(2));
    Command(15, 0);
    SetName("B.BIN");
    Command(80, 3);
    ByteFrame first = Parse(pc_->ReadByteFrame(false), false);
    EXPECT_EQ(first.number, 1);
    pc_->Write(Bytes{0});
    ByteFrame abort = Parse(pc_->ReadByteFrame(false), false);
    EXPECT_TRUE(abort.ok);
    EXPECT_EQ(abort.number, 0);
    pc_->Write(Bytes{0});
    ASSERT_TRUE(sim_->WaitEvent("abort-sent", 1s));
    Command(80, 22);
    EXPECT_EQ(ReceiveData(), Bytes{9});
}

TEST_F(ByteFrameSim, IgnoresAPcAtAnotherRate) {
    simtest::PtyClient slow(sim_->SlavePath(), B38400);
    slow.Write(hhsim::bf::BuildFrame(0xFFFF, Block(15, 0).data(), 23, false));
    EXPECT_EQ(slow.ReadByte(200), std::nullopt);
    sim_->SetBaud(38400);
    slow.Write(hhsim::bf::BuildFrame(0xFFFF, Block(15, 0).data(), 23, false));
    EXPECT_EQ(slow.ReadByte(1000), std::optional<std::uint8_t>(0));
}

}  // namespace

namespace {

TEST_F(ByteFrameSim, FillsReadingsOfAnArrivedTaskTable) {
    hhsim::Config config;
    config.fill_readings = "A.DBF";
    Restart(config);
    Bytes table = simtest::PackedTable(4);
    Command(80, 11);
    SendData(B("\\KELVANHB"));
    Command(80, 13);
    SetName("\\KELVANHB\\A.DBF");
    Command(80, 2);
    SendData(table);
    Command(80, 22);
    EXPECT_EQ(ReceiveData(), Bytes{0});
    ASSERT_TRUE(sim_->WaitEvent("filled:A.DBF", 1s));
    // Fetched back in the same layout, readings in place of the blanks.
    SetName("\\KELVANHB\\A.DBF");
    Command(80, 3);
    Bytes back = ReceiveData();
    ASSERT_EQ(back.size(), table.size());
    EXPECT_TRUE(std::equal(table.begin(), table.begin() + 16 * 10, back.begin()));  // header and descriptors
    EXPECT_NE(back, table);
}

}  // namespace

namespace {

TEST_F(ByteFrameSim, FlashCommandFormatsOnlyAfterTheFeatureQuery) {
    {
        std::ofstream out(sim_->StorePath() / "KEEP.TXT");
        out << "kept";
    }
    Command(80, 40);
    EXPECT_EQ(ReceiveData(), Bytes(24, 0));  // rescue information: nothing to rescue
    EXPECT_TRUE(std::filesystem::exists(sim_->StorePath() / "KEEP.TXT"));
    Command(80, 27);
    EXPECT_EQ(ReceiveData(), Bytes{0x80});
    Command(80, 40);
    EXPECT_EQ(ReceiveData(), Bytes{0});
    EXPECT_TRUE(std::filesystem::is_empty(sim_->StorePath()));
}

}  // namespace

namespace {

TEST_F(ByteFrameSim, CommandBlockWhereCrcDataWasDueEndsTheUpload) {
    SetName("G.BIN");
    ChooseCrc();
    Command(80, 2);
    EXPECT_EQ(Send(1, Bytes(256, 'g'), true), std::optional<std::uint8_t>(0));
    Command(15, 0);  // with the sum: not file data
    Command(80, 22);
    EXPECT_EQ(ReceiveData(), Bytes{1});  // the upload failed
    EXPECT_TRUE(sim_->WaitEvent("data-abandoned", 1s));
    EXPECT_FALSE(std::filesystem::exists(sim_->StorePath() / "G.BIN"));
}

}  // namespace

namespace {

// One data frame of an upload damaged on its way to the handheld, as the line damages frames: the
// handheld answers it with the negative byte of its fault and awaits it again, so that the good
// repeat is taken and the file arrives whole.
TEST_F(ByteFrameSim, DamagedInboundFramesAreAnsweredAndAwaitedAgain) {
    struct Case {
        const char* what;
        std::function<void(Bytes&)> damage;
        std::uint8_t answer;
    };
    constexpr std::size_t kPayload = 5;  // '#' and four header bytes come before the payload
    const Case cases[] = {
        {"bit flipped in the length", [](Bytes& f) { f[1] ^= 0x04; }, 2},
        {"bit flipped in the block number", [](Bytes& f) { f[4] ^= 0x01; }, 2},
        {"byte added in the header", [](Bytes& f) { f.insert(f.begin() + 2, 0x11); }, 2},
        {"header byte dropped", [](Bytes& f) { f.erase(f.begin() + 3); }, 2},
        {"bit flipped in the payload", [](Bytes& f) { f[kPayload + 7] ^= 0x80; }, 2},
        {"byte added to a full payload", [](Bytes& f) { f.insert(f.begin() + kPayload + 9, 0x11); }, 2},
        {"payload byte dropped", [](Bytes& f) { f.erase(f.begin() + kPayload + 9); }, 2},
        {"bit flipped in the check", [](Bytes& f) { f.back() ^= 0x02; }, 2},
        {"byte added before the check", [](Bytes& f) { f.insert(f.end() - 1, 0x11); }, 2},
        {"end marker dropped", [](Bytes& f) { f.erase(f.end() - 2); }, 3},
        {"check byte dropped", [](Bytes& f) { f.pop_back(); }, 3},
    };
    Bytes content(600);
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<std::uint8_t>(i * 7 + 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetName("\\D.BIN");
        Command(80, 2);
        Bytes first(content.begin(), content.begin() + 256);
        Bytes damaged = hhsim::bf::BuildFrame(1, first.data(), first.size(), false);
        c.damage(damaged);
        pc_->Write(damaged);
        EXPECT_EQ(pc_->ReadByte(1500), std::optional<std::uint8_t>(c.answer));
        SendData(content);
        Command(80, 22);
        EXPECT_EQ(ReceiveData(), Bytes{0});
        std::ifstream in(sim_->StorePath() / "D.BIN", std::ios::binary);
        EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(in), {}), content);
    }
}

// The handheld's own frames: a byte the line adds after the PC's answer is dropped before the next
// frame goes out, not taken for that frame's answer; any answer but the positive one, readable or
// not, asks for the frame again, up to five sends.
TEST_F(ByteFrameSim, StrayBytesAndUnreadableAnswersDoNotPutTheHandheldOutOfStep) {
    {
        std::ofstream out(sim_->StorePath() / "S.BIN", std::ios::binary);
        out << std::string(700, 's');
    }
    SetName("S.BIN");
    Command(80, 3);
    ByteFrame one = Parse(pc_->ReadByteFrame(false), false);
    ASSERT_TRUE(one.ok);
    EXPECT_EQ(one.number, 1);
    pc_->Write(Bytes{0, 0x07});  // the answer, and a byte the line added after it
    for (std::uint8_t unreadable : {2, 3, 4, 0x41}) {
        ByteFrame two = Parse(pc_->ReadByteFrame(false), false);
        EXPECT_EQ(two.number, 2) << "after answer " << int(unreadable);
        pc_->Write(Bytes{unreadable});
    }
    ByteFrame fifth = Parse(pc_->ReadByteFrame(false), false);
    EXPECT_EQ(fifth.number, 2);
    pc_->Write(Bytes{0});
    ByteFrame last = Parse(pc_->ReadByteFrame(false), false);
    EXPECT_TRUE(last.ok);
    EXPECT_EQ(last.number, 0xFFFF);
    pc_->Write(Bytes{0});
    ASSERT_TRUE(sim_->WaitEvent("sent:\\S.BIN", 1s));

    // Five sends in all, then the handheld gives the frame up.
    SetName("S.BIN");
    Command(80, 3);
    for (int send = 1; send <= 5; ++send) {
        ByteFrame again = Parse(pc_->ReadByteFrame(false), false);
        EXPECT_EQ(again.number, 1) << "send " << send;
        pc_->Write(Bytes{2});
    }
    EXPECT_TRUE(sim_->WaitEvent("gave-up-send", 1s));
    EXPECT_TRUE(pc_->ReadByteFrame(false, 400).empty());
}

// The upload command sent again after its answer was lost keeps the check the handheld chose.
TEST_F(ByteFrameSim, RepeatedUploadCommandKeepsTheCrc) {
    SetName("R.BIN");
    ChooseCrc();
    Command(80, 2);
    Command(80, 2);  // the PC did not hear the first answer
    SendData(Bytes(300, 'r'), true);
    Command(80, 22);
    EXPECT_EQ(ReceiveData(), Bytes{0});
    EXPECT_EQ(std::filesystem::file_size(sim_->StorePath() / "R.BIN"), 300u);
}

}  // namespace
