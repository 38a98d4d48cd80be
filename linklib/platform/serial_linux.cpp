// Serial ports on Linux: exclusive, raw 8N1, poll()-based waits.
#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "platform/process.h"
#include "platform/profile.h"
#include "platform/serial.h"

namespace tarvix::platform {
namespace {

constexpr int kSliceMs = 20;  // how often a wait looks at the stop flag

uint64_t NowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

bool SpeedFor(uint32_t baud, speed_t* speed) {
    switch (baud) {
        case 1200:
            *speed = B1200;
            return true;
        case 2400:
            *speed = B2400;
            return true;
        case 4800:
            *speed = B4800;
            return true;
        case 9600:
            *speed = B9600;
            return true;
        case 19200:
            *speed = B19200;
            return true;
        case 38400:
            *speed = B38400;
            return true;
        case 57600:
            *speed = B57600;
            return true;
        case 115200:
            *speed = B115200;
            return true;
        case 230400:
            *speed = B230400;
            return true;
        default:
            return false;
    }
}

class LinuxSerialPort final : public SerialPort {
  public:
    ~LinuxSerialPort() override { Close(); }

    bool Open(const std::string& device, uint32_t baud_rate) override {
        Close();
        speed_t speed;
        if (device.empty() || !SpeedFor(baud_rate, &speed)) return false;
        int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return false;
        // Exclusive use: another program (or another open of ours) must not share the line.
        if (flock(fd, LOCK_EX | LOCK_NB) != 0 || !isatty(fd)) {
            close(fd);
            return false;
        }
        ioctl(fd, TIOCEXCL);
        termios tio{};
        if (tcgetattr(fd, &tio) != 0) {
            close(fd);
            return false;
        }
        cfmakeraw(&tio);  // no echo, no CR/LF translation, no software flow control, 8 bits
        tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS);
        tio.c_cflag |= CLOCAL | CREAD | CS8;
        // A break would otherwise be read as a 0x00 byte, which both families take for "accepted";
        // it still counts as a line error (TakeLineErrors) where the driver counts breaks.
        tio.c_iflag |= IGNBRK;
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
        cfsetispeed(&tio, speed);
        cfsetospeed(&tio, speed);
        if (tcsetattr(fd, TCSANOW, &tio) != 0) {
            close(fd);
            return false;
        }
        // DTR on, RTS off where the device has modem lines; a pseudo-terminal refuses, which is fine.
        int dtr = TIOCM_DTR, rts = TIOCM_RTS;
        ioctl(fd, TIOCMBIS, &dtr);
        ioctl(fd, TIOCMBIC, &rts);
        tcflush(fd, TCIOFLUSH);
        fd_ = fd;
        hung_up_.store(false);
        ReadErrorCounters(&last_counters_);
        return true;
    }

    void Close() override {
        if (fd_ < 0) return;
        // Let queued output leave (briefly), then drop the rest: close must never hang on a dead line.
        const uint64_t deadline = NowMs() + 200;
        int pending = 0;
        while (ioctl(fd_, TIOCOUTQ, &pending) == 0 && pending > 0 && NowMs() < deadline) {
            poll(nullptr, 0, 5);
        }
        // Only unread input is dropped: output already written is protocol data the other end must
        // still get (on a pseudo-terminal the last answer byte may not have been read yet).
        tcflush(fd_, TCIFLUSH);
        // The exclusive flag outlives the descriptor on some lines: lift it, or the next open fails.
        ioctl(fd_, TIOCNXCL);
        close(fd_);
        fd_ = -1;
    }

    bool IsOpen() const override { return fd_ >= 0; }

    bool SetBaudRate(uint32_t baud_rate) override {
        speed_t speed;
        termios tio{};
        if (fd_ < 0 || !SpeedFor(baud_rate, &speed) || tcgetattr(fd_, &tio) != 0) return false;
        cfsetispeed(&tio, speed);
        cfsetospeed(&tio, speed);
        return tcsetattr(fd_, TCSANOW, &tio) == 0;
    }

    size_t QueuedBytes() override {
        int count = 0;
        if (fd_ < 0) return 0;
        if (ioctl(fd_, FIONREAD, &count) != 0) {
            NoteFailure(errno);
            return 0;
        }
        return count > 0 ? static_cast<size_t>(count) : 0;
    }

    bool TakeLineErrors() override {
        serial_icounter_struct now{};
        if (fd_ < 0 || !ReadErrorCounters(&now)) return false;
        bool errors = now.frame != last_counters_.frame || now.parity != last_counters_.parity ||
                      now.overrun != last_counters_.overrun ||
                      now.buf_overrun != last_counters_.buf_overrun || now.brk != last_counters_.brk;
        last_counters_ = now;
        return errors;
    }

    void Purge() override {
        // Stale input goes; bytes written are never taken back, they are already on their way.
        if (fd_ >= 0) tcflush(fd_, TCIFLUSH);
    }

    size_t ReadAvailable(uint8_t* buffer, size_t size) override {
        if (fd_ < 0 || size == 0) return 0;
        ssize_t n = read(fd_, buffer, size);
        // A line that hung up answers reads with an I/O error from then on.
        if (n < 0) NoteFailure(errno);
        return n > 0 ? static_cast<size_t>(n) : 0;
    }

    bool HungUp() override {
        if (fd_ < 0 || hung_up_.load()) return hung_up_.load();
        // A line whose far end went away says so at once and for good: poll() reports the hang-up
        // without waiting, and nothing needs to be read for it.
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 0) > 0) NoteEvents(p.revents);
        return hung_up_.load();
    }

    bool WaitReadable(uint32_t timeout_ms, const std::atomic<bool>* stop) override {
        if (fd_ < 0 || hung_up_.load()) return false;
        const uint64_t deadline = NowMs() + timeout_ms;
        for (;;) {
            if (stop != nullptr && stop->load()) return false;
            const uint64_t now = NowMs();
            const int slice =
                static_cast<int>(std::min<uint64_t>(deadline > now ? deadline - now : 0, kSliceMs));
            pollfd p{fd_, POLLIN, 0};
            int r = poll(&p, 1, slice);
            if (r > 0) {
                // The other end is gone (a pseudo-terminal whose master closed, an unplugged adapter):
                // poll() reports it at once and for good, and reads give nothing.
                if (NoteEvents(p.revents)) return false;
                if (p.revents & POLLIN) return true;
            } else if (r < 0 && errno != EINTR) {
                return false;
            }
            if (NowMs() >= deadline) return false;
        }
    }

    size_t Write(const uint8_t* data, size_t size, uint32_t timeout_ms) override {
        if (fd_ < 0) return 0;
        const uint64_t deadline = NowMs() + timeout_ms;
        size_t written = 0;
        while (written < size) {
            ssize_t n = write(fd_, data + written, size - written);
            if (n > 0) {
                written += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                NoteFailure(errno);  // a line that hung up answers writes with an I/O error
                break;
            }
            const uint64_t now = NowMs();
            if (now >= deadline) break;
            pollfd p{fd_, POLLOUT, 0};
            poll(&p, 1, static_cast<int>(std::min<uint64_t>(deadline - now, kSliceMs)));
        }
        return written;
    }

  private:
    // Errors of a device that is gone: the line hung up (EIO), the device was removed (ENXIO, ENODEV)
    // or the descriptor no longer names it (EBADF).
    void NoteFailure(int error) {
        if (error == EIO || error == ENXIO || error == ENODEV || error == EBADF) hung_up_.store(true);
    }

    // The hang-up in poll()'s report, noted; true when it is there.  Bytes that came before the
    // hang-up are still read first.
    bool NoteEvents(short revents) {
        if ((revents & (POLLHUP | POLLERR | POLLNVAL)) == 0 || QueuedBytes() != 0) return false;
        hung_up_.store(true);
        return true;
    }

    bool ReadErrorCounters(serial_icounter_struct* counters) {
        return fd_ >= 0 && ioctl(fd_, TIOCGICOUNT, counters) == 0;
    }

    int fd_ = -1;
    std::atomic<bool> hung_up_{false};
    serial_icounter_struct last_counters_{};
};

}  // namespace

std::string ComDevicePath(int n, const std::string& ini_path) {
    if (n < 1 || n > kMaxComPort) return "";
    const std::string key = "COM" + std::to_string(n);
    const std::string variable = "TARVIX_" + key;
    if (HasEnvironment(variable.c_str())) return Environment(variable.c_str());
    if (!ini_path.empty()) {
        char buffer[512];
        if (GetProfileString(ini_path, "PORTS", key.c_str(), "", buffer, sizeof buffer) > 0) return buffer;
    }
    return "/dev/ttyS" + std::to_string(n - 1);
}

std::unique_ptr<SerialPort> MakeSerialPort(uint32_t /*queue_bytes: the tty layer sizes its own*/) {
    return std::make_unique<LinuxSerialPort>();
}

}  // namespace tarvix::platform
