// The text-frame handheld over a real pseudo-terminal, driven with raw bytes from the PC's side.
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "sim/core.h"
#include "sim/hhsim.h"
#include "tests/sim/pty_client.h"

namespace {

using hhsim::Bytes;
using simtest::B;
using namespace std::chrono_literals;

struct TextFrame {
    std::uint32_t number = 0;
    Bytes payload;
    bool check_ok = false;
};

// Reads a text frame the way the PC's side must: unescape, and check the CRC over the line form.
TextFrame Parse(const Bytes& raw) {
    TextFrame f;
    if (raw.size() < 14 || raw[0] != '#' || raw[raw.size() - 5] != '$') return f;
    hhsim::tf::ParseHexLowFirst(raw.data() + 1, 8, f.number);
    for (std::size_t i = 9; i < raw.size() - 5; ++i) {
        std::uint8_t b = raw[i];
        if (b == '@') {
            b = raw[++i];
            b = b == 'A' ? '@' : b == 'B' ? '#' : b == 'C' ? '$' : b;
        }
        f.payload.push_back(b);
    }
    std::uint32_t check = 0;
    hhsim::tf::ParseHexLowFirst(raw.data() + raw.size() - 4, 4, check);
    f.check_ok = check == hhsim::Crc16Xmodem(raw.data(), raw.size() - 5);
    return f;
}

Bytes Packet(std::uint8_t command, std::uint8_t sub, const Bytes& data = {}) {
    Bytes p(24, 0);
    p[0] = command;
    p[1] = sub;
    p[2] = static_cast<std::uint8_t>(data.size());
    std::copy(data.begin(), data.end(), p.begin() + 4);
    return p;
}

Bytes Le32(std::uint32_t v) {
    return {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), std::uint8_t(v >> 24)};
}

class TextFrameSim : public ::testing::Test {
  protected:
    void StartSim(hhsim::Config config) {
        config.family = hhsim::Family::TextFrame;
        config.number = "HC1234567";
        config.data_timeout_ms = 1500;
        config.ack_timeout_ms = 300;
        sim_ = std::make_unique<hhsim::Simulator>(config);
        std::string error;
        ASSERT_TRUE(sim_->Start(&error)) << error;
        pc_ = std::make_unique<simtest::PtyClient>(sim_->SlavePath());
        ASSERT_TRUE(pc_->ok());
    }
    void SetUp() override { StartSim({}); }

    std::optional<std::uint8_t> Send(std::uint32_t number, const Bytes& payload) {
        pc_->Write(hhsim::tf::BuildFrame(number, payload.data(), payload.size()));
        return pc_->ReadByte(1000);
    }
    void Command(std::uint8_t command, std::uint8_t sub, const Bytes& data = {}) {
        ASSERT_EQ(Send(0xFFFFFFFF, Packet(command, sub, data)), std::optional<std::uint8_t>(0));
    }
    void SendData(const Bytes& data) {
        std::size_t off = 0;
        for (std::uint32_t n = 1;; ++n) {
            bool last = data.size() - off <= 256;
            Bytes block(data.begin() + static_cast<long>(off),
                        data.begin() + static_cast<long>(last ? data.size() : off + 256));
            ASSERT_EQ(Send(last ? 0xFFFFFFFF : n, block), std::optional<std::uint8_t>(0));
            if (last) return;
            off += 256;
        }
    }
    Bytes ReceiveData() {
        Bytes data;
        for (;;) {
            TextFrame f = Parse(pc_->ReadTextFrame());
            EXPECT_TRUE(f.check_ok);
            if (!f.check_ok) return data;
            pc_->Write(Bytes{0x00});
            data.insert(data.end(), f.payload.begin(), f.payload.end());
            if (f.number == 0xFFFFFFFF) return data;
        }
    }
    void ExpectStatus(std::uint8_t command, std::uint8_t sub, std::uint8_t status = 0) {
        EXPECT_EQ(ReceiveData(), (Bytes{command, sub, status}));
    }
    void SetName(const std::string& name) {
        Command(80, 1);
        SendData(B(name));
    }
    void Upload(const std::string& name, const Bytes& content) {
        SetName(name);
        Command(80, 5, Le32(static_cast<std::uint32_t>(content.size())));
        ExpectStatus(80, 5);
        Command(80, 2, Le32(0));
        ExpectStatus(80, 2);
        SendData(content);
        Command(16, 0);
        ExpectStatus(16, 0);
    }

    std::unique_ptr<hhsim::Simulator> sim_;
    std::unique_ptr<simtest::PtyClient> pc_;
};

TEST_F(TextFrameSim, AnswersLinkTestNumberAndModel) {
    Command(15, 0);
    Command(80, 25);
    EXPECT_EQ(ReceiveData(), B("HC1234567"));
    Command(80, 36);
    EXPECT_EQ(ReceiveData(), B("R9M"));
    ASSERT_TRUE(sim_->WaitCommands(3, 1s));
    auto commands = sim_->Commands();
    EXPECT_EQ(commands[1].command, 80);
    EXPECT_EQ(commands[1].sub, 25);
}

TEST_F(TextFrameSim, StoresUploadAndReturnsIt) {
    Bytes content(600);
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<std::uint8_t>(i * 7);
    content[3] = '#';
    content[300] = '$';
    Command(80, 11);
    SendData(B("\\KELVANHB"));
    Command(80, 13);
    ExpectStatus(80, 13);
    Upload("\\KELVANHB\\A.DBF", content);
    ASSERT_TRUE(sim_->WaitEvent("stored:\\KELVANHB\\A.DBF", 1s));
    std::ifstream in(sim_->StorePath() / "KELVANHB" / "A.DBF", std::ios::binary);
    EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(in), {}), content);

    // Find first names the file with its size and kind; find next ends the search.
    SetName("\\kelvanhb\\*.dbf");
    Command(80, 14);
    Bytes entry = ReceiveData();
    ASSERT_EQ(entry.size(), 56u);
    EXPECT_EQ(entry[0], 0x00);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&entry[1])), "A.DBF");
    EXPECT_EQ(entry[33] | (entry[34] << 8), 600);
    EXPECT_EQ(entry[37], 1);
    Command(80, 15);
    EXPECT_EQ(ReceiveData()[0], 0xFF);

    SetName("\\KELVANHB\\A.DBF");
    Command(80, 5, Le32(600));
    ExpectStatus(80, 5);
    Command(80, 3);
    ExpectStatus(80, 3);
    EXPECT_EQ(ReceiveData(), content);

    Command(80, 4);
    ExpectStatus(80, 4);
    Command(80, 4);
    ExpectStatus(80, 4, 1);  // gone now
}

TEST_F(TextFrameSim, FoldersAndCurrentFolder) {
    Command(80, 11);
    SendData(B("\\APP"));
    Command(80, 13);
    ExpectStatus(80, 13);
    Command(80, 13);
    ExpectStatus(80, 13, 1);  // exists already
    Command(80, 21, {0});
    Command(80, 10);
    EXPECT_EQ(ReceiveData(), B("\\APP"));
    Command(80, 11);
    SendData(B("\\"));
    Command(80, 21, {0});
    Command(80, 11);
    SendData(B("APP"));
    Command(80, 12);
    ExpectStatus(80, 12);
    EXPECT_FALSE(std::filesystem::exists(sim_->StorePath() / "APP"));
}

TEST_F(TextFrameSim, AnswersBadCheckWithNakAndSeesTheAbortFrame) {
    Bytes frame = hhsim::tf::BuildFrame(0xFFFFFFFF, Packet(15, 0).data(), 24);
    frame.back() = frame.back() == '0' ? '1' : '0';
    pc_->Write(frame);
    EXPECT_EQ(pc_->ReadByte(1000), std::optional<std::uint8_t>(0x0F));
    pc_->Write(B("#00000000$10C6"));
    EXPECT_EQ(pc_->ReadByte(1000), std::optional<std::uint8_t>(0x00));
    EXPECT_TRUE(sim_->WaitEvent("abort", 1s));
}

TEST_F(TextFrameSim, AbortFrameEndsAnUploadWithoutStoring) {
    SetName("B.TXT");
    Command(80, 5, Le32(1000));
    ExpectStatus(80, 5);
    Command(80, 2, Le32(0));
    ExpectStatus(80, 2);
    EXPECT_EQ(Send(1, Bytes(256, 'x')), std::optional<std::uint8_t>(0));
    pc_->Write(hhsim::tf::AbortFrame());
    EXPECT_EQ(pc_->ReadByte(1000), std::optional<std::uint8_t>(0));
    ASSERT_TRUE(sim_->WaitEvent("abort", 1s));
    Command(16, 0);
    ExpectStatus(16, 0, 1);
    EXPECT_FALSE(std::filesystem::exists(sim_->StorePath() / "B.TXT"));
}

TEST_F(TextFrameSim, IgnoresAPcAtAnotherRate) {
    simtest::PtyClient slow(sim_->SlavePath(), B9600);  // changes the line settings of the one slave
    slow.Write(hhsim::tf::BuildFrame(0xFFFFFFFF, Packet(15, 0).data(), 24));
    EXPECT_EQ(slow.ReadByte(200), std::nullopt);
    EXPECT_EQ(sim_->CommandCount(), 0u);
}

TEST_F(TextFrameSim, RestartedOnTheSameName) {
    // Pulled off the line: the PC's open port hangs up and the name leads nowhere, so that it never
    // reaches the pseudo-terminal that next gets the old number.  Put back: the same name leads to a
    // new line with the handheld serving from its start; its files stay.
    Upload("KEEP.TXT", B("kept"));
    const std::string name = sim_->SlavePath();
    sim_->Unplug();
    EXPECT_FALSE(sim_->Running());
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(name)));
    const Bytes frame = hhsim::tf::BuildFrame(0xFFFFFFFF, Packet(15, 0).data(), 24);
    EXPECT_LT(::write(pc_->fd(), frame.data(), frame.size()), 0);
    pollfd p{pc_->fd(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 0), 1);
    EXPECT_NE(p.revents & POLLHUP, 0);

    std::string error;
    ASSERT_TRUE(sim_->Replug(&error)) << error;
    EXPECT_TRUE(sim_->Running());
    EXPECT_EQ(sim_->SlavePath(), name);
    EXPECT_TRUE(std::filesystem::is_symlink(name));
    pc_ = std::make_unique<simtest::PtyClient>(name);
    ASSERT_TRUE(pc_->ok());
    Command(15, 0);
    EXPECT_TRUE(std::filesystem::exists(sim_->StorePath() / "KEEP.TXT"));
    // A restart is both; a second Replug without an Unplug changes nothing.
    ASSERT_TRUE(sim_->Restart(&error)) << error;
    EXPECT_TRUE(sim_->Replug(&error));
    pc_ = std::make_unique<simtest::PtyClient>(name);
    Command(15, 0);
    sim_->Unplug();
    sim_->Stop();  // from unplugged: the private folder goes too
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(name).parent_path()));
}

TEST_F(TextFrameSim, PortReopensAfterAnExclusiveOpen) {
    // The PC side opens its port exclusively and closes it between operations; the next open must work
    // also for an unprivileged user.
    for (int round = 0; round < 2; ++round) {
        pc_.reset();
        int fd = ::open(sim_->SlavePath().c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0);
        ioctl(fd, TIOCEXCL);
        ::close(fd);
        // Unprivileged, the handheld clears the flag between its looks at the line (within 20 ms).
        auto deadline = std::chrono::steady_clock::now() + 1s;
        do {
            pc_ = std::make_unique<simtest::PtyClient>(sim_->SlavePath());
        } while (!pc_->ok() && std::chrono::steady_clock::now() < deadline);
        ASSERT_TRUE(pc_->ok());
        Command(15, 0);
    }
}

TEST_F(TextFrameSim, FaultPlanShapesTheAnswers) {
    using K = hhsim::Fault::Kind;
    hhsim::FaultPlan plan;
    plan.faults = {
        {K::Nak, 1, 1, 15, -1, 1, ""},           // the first link test is refused
        {K::WrongStatus, 1, 1, 80, 5, 7, ""},    // the size status says 7
        {K::ShortStatus, 2, 1, 80, 5, 2, ""},    // then comes short
        {K::CorruptCheck, 1, 1, 80, 25, 1, ""},  // the number's frame has a bad check once
        {K::AbortFrame, 1, 1, 80, 36, 1, ""},    // the model query is given up
    };
    sim_->SetPlan(plan);
    EXPECT_EQ(Send(0xFFFFFFFF, Packet(15, 0)), std::optional<std::uint8_t>(0x0F));
    Command(15, 0);
    Command(80, 5, Le32(1));
    ExpectStatus(80, 5, 7);
    Command(80, 5, Le32(1));
    EXPECT_EQ(ReceiveData(), (Bytes{80, 5}));
    Command(80, 25);
    TextFrame bad = Parse(pc_->ReadTextFrame());
    EXPECT_FALSE(bad.check_ok);
    pc_->Write(Bytes{0x0F});
    TextFrame good = Parse(pc_->ReadTextFrame());
    EXPECT_TRUE(good.check_ok);
    EXPECT_EQ(good.payload, B("HC1234567"));
    pc_->Write(Bytes{0x00});
    Command(80, 36);
    EXPECT_EQ(pc_->ReadTextFrame(), B("#00000000$10C6"));
}

TEST_F(TextFrameSim, DownloadFramesCanSkipRepeatOrEndEarly) {
    Upload("C.BIN", Bytes(700, 'c'));
    using K = hhsim::Fault::Kind;
    struct Case {
        K kind;
        std::vector<std::uint32_t> numbers;
    } cases[] = {
        {K::SkipNumber, {1, 3}},
        {K::RepeatFrame, {1, 2, 2, 0xFFFFFFFF}},
        {K::EarlyLast, {1, 0xFFFFFFFF}},
    };
    for (const auto& c : cases) {
        hhsim::FaultPlan plan;
        plan.faults = {{c.kind, 2, 1, 80, 3, 1, ""}};
        sim_->SetPlan(plan);
        SetName("C.BIN");
        Command(80, 3);
        ExpectStatus(80, 3);
        std::vector<std::uint32_t> numbers;
        for (std::size_t i = 0; i < c.numbers.size(); ++i) {
            TextFrame f = Parse(pc_->ReadTextFrame());
            numbers.push_back(f.number);
            pc_->Write(Bytes{0x00});
        }
        EXPECT_EQ(numbers, c.numbers) << static_cast<int>(c.kind);
        if (c.kind == K::SkipNumber) {
            // The PC stops answering; the handheld gives the rest of the file up after its attempts.
            sim_->WaitEvent("gave-up-send", 5s);
            while (pc_->ReadByte(50)) {
            }
        }
    }
}

TEST_F(TextFrameSim, PauseHoldsADownloadUntilReleased) {
    Upload("D.BIN", Bytes(600, 'd'));
    hhsim::FaultPlan plan;
    plan.faults = {{hhsim::Fault::Kind::Pause, 2, 1, 80, 3, 1, "mid"}};
    sim_->SetPlan(plan);
    SetName("D.BIN");
    Command(80, 3);
    ExpectStatus(80, 3);
    EXPECT_EQ(Parse(pc_->ReadTextFrame()).number, 1u);
    pc_->Write(Bytes{0x00});
    ASSERT_TRUE(sim_->WaitEvent("paused:mid", 2s));
    EXPECT_EQ(pc_->ReadByte(100), std::nullopt);  // held
    sim_->Release("mid");
    EXPECT_EQ(Parse(pc_->ReadTextFrame()).number, 2u);
}

}  // namespace

namespace {

TEST_F(TextFrameSim, PacedLineTakesItsLineTime) {
    hhsim::Config config;
    config.baud = 9600;
    config.pace = true;
    pc_.reset();
    sim_.reset();
    StartSim(config);
    pc_ = std::make_unique<simtest::PtyClient>(sim_->SlavePath(), B9600);
    Upload("P.BIN", Bytes(400, 'p'));
    SetName("P.BIN");
    Command(80, 3);
    ExpectStatus(80, 3);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ReceiveData().size(), 400u);
    // Two frames of at least 270 line bytes and 144 bytes, 10 bits each, at 9600 bit/s: at least 0.4 s.
    EXPECT_GE(std::chrono::steady_clock::now() - start, 400ms);
}

TEST_F(TextFrameSim, LineNoiseIsReproducibleAndSurvived) {
    hhsim::FaultPlan plan;
    plan.noise_rate = 0.02;
    plan.noise_seed = 11;
    plan.noise_outbound = false;  // spoil what the PC sends, so the answers stay readable
    sim_->SetPlan(plan);
    int acked = 0, refused = 0, silent = 0;
    for (int i = 0; i < 60; ++i) {
        pc_->Write(hhsim::tf::BuildFrame(0xFFFFFFFF, Packet(15, 0).data(), 24));
        auto answer = pc_->ReadByte(150);  // a frame that lost a byte is ended by the next '#'
        if (!answer) {
            ++silent;
        } else if (*answer == 0) {
            ++acked;
        } else {
            ++refused;
        }
    }
    EXPECT_GT(acked, 10);
    EXPECT_GT(refused + silent, 5);
    EXPECT_EQ(static_cast<int>(sim_->CommandCount()), acked);  // no spoiled packet was taken as a command
    sim_->SetPlan({});
    while (pc_->ReadByte(50)) {
    }
    Command(15, 0);
}

}  // namespace

namespace {

TEST_F(TextFrameSim, CommandWhereDataWasDueEndsTheUpload) {
    // A PC that gave an upload up sends its next command; the handheld serves it and stores nothing.
    SetName("G.BIN");
    Command(80, 5, Le32(1000));
    ExpectStatus(80, 5);
    Command(80, 2, Le32(0));
    ExpectStatus(80, 2);
    EXPECT_EQ(Send(1, Bytes(256, 'g')), std::optional<std::uint8_t>(0));
    Command(80, 25);
    EXPECT_EQ(ReceiveData(), B("HC1234567"));
    EXPECT_TRUE(sim_->WaitEvent("data-abandoned", 1s));
    EXPECT_FALSE(std::filesystem::exists(sim_->StorePath() / "G.BIN"));
}

}  // namespace

namespace {

// The first data frame of an upload damaged on the line: the handheld answers it with the negative
// byte, also when it lost or gained bytes (rather than leave the PC to its whole answer wait), and
// takes the good repeat.
TEST_F(TextFrameSim, DamagedInboundFramesAreRefusedAndAwaitedAgain) {
    struct Case {
        const char* what;
        std::function<void(Bytes&)> damage;
    };
    constexpr std::size_t kPayload = 9;  // '#' and eight number digits come before the payload
    const Case cases[] = {
        {"number digit changed", [](Bytes& f) { f[2] = f[2] == '1' ? '2' : '1'; }},
        {"bit flipped in the payload", [](Bytes& f) { f[kPayload + 5] ^= 0x01; }},
        {"byte added to a full payload", [](Bytes& f) { f.insert(f.begin() + kPayload + 5, 0x11); }},
        {"payload byte dropped", [](Bytes& f) { f.erase(f.begin() + kPayload + 5); }},
        {"check digit dropped", [](Bytes& f) { f.pop_back(); }},
        {"check digit changed", [](Bytes& f) { f.back() = f.back() == '0' ? '1' : '0'; }},
    };
    Bytes content(500);
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<std::uint8_t>('a' + i % 26);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetName("D.BIN");
        Command(80, 5, Le32(static_cast<std::uint32_t>(content.size())));
        ExpectStatus(80, 5);
        Command(80, 2, Le32(0));
        ExpectStatus(80, 2);
        Bytes damaged = hhsim::tf::BuildFrame(1, content.data(), 256);
        c.damage(damaged);
        pc_->Write(damaged);
        EXPECT_EQ(pc_->ReadByte(1500), std::optional<std::uint8_t>(0x0F));
        SendData(content);
        Command(16, 0);
        ExpectStatus(16, 0);
        std::ifstream in(sim_->StorePath() / "D.BIN", std::ios::binary);
        EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(in), {}), content);
    }
}

// A byte the line adds after the PC's answer is dropped before the next frame, not taken for its
// answer; a negative or unreadable answer asks for the frame again, three sends in all.
TEST_F(TextFrameSim, StrayByteAfterAnAnswerIsDroppedAndSendsAreThree) {
    Upload("S.BIN", Bytes(600, 's'));
    SetName("S.BIN");
    Command(80, 5, Le32(600));
    ExpectStatus(80, 5);
    Command(80, 3);
    ExpectStatus(80, 3);
    TextFrame one = Parse(pc_->ReadTextFrame());
    EXPECT_EQ(one.number, 1u);
    pc_->Write(Bytes{0x00, 0x07});
    TextFrame two = Parse(pc_->ReadTextFrame());
    EXPECT_EQ(two.number, 2u);
    pc_->Write(Bytes{0x0F});
    EXPECT_EQ(Parse(pc_->ReadTextFrame()).number, 2u);
    pc_->Write(Bytes{0x41});
    EXPECT_EQ(Parse(pc_->ReadTextFrame()).number, 2u);
    pc_->Write(Bytes{0x0F});
    EXPECT_TRUE(sim_->WaitEvent("gave-up-send", 1s));
    EXPECT_TRUE(pc_->ReadTextFrame(400).empty());
}

}  // namespace
