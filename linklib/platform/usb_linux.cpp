// USB devices on Linux: the driver stand-in reached over Unix domain sockets (protocol in usb.h).
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "platform/usb.h"

namespace tarvix::platform::usb {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kOpen = 1, kControl = 2, kWrite = 3, kRead = 4, kReplyFlag = 0x80;
constexpr uint32_t kMaxPayload = 65536;
constexpr size_t kHeaderSize = 16;
constexpr int kSliceMs = 20;  // stop flags are looked at this often while a reply is awaited

std::atomic<uint32_t> g_reply_timeout_ms{10000};

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

void PutLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t Le32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

using Clock = std::chrono::steady_clock;

class SocketHandle final : public Handle {
  public:
    explicit SocketHandle(int fd) : fd_(fd) {}
    ~SocketHandle() override { ::close(fd_); }

    bool Control(uint32_t code, const uint8_t* in, size_t in_size, uint8_t* out, size_t out_size,
                 uint32_t* returned) override {
        if (returned != nullptr) *returned = 0;
        size_t got = 0;
        if (!Exchange(kControl, code, in, in_size, static_cast<uint32_t>(out_size), out, out_size, &got, 0,
                      nullptr)) {
            return false;
        }
        if (returned != nullptr) *returned = static_cast<uint32_t>(got);
        return true;
    }

    bool Write(const uint8_t* data, size_t size, size_t* written) override {
        if (written != nullptr) *written = 0;
        if (size > kMaxPayload) return Fail(kOtherFailure);
        if (!Exchange(kWrite, 0, data, size, 0, nullptr, 0, nullptr, 0, nullptr)) return false;
        // The driver cannot have taken more than it was given.
        if (written != nullptr) *written = std::min<size_t>(reply_count_, size);
        return true;
    }

    bool Read(uint8_t* buffer, size_t size, size_t* read, uint32_t timeout_ms,
              const std::atomic<bool>* stop) override {
        if (read != nullptr) *read = 0;
        size_t got = 0;
        const uint32_t want = static_cast<uint32_t>(std::min<size_t>(size, kMaxPayload));
        if (!Exchange(kRead, 0, nullptr, 0, want, buffer, want, &got, timeout_ms, stop)) return false;
        if (read != nullptr) *read = got;
        return true;
    }

    uint32_t LastError() const override { return error_; }

    // The open request of a fresh connection.
    bool OpenPipe(const std::string& pipe) {
        return Exchange(kOpen, 0, reinterpret_cast<const uint8_t*>(pipe.data()), pipe.size(), 0, nullptr, 0,
                        nullptr, 0, nullptr);
    }

  private:
    bool Fail(uint32_t error) {
        error_ = error;
        return false;
    }

    // The connection is no longer usable once a reply was missed or cut: later requests fail.
    bool Gone() {
        broken_ = true;
        return Fail(kDeviceNotConnected);
    }

    // Waits until the socket is ready for `events` or the deadline passes; false on time-out or stop.
    bool WaitReady(short events, Clock::time_point deadline, const std::atomic<bool>* stop) {
        for (;;) {
            if (stop != nullptr && stop->load()) return false;
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return false;
            pollfd p{fd_, events, 0};
            int r = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, kSliceMs)));
            if (r > 0) return true;
            if (r < 0 && errno != EINTR) return false;
        }
    }

    bool SendAll(const uint8_t* data, size_t size, Clock::time_point deadline) {
        while (size > 0) {
            if (!WaitReady(POLLOUT, deadline, nullptr)) return false;
            ssize_t n = ::send(fd_, data, size, MSG_NOSIGNAL);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) return false;
            data += n;
            size -= static_cast<size_t>(n);
        }
        return true;
    }

    // 1 received, 0 the peer closed or failed, -1 time-out or stop.
    int ReceiveAll(uint8_t* data, size_t size, Clock::time_point deadline, const std::atomic<bool>* stop) {
        while (size > 0) {
            if (!WaitReady(POLLIN, deadline, stop)) return -1;
            ssize_t n = ::recv(fd_, data, size, 0);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) return 0;
            data += n;
            size -= static_cast<size_t>(n);
        }
        return 1;
    }

    // One request and its reply.  The reply's payload goes into `out` (at most `out_room` bytes; more
    // from the driver is a protocol fault and fails the request).
    bool Exchange(uint32_t kind, uint32_t code, const uint8_t* payload, size_t size, uint32_t count,
                  uint8_t* out, size_t out_room, size_t* out_size, uint32_t timeout_ms,
                  const std::atomic<bool>* stop) {
        if (broken_) return Fail(kDeviceNotConnected);
        if (size > kMaxPayload) return Fail(kOtherFailure);
        const uint32_t reply_ms = g_reply_timeout_ms.load();
        const auto send_deadline = Clock::now() + std::chrono::milliseconds(reply_ms);
        uint8_t header[kHeaderSize];
        PutLe32(header, kind);
        PutLe32(header + 4, code);
        PutLe32(header + 8, static_cast<uint32_t>(size));
        PutLe32(header + 12, count);
        if (!SendAll(header, sizeof header, send_deadline) ||
            (size > 0 && !SendAll(payload, size, send_deadline)))
            return Gone();
        const auto deadline =
            Clock::now() + std::chrono::milliseconds(timeout_ms != 0 ? timeout_ms : reply_ms);
        int r = ReceiveAll(header, sizeof header, deadline, stop);
        if (r <= 0) {
            // A reply that did not come in time would arrive as the answer of the next request.
            broken_ = true;
            return r == 0 ? Fail(kDeviceNotConnected) : Fail(kTimeout);
        }
        const uint32_t reply_kind = Le32(header), status = Le32(header + 4), length = Le32(header + 8);
        reply_count_ = Le32(header + 12);
        if (reply_kind != (kind | kReplyFlag) || length > kMaxPayload || length > out_room) return Gone();
        if (length > 0) {
            const auto tail = Clock::now() + std::chrono::milliseconds(reply_ms);
            if (ReceiveAll(out, length, tail, nullptr) != 1) return Gone();
        }
        if (out_size != nullptr) *out_size = length;
        if (status != kOk) return Fail(status);
        return true;
    }

    int fd_;
    bool broken_ = false;
    uint32_t error_ = kOk;
    uint32_t reply_count_ = 0;
};

fs::path UsbDir() {
    const char* dir = std::getenv("TARVIX_USB_DIR");
    return dir != nullptr ? fs::path(dir) : fs::path();
}

}  // namespace

void SetReplyTimeoutMs(uint32_t ms) {
    g_reply_timeout_ms.store(ms == 0 ? 1 : ms);
}

uint32_t ReplyTimeoutMs() {
    return g_reply_timeout_ms.load();
}

std::vector<std::string> FindInterfaces(const std::string& guid) {
    std::vector<std::string> found;
    const fs::path dir = UsbDir();
    if (dir.empty() || guid.empty()) return found;
    const std::string wanted = Upper(guid);
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        const std::string upper = Upper(name);
        if (upper != wanted && upper.rfind(wanted + "#", 0) != 0) continue;
        std::error_code type_ec;
        if (!it->is_socket(type_ec)) continue;
        found.push_back(it->path().string());
    }
    std::sort(found.begin(), found.end());
    return found;
}

std::unique_ptr<Handle> Open(const std::string& path, uint32_t* error) {
    auto fail = [error](uint32_t code) -> std::unique_ptr<Handle> {
        if (error != nullptr) *error = code;
        return nullptr;
    };
    // The socket is the device; a pipe is named after the last '\'.
    std::string device = path, pipe;
    if (auto slash = path.rfind('\\'); slash != std::string::npos) {
        device = path.substr(0, slash);
        pipe = path.substr(slash + 1);
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (device.empty() || device.size() >= sizeof address.sun_path) return fail(kFileNotFound);
    std::memcpy(address.sun_path, device.data(), device.size());
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return fail(kOtherFailure);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
        errno != EINPROGRESS) {
        ::close(fd);
        return fail(kFileNotFound);
    }
    auto handle = std::make_unique<SocketHandle>(fd);
    if (!handle->OpenPipe(pipe))
        return fail(handle->LastError() == kOk ? kFileNotFound : handle->LastError());
    if (error != nullptr) *error = kOk;
    return handle;
}

}  // namespace tarvix::platform::usb
