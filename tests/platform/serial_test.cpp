// The serial port layer on a real pseudo-terminal: raw bytes both ways, exclusive use, waits that
// end on time or on the stop flag, and the COMn device mapping.
#include "platform/serial.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

namespace tarvix::platform {
namespace {

class Pty {
  public:
    void CloseMaster() {
        close(master_);
        master_ = -1;
    }
    Pty() {
        char name[256];
        EXPECT_EQ(openpty(&master_, &slave_, name, nullptr, nullptr), 0);
        path_ = name;
        close(slave_);  // the port under test opens it itself
    }
    ~Pty() {
        if (master_ >= 0) close(master_);
    }
    int master() const { return master_; }
    const std::string& path() const { return path_; }

  private:
    int master_ = -1, slave_ = -1;
    std::string path_;
};

TEST(SerialPort, RawBytesBothWaysAtTheGivenRate) {
    Pty pty;
    auto port = MakeSerialPort();
    ASSERT_TRUE(port->Open(pty.path(), 57600));
    EXPECT_TRUE(port->IsOpen());
    termios tio{};
    ASSERT_EQ(tcgetattr(pty.master(), &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), B57600);
    EXPECT_EQ(tio.c_lflag & (ECHO | ICANON), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | ICRNL), 0u);
    EXPECT_NE(tio.c_iflag & IGNBRK, 0u);  // a break never reads as a 0x00 byte

    const uint8_t out[] = {'#', 0x0D, 0x0A, 0x00, 0xFF, 0x11, 0x13};  // CR, LF, XON, XOFF pass unchanged
    EXPECT_EQ(port->Write(out, sizeof out, 1000), sizeof out);
    uint8_t seen[16];
    ssize_t n = 0;
    for (int i = 0; i < 100 && n < static_cast<ssize_t>(sizeof out); ++i) {
        ssize_t r = read(pty.master(), seen + n, sizeof seen - n);
        if (r > 0) n += r;
    }
    ASSERT_EQ(n, static_cast<ssize_t>(sizeof out));
    EXPECT_EQ(std::memcmp(seen, out, sizeof out), 0);

    ASSERT_EQ(write(pty.master(), out, sizeof out), static_cast<ssize_t>(sizeof out));
    EXPECT_TRUE(port->WaitReadable(2000, nullptr));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(port->QueuedBytes(), sizeof out);
    uint8_t in[16];
    EXPECT_EQ(port->ReadAvailable(in, sizeof in), sizeof out);
    EXPECT_EQ(std::memcmp(in, out, sizeof out), 0);
    EXPECT_EQ(port->ReadAvailable(in, sizeof in), 0u);  // never blocks
    EXPECT_FALSE(port->TakeLineErrors());

    EXPECT_TRUE(port->SetBaudRate(9600));
    ASSERT_EQ(tcgetattr(pty.master(), &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), B9600);
    EXPECT_FALSE(port->SetBaudRate(12345));
    port->Close();
    EXPECT_FALSE(port->IsOpen());
}

TEST(SerialPort, ExclusiveAndRefusesWhatIsNoSerialLine) {
    Pty pty;
    auto first = MakeSerialPort();
    auto second = MakeSerialPort();
    ASSERT_TRUE(first->Open(pty.path(), 115200));
    EXPECT_FALSE(second->Open(pty.path(), 115200));
    first->Close();
    EXPECT_TRUE(second->Open(pty.path(), 115200));
    EXPECT_FALSE(first->Open("/nonexistent/ttyS9", 115200));
    EXPECT_FALSE(first->Open("/dev/null", 115200));  // not a terminal
    const std::string file = ::testing::TempDir() + "not-a-tty";
    std::ofstream(file) << "x";
    EXPECT_FALSE(first->Open(file, 115200));
}

TEST(SerialPort, WaitsEndOnTheDeadlineOrTheStopFlag) {
    Pty pty;
    auto port = MakeSerialPort();
    ASSERT_TRUE(port->Open(pty.path(), 115200));
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(port->WaitReadable(60, nullptr));
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(55));

    std::atomic<bool> stop{false};
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        stop = true;
    });
    start = std::chrono::steady_clock::now();
    EXPECT_FALSE(port->WaitReadable(30000, &stop));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    stopper.join();
}

TEST(SerialPort, AHungUpLineEndsEveryWaitAtOnce) {
    Pty pty;
    auto port = MakeSerialPort();
    ASSERT_TRUE(port->Open(pty.path(), 115200));
    EXPECT_FALSE(port->HungUp());
    pty.CloseMaster();  // the far end is gone
    for (int round = 0; round < 3; ++round) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(port->WaitReadable(30000, nullptr));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        uint8_t in[8];
        EXPECT_EQ(port->ReadAvailable(in, sizeof in), 0u);
    }
    EXPECT_TRUE(port->HungUp());
    // A fresh line is a fresh start.
    Pty other;
    ASSERT_TRUE(port->Open(other.path(), 115200));
    EXPECT_FALSE(port->HungUp());
    EXPECT_FALSE(port->WaitReadable(30, nullptr));
    EXPECT_FALSE(port->HungUp());
}

TEST(SerialPort, AGoneDeviceIsReportedByWhicheverCallMeetsItFirst) {
    // Whatever the port is asked first after its far end went away, that call ends at once without
    // data, and from then on the port reports the hang-up, until it is opened again.
    struct Case {
        const char* first;
        std::function<bool(SerialPort&)> call;  // true when the call ended as on a gone device
    };
    const uint8_t bytes[64] = {};
    const Case cases[] = {
        {"nothing", [](SerialPort&) { return true; }},
        {"write", [&](SerialPort& p) { return p.Write(bytes, sizeof bytes, 30000) < sizeof bytes; }},
        {"read",
         [](SerialPort& p) {
             uint8_t in[8];
             return p.ReadAvailable(in, sizeof in) == 0;
         }},
        {"queue", [](SerialPort& p) { return p.QueuedBytes() == 0; }},
        {"wait", [](SerialPort& p) { return !p.WaitReadable(30000, nullptr); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.first);
        Pty pty;
        auto port = MakeSerialPort();
        ASSERT_TRUE(port->Open(pty.path(), 115200));
        // A live line is no hang-up, idle or with bytes waiting.
        EXPECT_FALSE(port->HungUp());
        ASSERT_EQ(write(pty.master(), "ab", 2), 2);
        ASSERT_TRUE(port->WaitReadable(2000, nullptr));
        EXPECT_FALSE(port->HungUp());
        port->Purge();
        pty.CloseMaster();
        const auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(c.call(*port));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        EXPECT_TRUE(port->HungUp());
        EXPECT_TRUE(port->HungUp());  // and it stays
        // The same port object on a fresh line starts clean.
        Pty other;
        ASSERT_TRUE(port->Open(other.path(), 115200));
        EXPECT_FALSE(port->HungUp());
        EXPECT_EQ(port->Write(bytes, 4, 1000), 4u);
        EXPECT_FALSE(port->HungUp());
    }
}

TEST(SerialPort, ComNamesMapToDevices) {
    const std::string ini = ::testing::TempDir() + "ports_tarvix.ini";
    std::ofstream(ini) << "[PORTS]\nCOM2=/dev/ttyUSB0\nCOM12=/dev/ttyACM0\n";
    for (const char* name : {"TARVIX_COM1", "TARVIX_COM2", "TARVIX_COM5", "TARVIX_COM12", "TARVIX_COM65535"})
        unsetenv(name);
    setenv("TARVIX_COM3", "/tmp/sim-pty", 1);
    setenv("TARVIX_COM7", "/tmp/adapter-pty", 1);
    EXPECT_EQ(ComDevicePath(1, ini), "/dev/ttyS0");
    EXPECT_EQ(ComDevicePath(2, ini), "/dev/ttyUSB0");
    EXPECT_EQ(ComDevicePath(3, ini), "/tmp/sim-pty");
    EXPECT_EQ(ComDevicePath(4, ""), "/dev/ttyS3");
    // Past COM4 the same three sources, in the same order.
    EXPECT_EQ(ComDevicePath(5, ini), "/dev/ttyS4");
    EXPECT_EQ(ComDevicePath(7, ini), "/tmp/adapter-pty");
    EXPECT_EQ(ComDevicePath(12, ini), "/dev/ttyACM0");
    EXPECT_EQ(ComDevicePath(12, ""), "/dev/ttyS11");
    EXPECT_EQ(ComDevicePath(65535, ""), "/dev/ttyS65534");
    // No port 0 (the USB) and nothing a 16-bit port number cannot carry.
    EXPECT_EQ(ComDevicePath(0, ini), "");
    EXPECT_EQ(ComDevicePath(-1, ini), "");
    EXPECT_EQ(ComDevicePath(65536, ini), "");
    unsetenv("TARVIX_COM3");
    unsetenv("TARVIX_COM7");
}

}  // namespace
}  // namespace tarvix::platform
