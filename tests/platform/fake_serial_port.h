// A stand-in for the system's serial port: every write is answered with bytes the test chooses,
// optionally flagged as having come with a line error (a break arrives as a 0x00 byte together with
// the driver's break count), and waits last no longer than the test's short time-outs.  Its device can
// be made to go away under the open port.  Beside it, a recorder of the opens of the system's port.
#pragma once

#include <algorithm>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
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
        std::lock_guard lock(mutex_);
        ++opens_;
        open_ = true;
        dead_ = hung_up_ = false;
        input_.clear();
        return true;
    }
    void Close() override { open_ = false; }
    // The device goes away under the open port: writes fail and nothing more comes until the next
    // Open.  `seen_at_once`: the port shows the hang-up at once; else only once a write met it (an I/O
    // error that no status shows beforehand).
    void HangUp(bool seen_at_once) {
        std::lock_guard lock(mutex_);
        dead_ = true;
        hung_up_ = seen_at_once;
    }
    bool HungUp() override {
        std::lock_guard lock(mutex_);
        return hung_up_;
    }
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
        if (dead_) {
            hung_up_ = true;
            return 0;
        }
        input_.insert(input_.end(), script_->answer.begin(), script_->answer.end());
        if (script_->line_error) error_ = true;
        return size;
    }
    int writes() const { return writes_; }
    int opens() const { return opens_; }

  private:
    std::shared_ptr<Script> script_;
    std::mutex mutex_;
    std::deque<uint8_t> input_;
    bool error_ = false;
    bool open_ = false;
    bool dead_ = false;
    bool hung_up_ = false;
    int writes_ = 0;
    int opens_ = 0;
};

// The system's serial port, keeping a record of every open: the device, the rate and whether it
// opened.  The record outlives the port (the line owns the port, the test keeps the record).
class RecordingSerialPort final : public platform::SerialPort {
  public:
    struct OpenRecord {
        std::string device;
        uint32_t rate = 0;
        bool opened = false;
        bool operator==(const OpenRecord&) const = default;
    };
    using Record = std::vector<OpenRecord>;
    explicit RecordingSerialPort(std::shared_ptr<Record> record)
        : record_(std::move(record)), port_(platform::MakeSerialPort()) {}

    bool Open(const std::string& device, uint32_t rate) override {
        const bool opened = port_->Open(device, rate);
        record_->push_back({device, rate, opened});
        return opened;
    }
    void Close() override { port_->Close(); }
    bool IsOpen() const override { return port_->IsOpen(); }
    bool SetBaudRate(uint32_t rate) override { return port_->SetBaudRate(rate); }
    size_t QueuedBytes() override { return port_->QueuedBytes(); }
    bool TakeLineErrors() override { return port_->TakeLineErrors(); }
    bool HungUp() override { return port_->HungUp(); }
    void Purge() override { port_->Purge(); }
    size_t ReadAvailable(uint8_t* buffer, size_t size) override { return port_->ReadAvailable(buffer, size); }
    bool WaitReadable(uint32_t timeout_ms, const std::atomic<bool>* stop) override {
        return port_->WaitReadable(timeout_ms, stop);
    }
    size_t Write(const uint8_t* data, size_t size, uint32_t timeout_ms) override {
        return port_->Write(data, size, timeout_ms);
    }

  private:
    std::shared_ptr<Record> record_;
    std::unique_ptr<platform::SerialPort> port_;
};

}  // namespace tarvix::fakes
