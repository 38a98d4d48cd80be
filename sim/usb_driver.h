// The handheld's USB driver as the PC sees it on Linux: one Unix domain socket per interface in a
// folder, speaking the "USB stand-in protocol" described in linklib/platform/usb.h (that comment is the
// protocol's one description; this side is written from it, sharing no code with the library).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/core.h"

namespace hhsim {

class UsbDriver {
  public:
    // The pipe or device a connection opened, and what its control requests and writes do.  Each
    // returns the status of the reply (0 done).
    struct Handlers {
        std::function<std::uint32_t(const std::string& pipe)> open;
        std::function<std::uint32_t(const std::string& pipe, std::uint32_t code, const Bytes& input,
                                    Bytes& output, std::uint32_t room)>
            control;
        std::function<std::uint32_t(const std::string& pipe, const Bytes& bytes)> write;
        std::function<bool(const std::string& pipe)> may_read;  // false: the read is refused at once
    };

    UsbDriver(Handlers handlers, std::function<void(const std::string&)> event);
    ~UsbDriver();

    bool Start(const std::filesystem::path& dir, const std::vector<std::string>& interfaces,
               std::string* error);
    void Stop();
    void Unplug();  // sockets removed, every connection cut
    bool Gone() const { return gone_.load(); }
    bool Stopping() const { return stop_.load(); }

    // The bytes the handheld has for the PC's reads, a unit at a time (a block, a packet).  Waits while
    // `limit` units are queued, at most `timeout_ms`; false when stopped, unplugged, timed out or
    // `cancel` turned true.
    bool PushOutbound(Bytes unit, std::size_t limit, int timeout_ms, const std::atomic<bool>* cancel);
    void ClearOutbound();
    // The next read fails with the general failure (the handheld has nothing it could send).
    void FailNextRead() { fail_next_read_.store(true); }

    // What the PC wrote, a unit at a time; waits up to `timeout_ms` (< 0: no limit).
    bool PushInbound(Bytes unit);
    bool TakeInbound(Bytes& unit, int timeout_ms, const std::atomic<bool>* cancel);
    void ClearInbound();

  private:
    struct Connection;
    void AcceptLoop();
    void Serve(std::shared_ptr<Connection> connection);
    bool ReadRequest(Connection& c, std::uint32_t header[4], Bytes& payload);
    bool Reply(Connection& c, std::uint32_t kind, std::uint32_t status, const Bytes& payload,
               std::uint32_t count);
    bool PeerClosed(int fd);

    Handlers handlers_;
    std::function<void(const std::string&)> event_;
    std::vector<std::filesystem::path> sockets_;
    std::vector<int> listeners_;
    int wake_[2] = {-1, -1};
    std::atomic<bool> stop_{false};
    std::atomic<bool> gone_{false};
    std::atomic<bool> fail_next_read_{false};
    std::thread acceptor_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::shared_ptr<Connection>> connections_;
    int active_ = 0;  // connections being served
    std::deque<Bytes> outbound_;
    std::size_t outbound_offset_ = 0;  // bytes of the front unit already read
    std::deque<Bytes> inbound_;
};

}  // namespace hhsim
