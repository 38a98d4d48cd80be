// The PC's end of the simulated handheld's line, for tests that talk raw bytes.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace simtest {

using Bytes = std::vector<std::uint8_t>;

inline Bytes B(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

class PtyClient {
  public:
    explicit PtyClient(const std::string& path, speed_t speed = B115200) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd_ < 0) return;
        termios tio{};
        tcgetattr(fd_, &tio);
        cfmakeraw(&tio);
        cfsetispeed(&tio, speed);
        cfsetospeed(&tio, speed);
        tcsetattr(fd_, TCSANOW, &tio);
    }
    ~PtyClient() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    void Write(const Bytes& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
            } else {
                pollfd p{fd_, POLLOUT, 0};
                ::poll(&p, 1, 100);
            }
        }
    }

    std::optional<std::uint8_t> ReadByte(int timeout_ms) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            std::uint8_t b;
            if (::read(fd_, &b, 1) == 1) return b;
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return std::nullopt;
            pollfd p{fd_, POLLIN, 0};
            ::poll(&p, 1, static_cast<int>(left.count()));
        }
    }

    // A text frame as sent: '#' up to '$' and the four check digits.
    Bytes ReadTextFrame(int timeout_ms = 2000) {
        Bytes frame;
        for (;;) {
            auto b = ReadByte(timeout_ms);
            if (!b) return frame;
            if (frame.empty() && *b != '#') continue;
            frame.push_back(*b);
            if (*b == '$') break;
        }
        for (int i = 0; i < 4; ++i) {
            auto b = ReadByte(timeout_ms);
            if (!b) return frame;
            frame.push_back(*b);
        }
        return frame;
    }

    // A byte frame as sent: '#', four header bytes, the payload up to '$' and the check byte(s).
    Bytes ReadByteFrame(bool crc, int timeout_ms = 2000) {
        Bytes frame;
        for (;;) {
            auto b = ReadByte(timeout_ms);
            if (!b) return frame;
            if (frame.empty() && *b != '#') continue;
            frame.push_back(*b);
            if (frame.size() > 5 && *b == '$') break;
        }
        for (int i = 0; i < (crc ? 2 : 1); ++i) {
            auto b = ReadByte(timeout_ms);
            if (!b) return frame;
            frame.push_back(*b);
        }
        return frame;
    }

  private:
    int fd_ = -1;
};

}  // namespace simtest
