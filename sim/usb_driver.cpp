// The handheld's USB driver stand-in: listening sockets, one thread per open handle, and the queues of
// units between the PC's reads and writes and the handheld.
#include "sim/usb_driver.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace hhsim {

namespace {

constexpr std::uint32_t kOpenRequest = 1, kControlRequest = 2, kWriteRequest = 3, kReadRequest = 4;
constexpr std::uint32_t kReply = 0x80;
constexpr std::uint32_t kMaxLength = 65536;
constexpr std::uint32_t kGeneralFailure = 31;
constexpr int kSliceMs = 20;

std::uint32_t Le32(const std::uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

void PutLe32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace

struct UsbDriver::Connection {
    int fd = -1;
    std::string pipe;
    bool opened = false;
};

UsbDriver::UsbDriver(Handlers handlers, std::function<void(const std::string&)> event)
    : handlers_(std::move(handlers)), event_(std::move(event)) {}

UsbDriver::~UsbDriver() {
    Stop();
}

bool UsbDriver::Start(const std::filesystem::path& dir, const std::vector<std::string>& interfaces,
                      std::string* error) {
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
        if (error) *error = "cannot make the USB wake pipe";
        return false;
    }
    for (const std::string& name : interfaces) {
        std::filesystem::path path = dir / name;
        std::error_code ec;
        std::filesystem::remove(path, ec);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::string text = path.string();
        if (text.size() >= sizeof address.sun_path) {
            if (error) *error = "USB socket path too long: " + text;
            return false;
        }
        std::memcpy(address.sun_path, text.data(), text.size());
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(fd, 16) != 0) {
            if (fd >= 0) ::close(fd);
            if (error) *error = "cannot listen on " + text + ": " + std::strerror(errno);
            return false;
        }
        listeners_.push_back(fd);
        sockets_.push_back(path);
    }
    acceptor_ = std::thread([this] { AcceptLoop(); });
    return true;
}

void UsbDriver::Unplug() {
    if (gone_.exchange(true)) return;
    event_("usb-unplugged");
    std::error_code ec;
    for (const auto& path : sockets_) std::filesystem::remove(path, ec);
    std::lock_guard lock(mutex_);
    for (auto& c : connections_) ::shutdown(c->fd, SHUT_RDWR);
    changed_.notify_all();
}

void UsbDriver::Stop() {
    if (stop_.exchange(true)) return;
    if (wake_[1] >= 0) {
        char b = 1;
        (void)!::write(wake_[1], &b, 1);
    }
    {
        std::lock_guard lock(mutex_);
        for (auto& c : connections_) ::shutdown(c->fd, SHUT_RDWR);
        changed_.notify_all();
    }
    if (acceptor_.joinable()) acceptor_.join();
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return active_ == 0; });
    }
    for (int fd : listeners_) ::close(fd);
    listeners_.clear();
    std::error_code ec;
    for (const auto& path : sockets_) std::filesystem::remove(path, ec);
    for (int& fd : wake_) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
}

void UsbDriver::AcceptLoop() {
    while (!stop_) {
        std::vector<pollfd> fds;
        fds.push_back({wake_[0], POLLIN, 0});
        if (!gone_) {
            for (int fd : listeners_) fds.push_back({fd, POLLIN, 0});
        }
        int r = ::poll(fds.data(), fds.size(), kSliceMs * 5);
        if (r <= 0) continue;
        for (std::size_t i = 1; i < fds.size(); ++i) {
            if ((fds[i].revents & POLLIN) == 0) continue;
            int fd = ::accept4(fds[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            auto connection = std::make_shared<Connection>();
            connection->fd = fd;
            std::lock_guard lock(mutex_);
            connections_.push_back(connection);
            ++active_;
            // Detached: a handle lives as long as the PC keeps it open; Stop() waits for them all.
            std::thread([this, connection] { Serve(connection); }).detach();
        }
    }
}

bool UsbDriver::PeerClosed(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0) return false;
    if (p.revents & (POLLHUP | POLLERR)) return true;
    std::uint8_t b;
    return ::recv(fd, &b, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

bool UsbDriver::ReadRequest(Connection& c, std::uint32_t header[4], Bytes& payload) {
    auto receive = [&](std::uint8_t* data, std::size_t size) {
        while (size > 0) {
            if (stop_) return false;
            pollfd p{c.fd, POLLIN, 0};
            int r = ::poll(&p, 1, kSliceMs * 5);
            if (r == 0 || (r < 0 && errno == EINTR)) continue;
            if (r < 0) return false;
            ssize_t n = ::recv(c.fd, data, size, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            data += n;
            size -= static_cast<std::size_t>(n);
        }
        return true;
    };
    std::uint8_t raw[16];
    if (!receive(raw, sizeof raw)) return false;
    for (int i = 0; i < 4; ++i) header[i] = Le32(raw + 4 * i);
    if (header[2] > kMaxLength) return false;
    payload.assign(header[2], 0);
    return header[2] == 0 || receive(payload.data(), payload.size());
}

bool UsbDriver::Reply(Connection& c, std::uint32_t kind, std::uint32_t status, const Bytes& payload,
                      std::uint32_t count) {
    Bytes out(16 + payload.size());
    PutLe32(out.data(), kind | kReply);
    PutLe32(out.data() + 4, status);
    PutLe32(out.data() + 8, static_cast<std::uint32_t>(payload.size()));
    PutLe32(out.data() + 12, count);
    std::copy(payload.begin(), payload.end(), out.begin() + 16);
    std::size_t off = 0;
    while (off < out.size()) {
        ssize_t n = ::send(c.fd, out.data() + off, out.size() - off, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        off += static_cast<std::size_t>(n);
    }
    return true;
}

void UsbDriver::Serve(std::shared_ptr<Connection> connection) {
    Connection& c = *connection;
    std::uint32_t header[4];
    Bytes payload;
    while (!stop_ && !gone_ && ReadRequest(c, header, payload)) {
        const std::uint32_t kind = header[0], code = header[1], count = header[3];
        if (gone_) break;
        if (kind == kOpenRequest) {
            std::string pipe(payload.begin(), payload.end());
            std::uint32_t status = handlers_.open ? handlers_.open(pipe) : 0;
            c.pipe = pipe;
            c.opened = status == 0;
            if (!Reply(c, kind, status, {}, 0)) break;
            continue;
        }
        if (!c.opened) {
            Reply(c, kind, kGeneralFailure, {}, 0);
            continue;
        }
        if (kind == kControlRequest) {
            Bytes output;
            std::uint32_t status =
                handlers_.control ? handlers_.control(c.pipe, code, payload, output, count) : kGeneralFailure;
            if (output.size() > count) output.resize(count);
            if (!Reply(c, kind, status, output, static_cast<std::uint32_t>(output.size()))) break;
        } else if (kind == kWriteRequest) {
            std::uint32_t status = handlers_.write ? handlers_.write(c.pipe, payload) : kGeneralFailure;
            if (!Reply(c, kind, status, {}, status == 0 ? static_cast<std::uint32_t>(payload.size()) : 0))
                break;
        } else if (kind == kReadRequest) {
            if (fail_next_read_.exchange(false) || (handlers_.may_read && !handlers_.may_read(c.pipe))) {
                if (!Reply(c, kind, kGeneralFailure, {}, 0)) break;
                continue;
            }
            // Answered once the handheld has bytes; a PC that gives up closes the connection.
            Bytes bytes;
            bool closed = false;
            {
                std::unique_lock lock(mutex_);
                while (outbound_.empty() && !stop_ && !gone_) {
                    lock.unlock();
                    closed = PeerClosed(c.fd);
                    lock.lock();
                    if (closed) break;
                    changed_.wait_for(lock, std::chrono::milliseconds(kSliceMs));
                }
                if (closed || stop_ || gone_) break;
                Bytes& front = outbound_.front();
                std::size_t take = std::min<std::size_t>(count, front.size() - outbound_offset_);
                bytes.assign(front.begin() + static_cast<long>(outbound_offset_),
                             front.begin() + static_cast<long>(outbound_offset_ + take));
                outbound_offset_ += take;
                if (outbound_offset_ >= front.size()) {
                    outbound_.pop_front();
                    outbound_offset_ = 0;
                }
                changed_.notify_all();
            }
            if (!Reply(c, kind, 0, bytes, static_cast<std::uint32_t>(bytes.size()))) break;
        } else {
            if (!Reply(c, kind, kGeneralFailure, {}, 0)) break;
        }
    }
    ::close(c.fd);
    std::lock_guard lock(mutex_);
    connections_.erase(std::remove(connections_.begin(), connections_.end(), connection), connections_.end());
    --active_;
    changed_.notify_all();
}

bool UsbDriver::PushOutbound(Bytes unit, std::size_t limit, int timeout_ms, const std::atomic<bool>* cancel) {
    std::unique_lock lock(mutex_);
    const bool room = changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
        return stop_ || gone_ || (cancel != nullptr && cancel->load()) || outbound_.size() < limit;
    });
    if (!room || stop_ || gone_ || (cancel != nullptr && cancel->load())) return false;
    outbound_.push_back(std::move(unit));
    changed_.notify_all();
    return true;
}

void UsbDriver::ClearOutbound() {
    std::lock_guard lock(mutex_);
    outbound_.clear();
    outbound_offset_ = 0;
    changed_.notify_all();
}

bool UsbDriver::PushInbound(Bytes unit) {
    std::lock_guard lock(mutex_);
    if (stop_ || gone_) return false;
    inbound_.push_back(std::move(unit));
    changed_.notify_all();
    return true;
}

bool UsbDriver::TakeInbound(Bytes& unit, int timeout_ms, const std::atomic<bool>* cancel) {
    std::unique_lock lock(mutex_);
    auto ready = [&] { return stop_ || gone_ || (cancel != nullptr && cancel->load()) || !inbound_.empty(); };
    if (timeout_ms < 0) {
        changed_.wait(lock, ready);
    } else if (!changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), ready)) {
        return false;
    }
    if (stop_ || gone_ || (cancel != nullptr && cancel->load()) || inbound_.empty()) return false;
    unit = std::move(inbound_.front());
    inbound_.pop_front();
    return true;
}

void UsbDriver::ClearInbound() {
    std::lock_guard lock(mutex_);
    inbound_.clear();
}

}  // namespace hhsim
