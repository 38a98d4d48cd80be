// A stand-in for the system's serial port: every write is answered with bytes the test chooses,
// optionally flagged as having come with a line error (a break arrives as a 0x00 byte together with
// the driver's break count), and waits last no longer than the test's short time-outs.
#pragma once

#include <algorithm>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/serial.h"

namespace tarvix::fakes {

class FakeSerialPort final : public platform::SerialPort {
  public:
    struct Script {
        std::vector<uint8_t> answer;  // what the far end sends after each write
        bool line_error = false;      // the answer comes with a break (or a framing error)
    };
    // The script outlives the port: the line owns the port, the test keeps the script.
    explicit FakeSerialPort(std::shared_ptr<Script> script) : script_(std::move(script)) {}

    bool Open(const std::string&, uint32_t) override {
        open_ = true;
        return true;
    }
    void Close() override { open_ = false; }
    bool IsOpen() const override { return open_; }
    bool SetBaudRate(uint32_t) override { return true; }
    size_t QueuedBytes() override {
        std::lock_guard lock(mutex_);
        return input_.size();
    }
    bool TakeLineErrors() override {
        std::lock_guard lock(mutex_);
        return std::exchange(error_, false);
    }
    void Purge() override {
        std::lock_guard lock(mutex_);
        input_.clear();
    }
    size_t ReadAvailable(uint8_t* buffer, size_t size) override {
        std::lock_guard lock(mutex_);
        const size_t n = std::min(size, input_.size());
        std::copy_n(input_.begin(), n, buffer);
        input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(n));
        return n;
    }
    bool WaitReadable(uint32_t timeout_ms, const std::atomic<bool>*) override {
        if (QueuedBytes() > 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min<uint32_t>(timeout_ms, 20)));
        return QueuedBytes() > 0;
    }
    size_t Write(const uint8_t*, size_t size, uint32_t) override {
        std::lock_guard lock(mutex_);
        ++writes_;
        input_.insert(input_.end(), script_->answer.begin(), script_->answer.end());
        if (script_->line_error) error_ = true;
        return size;
    }
    int writes() const { return writes_; }

  private:
    std::shared_ptr<Script> script_;
    std::mutex mutex_;
    std::deque<uint8_t> input_;
    bool error_ = false;
    bool open_ = false;
    int writes_ = 0;
};

}  // namespace tarvix::fakes
