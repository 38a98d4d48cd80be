// A scripted far end of a pseudo-terminal for the wire-level faults that a handheld of good will
// never shows: late and doubled answer bytes, skipped block numbers, a completion that never comes.
// Its framing is written here from the frame layout, apart from the library's codec.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace bftest {

using Bytes = std::vector<uint8_t>;

class PtyPeer {
  public:
    PtyPeer() {
        fd_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (fd_ >= 0 && grantpt(fd_) == 0 && unlockpt(fd_) == 0) {
            const char* name = ptsname(fd_);
            if (name != nullptr) path_ = name;
        }
        // Keep one slave descriptor open so that the master never sees a hang-up between opens.
        if (!path_.empty()) hold_ = open(path_.c_str(), O_RDWR | O_NOCTTY);
    }
    ~PtyPeer() {
        if (hold_ >= 0) close(hold_);
        if (fd_ >= 0) close(fd_);
    }
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    const std::string& path() const { return path_; }
    bool ok() const { return fd_ >= 0 && !path_.empty(); }

    std::optional<uint8_t> ReadByte(int timeout_ms) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0 || !(p.revents & POLLIN)) return std::nullopt;
        uint8_t b = 0;
        if (read(fd_, &b, 1) != 1) return std::nullopt;
        return b;
    }

    void Write(const Bytes& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
    }

    struct Frame {
        uint16_t block = 0;
        Bytes payload;
        bool check_ok = false;
    };

    // One frame sent with the sum check; nullopt when none began in time.
    std::optional<Frame> ReadFrame(int timeout_ms = 2000) {
        std::optional<uint8_t> b;
        do {
            b = ReadByte(timeout_ms);
            if (!b) return std::nullopt;
        } while (*b != '#');
        uint8_t header[4];
        for (uint8_t& h : header) {
            b = ReadByte(timeout_ms);
            if (!b) return std::nullopt;
            h = *b;
        }
        Frame frame;
        frame.block = static_cast<uint16_t>(header[2] | (header[3] << 8));
        unsigned sum = header[0] + header[1] + header[2] + header[3];
        for (;;) {
            b = ReadByte(timeout_ms);
            if (!b) return std::nullopt;
            if (*b == '$') break;
            uint8_t v = *b;
            if (v == '@') {
                b = ReadByte(timeout_ms);
                if (!b) return std::nullopt;
                v = *b == 'A' ? '@' : *b == 'B' ? '#' : *b == 'C' ? '$' : *b;
            }
            frame.payload.push_back(v);
            sum += v;
        }
        b = ReadByte(timeout_ms);
        if (!b) return std::nullopt;
        const unsigned length = header[0] | (header[1] << 8);
        frame.check_ok = *b == (sum & 0xFF) && length == frame.payload.size();
        return frame;
    }

    // A data frame with the sum check, escaped by hand.
    static Bytes SumFrame(const Bytes& payload, uint16_t block) {
        Bytes out = {'#', static_cast<uint8_t>(payload.size()), static_cast<uint8_t>(payload.size() >> 8),
                     static_cast<uint8_t>(block), static_cast<uint8_t>(block >> 8)};
        unsigned sum = out[1] + out[2] + out[3] + out[4];
        for (uint8_t v : payload) {
            sum += v;
            if (v == '@' || v == '#' || v == '$') {
                out.push_back('@');
                out.push_back(v == '@' ? 'A' : v == '#' ? 'B' : 'C');
            } else {
                out.push_back(v);
            }
        }
        out.push_back('$');
        out.push_back(static_cast<uint8_t>(sum));
        return out;
    }

    // Sends a frame and returns the answer byte (nullopt when none came).
    std::optional<uint8_t> SendFrame(const Bytes& payload, uint16_t block, int timeout_ms = 2000) {
        Write(SumFrame(payload, block));
        return ReadByte(timeout_ms);
    }

  private:
    int fd_ = -1;
    int hold_ = -1;
    std::string path_;
};

}  // namespace bftest
