// The USB layer against a scripted driver stand-in speaking the socket protocol of platform/usb.h:
// the folder layout, the request and reply messages, and the ways a driver can fail.
#include "platform/usb.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>
#include <vector>

namespace tarvix::platform::usb {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

constexpr char kGuid[] = "{5D490A5E-5B66-4A7C-BC31-C75DBC07B407}";

struct Message {
    uint32_t kind = 0, code = 0, count = 0;
    Bytes payload;
};

// One listening socket; each request is answered by `answer` (nullopt-like: `drop` closes instead).
class Driver {
  public:
    using Answer = std::function<bool(const Message& request, Message& reply)>;

    Driver(const fs::path& path, Answer answer) : path_(path), answer_(std::move(answer)) {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(::listen(fd_, 4), 0);
        thread_ = std::thread([this] { Run(); });
    }
    ~Driver() { Finish(); }
    // Stops serving; the requests it took.
    std::vector<Message> Finish() {
        if (thread_.joinable()) {
            ::shutdown(fd_, SHUT_RDWR);
            thread_.join();
            ::close(fd_);
            fs::remove(path_);
        }
        return requests;
    }

  private:
    std::vector<Message> requests;
    static bool ReadAll(int fd, uint8_t* p, size_t n) {
        while (n > 0) {
            ssize_t r = ::recv(fd, p, n, 0);
            if (r <= 0) return false;
            p += r;
            n -= static_cast<size_t>(r);
        }
        return true;
    }
    static uint32_t Le(const uint8_t* p) {
        return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24);
    }
    static void Put(uint8_t* p, uint32_t v) {
        for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
    }

    void Run() {
        for (;;) {
            int c = ::accept(fd_, nullptr, nullptr);
            if (c < 0) return;
            uint8_t h[16];
            while (ReadAll(c, h, 16)) {
                Message m{Le(h), Le(h + 4), Le(h + 12), Bytes(Le(h + 8))};
                if (!m.payload.empty() && !ReadAll(c, m.payload.data(), m.payload.size())) break;
                requests.push_back(m);
                Message reply;
                reply.kind = m.kind | 0x80;
                if (!answer_(m, reply)) break;
                Bytes out(16 + reply.payload.size());
                Put(out.data(), reply.kind);
                Put(out.data() + 4, reply.code);
                Put(out.data() + 8, uint32_t(reply.payload.size()));
                Put(out.data() + 12, reply.count);
                std::copy(reply.payload.begin(), reply.payload.end(), out.begin() + 16);
                if (::send(c, out.data(), out.size(), MSG_NOSIGNAL) != ssize_t(out.size())) break;
            }
            ::close(c);
        }
    }

    fs::path path_;
    Answer answer_;
    int fd_ = -1;
    std::thread thread_;
};

class UsbLayer : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/usbtest-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        setenv("TARVIX_USB_DIR", dir_.c_str(), 1);
        SetReplyTimeoutMs(2000);
    }
    void TearDown() override {
        unsetenv("TARVIX_USB_DIR");
        SetReplyTimeoutMs(10000);
        fs::remove_all(dir_);
    }
    fs::path dir_;
};

TEST_F(UsbLayer, InterfacesAreTheSocketsNamedAfterTheIdentifier) {
    EXPECT_TRUE(FindInterfaces(kGuid).empty());
    auto ok = [](const Message&, Message&) { return true; };
    Driver second(dir_ / (std::string(kGuid) + "#2"), ok);
    Driver first(dir_ / kGuid, ok);
    Driver other(dir_ / "{F00DBC59-B2FD-4B88-AE42-4D67DC793690}", ok);
    std::ofstream(dir_ / (std::string(kGuid) + "#3"));  // not a socket
    const std::vector<std::string> expected = {(dir_ / kGuid).string(),
                                               (dir_ / (std::string(kGuid) + "#2")).string()};
    EXPECT_EQ(FindInterfaces(kGuid), expected);
    EXPECT_EQ(FindInterfaces("{5d490a5e-5b66-4a7c-bc31-c75dbc07b407}"), expected);  // any case
    unsetenv("TARVIX_USB_DIR");
    EXPECT_TRUE(FindInterfaces(kGuid).empty());
}

TEST_F(UsbLayer, RequestsAndRepliesCrossAsDescribed) {
    Driver driver(dir_ / kGuid, [](const Message& m, Message& reply) {
        if (m.kind == 2) {
            reply.payload = Bytes{9, 8, 7};
            reply.count = 3;
        } else if (m.kind == 3) {
            reply.count = uint32_t(m.payload.size());
        } else if (m.kind == 4) {
            reply.payload = Bytes(m.count, 0x5A);
        }
        return true;
    });
    uint32_t error = 99;
    auto pipe = Open((dir_ / kGuid).string() + "\\PIPE02", &error);
    ASSERT_NE(pipe, nullptr);
    EXPECT_EQ(error, kOk);
    const uint8_t in[4] = {1, 2, 3, 4};
    uint8_t out[8] = {};
    uint32_t returned = 0;
    EXPECT_TRUE(pipe->Control(0x220000, in, sizeof in, out, sizeof out, &returned));
    EXPECT_EQ(returned, 3u);
    EXPECT_EQ(out[0], 9);
    size_t moved = 0;
    EXPECT_TRUE(pipe->Write(in, sizeof in, &moved));
    EXPECT_EQ(moved, 4u);
    uint8_t buffer[64];
    EXPECT_TRUE(pipe->Read(buffer, sizeof buffer, &moved));
    EXPECT_EQ(moved, 64u);
    pipe.reset();
    const std::vector<Message> requests = driver.Finish();
    ASSERT_GE(requests.size(), 4u);
    EXPECT_EQ(requests[0].kind, 1u);
    EXPECT_EQ(std::string(requests[0].payload.begin(), requests[0].payload.end()), "PIPE02");
    EXPECT_EQ(requests[1].code, 0x220000u);
    EXPECT_EQ(requests[1].count, 8u);  // the room for output
    EXPECT_EQ(requests[3].count, 64u);
}

TEST_F(UsbLayer, FailuresOfTheDriver) {
    std::atomic<int> mode{0};
    Driver driver(dir_ / kGuid, [&](const Message& m, Message& reply) {
        if (m.kind == 1) return true;
        switch (mode.load()) {
            case 0:
                reply.code = 31;  // refused
                return true;
            case 1:
                reply.payload = Bytes(100, 0);  // more than the room
                return true;
            case 2:
                std::this_thread::sleep_for(std::chrono::milliseconds(400));  // no reply in time
                return true;
            default:
                return false;  // unplugged
        }
    });
    const std::string device = (dir_ / kGuid).string();
    EXPECT_EQ(Open(dir_.string() + "/{missing}"), nullptr);
    uint8_t buffer[16];
    size_t moved = 0;
    struct Case {
        int mode;
        uint32_t error;
    };
    for (const Case& c : {Case{0, kGenFailure}, Case{1, kDeviceNotConnected}, Case{2, kTimeout},
                          Case{3, kDeviceNotConnected}}) {
        SCOPED_TRACE(c.mode);
        mode = c.mode;
        auto handle = Open(device);
        ASSERT_NE(handle, nullptr);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(handle->Read(buffer, sizeof buffer, &moved, 200));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
        EXPECT_EQ(handle->LastError(), c.error);
        EXPECT_LE(moved, sizeof buffer);
        if (c.mode != 0) {
            // A reply missed or cut leaves the handle unusable.
            EXPECT_FALSE(handle->Write(buffer, 1, &moved));
            EXPECT_EQ(handle->LastError(), kDeviceNotConnected);
        }
    }
    // A stop flag ends a wait at once.
    mode = 2;
    auto handle = Open(device);
    ASSERT_NE(handle, nullptr);
    std::atomic<bool> stop{true};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(handle->Read(buffer, sizeof buffer, &moved, 5000, &stop));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
}

}  // namespace
}  // namespace tarvix::platform::usb
