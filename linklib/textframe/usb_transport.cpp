#include "textframe/usb_transport.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "api/link_state.h"
#include "common/lasting.h"
#include "common/records.h"
#include "platform/usb.h"
#include "textframe/frame_transfer.h"
#include "textframe/textframe.h"
#include "textframe/timing.h"
#include "textframe/workers.h"

namespace tarvix::tf {
namespace {

namespace usb = platform::usb;

// Results of one request or block.
enum Step : int {
    kStepDone = 0,
    kStepGone = 1,
    kStepRefused = 2,
    kStepOther = 3,
    kStepWrite = 4,
    kStepRead = 5,
    kStepStopped = 6
};
// Results of a transfer.
enum Result : uint8_t {
    kDone = 0,
    kFailure = 1,
    kNoDevice = 2,
    kTooLong = 3,
    kFileFailed = 4,
    kStopped = 6,
    kRunning = 7
};

constexpr size_t kRequestSize = 24;

class BlockTransport final : public UsbTransport {
  public:
    void Setup() override {
        std::lock_guard lock(mutex_);
        buffer_ = std::make_unique<uint8_t[]>(kUsbBlockSize);
        ResetDevice();
    }

    void Teardown() override {
        std::lock_guard lock(mutex_);
        device_.reset();
        buffer_.reset();
    }

    bool SendMemory(const uint8_t* data, uint32_t size, uint32_t* moved) override {
        Source s;
        s.memory_in = data;
        return Run(s, size, true, false, moved);
    }
    bool ReceiveMemory(uint8_t* buffer, uint32_t size, uint32_t* moved) override {
        Source s;
        s.memory_out = buffer;
        return Run(s, size, false, false, moved);
    }
    bool SendStream(platform::File& file, uint32_t size, uint32_t* moved) override {
        Source s;
        s.file = &file;
        return Run(s, size, true, true, moved);
    }
    bool ReceiveStream(platform::File& file, uint32_t size, uint32_t* moved) override {
        Source s;
        s.file = &file;
        return Run(s, size, false, true, moved);
    }

    int32_t Percent() override {
        const uint32_t count = block_count_.load(), number = number_.load();
        if (count == 0 || number == 0) return 0;
        if (number == kUsbLastBlock) return static_cast<int32_t>((count - 1) * 100 / count);
        // A handheld that sends more blocks than announced must not show more than done.
        return static_cast<int32_t>(std::min<uint64_t>(number - 1, count - 1) * 100 / count);
    }

    void Stop() override { stop_.store(true); }
    bool StopRequested() const override { return stop_.load(); }
    void ClearStop() override { stop_.store(false); }

    uint8_t LastResult() const { return last_result_.load(); }

  private:
    struct Source {
        const uint8_t* memory_in = nullptr;
        uint8_t* memory_out = nullptr;
        platform::File* file = nullptr;
    };

    // Opens the first interface of `guid` that opens.
    std::unique_ptr<usb::Handle> FindInterface(const char* guid) {
        for (const std::string& path : usb::FindInterfaces(guid)) {
            if (auto handle = usb::Open(path)) {
                device_path_ = path;
                return handle;
            }
        }
        return nullptr;
    }

    // Opens the device, the interface of the variant in force first; DeviceKind follows the one found.
    bool OpenDevice() {
        device_.reset();
        const bool kind3 = DeviceKind == 3;
        if ((device_ = FindInterface(kind3 ? kUsbInterfaceKind3 : kUsbInterfaceKind4))) return true;
        if ((device_ = FindInterface(kind3 ? kUsbInterfaceKind4 : kUsbInterfaceKind3))) {
            DeviceKind = kind3 ? 4 : 3;
            return true;
        }
        return false;
    }

    int Control(uint32_t code, uint32_t request, bool watch_stop) {
        uint8_t input[kRequestSize] = {};
        PutLe32(input, request);
        if (watch_stop && stop_.load()) return kStepStopped;
        uint32_t returned = 0;
        if (device_ != nullptr && device_->Control(code, input, sizeof input, nullptr, 0, &returned))
            return kStepDone;
        const uint32_t error = device_ != nullptr ? device_->LastError() : usb::kDeviceNotConnected;
        if (error == usb::kGenFailure) return kStepRefused;  // no retries are allowed
        if (error == usb::kDeviceNotConnected || error == usb::kAccessDenied) return kStepGone;
        return kStepOther;
    }

    void Abort() {
        // A read given up (stopped) leaves its handle unusable: the abort goes on a fresh one.
        if (Control(kUsbRequestControl, kUsbAbortRequest, false) == kStepGone && !device_path_.empty()) {
            if ((device_ = usb::Open(device_path_))) Control(kUsbRequestControl, kUsbAbortRequest, false);
        }
    }

    void ResetDevice() {
        if (!OpenDevice()) return;
        uint8_t zero[kRequestSize] = {};
        uint32_t returned = 0;
        if (device_->Control(kUsbResetControl, zero, sizeof zero, nullptr, 0, &returned)) {
            Control(kUsbRequestControl, kUsbResetRequest, false);
        }
    }

    static int IoFailure(uint32_t error, int other) {
        return error == usb::kDeviceNotConnected || error == usb::kAccessDenied ? kStepGone : other;
    }

    int WriteBlock(bool watch_stop) {
        int r = Control(kUsbRequestControl, kUsbWriteRequest, watch_stop);
        if (r != kStepDone) {
            if (r == kStepStopped) Abort();
            return r;
        }
        size_t written = 0;
        if (!device_->Write(buffer_.get(), kUsbBlockSize, &written))
            return IoFailure(device_->LastError(), kStepWrite);
        return written == kUsbBlockSize ? kStepDone : kStepWrite;
    }

    int ReadBlock(bool watch_stop) {
        int r = Control(kUsbRequestControl, kUsbReadRequest, watch_stop);
        if (r != kStepDone) {
            if (r == kStepStopped) Abort();
            return r;
        }
        // One block's wait is bounded in bytes (the read asks for one 4096-byte block, a longer reply
        // fails it) and in time (the driver's reply time-out of the USB layer: the handheld's driver
        // has no time-out of its own that the library could go by; and the limit of the exchanges in
        // hand, when one is set).  What bounds a whole reply or file is its size: no block beyond it
        // is taken.
        if (DeadlinePassed()) return kStepRead;
        const uint32_t wait = WaitWithinDeadline(usb::ReplyTimeoutMs());
        size_t read = 0;
        if (!device_->Read(buffer_.get(), kUsbBlockSize, &read, wait, watch_stop ? &stop_ : nullptr)) {
            if (watch_stop && stop_.load()) {
                Abort();
                return kStepStopped;
            }
            return IoFailure(device_->LastError(), kStepRead);
        }
        // A short block leaves stale bytes of the buffer in its place: not taken.
        return read == kUsbBlockSize ? kStepDone : kStepRead;
    }

    void SetResult(uint8_t result) {
        if (result_ == kRunning) result_ = result;
    }

    bool BlockStep(int step) {
        if (step == kStepDone) return true;
        SetResult(step == kStepGone ? kNoDevice : step == kStepStopped ? kStopped : kFailure);
        return false;
    }

    bool Run(Source source, uint32_t length, bool sending, bool file_transfer, uint32_t* moved) {
        if (moved != nullptr) *moved = 0;
        std::lock_guard lock(mutex_);
        result_ = kRunning;
        if (buffer_ == nullptr || !OpenDevice()) {
            // Without the block buffer nothing can move: the device counts as missing.
            result_ = kNoDevice;
            last_result_.store(result_);
            device_.reset();
            return false;
        }
        // Begin.
        number_.store(1);
        block_count_.store(0);
        // A background operation keeps its stop request across its transfers: one that arrived
        // before this transfer ends it at its first announcement.
        if (!StopHeld()) stop_.store(false);
        uint32_t remaining = length;
        uint64_t bytes_moved = 0;
        if (source.file != nullptr) {
            if (sending) {
                const auto size = source.file->Size();
                const int64_t position = source.file->Tell();
                uint64_t available = size && position >= 0 && *size > static_cast<uint64_t>(position)
                                         ? *size - static_cast<uint64_t>(position)
                                         : 0;
                available = std::min<uint64_t>(available, 0xFFFFFFFEu);
                remaining = length == 0 ? static_cast<uint32_t>(available)
                                        : static_cast<uint32_t>(std::min<uint64_t>(available, length));
                if (length != 0) block_count_.store((remaining + kUsbPayloadSize - 1) / kUsbPayloadSize);
            } else {
                // A file receive takes the announced size and no more (0: only an empty last
                // block); a block beyond it fails the transfer after the abort request.
                block_count_.store(
                    static_cast<uint32_t>((uint64_t{length} + kUsbPayloadSize - 1) / kUsbPayloadSize));
            }
        }
        uint8_t* const block = buffer_.get();
        uint32_t number = 1;
        for (;;) {
            // Next block.
            if (number == kUsbLastBlock) break;
            uint32_t block_length = std::min(remaining, kUsbPayloadSize);
            if (sending) {
                if (remaining <= kUsbPayloadSize) number = kUsbLastBlock;
                PutLe32(block, number);
                PutLe32(block + 4, block_length);
                if (source.file != nullptr) {
                    if (source.file->Read(block + 8, block_length) != block_length) {
                        Abort();
                        SetResult(kFileFailed);
                        break;
                    }
                } else if (block_length > 0) {
                    std::memcpy(block + 8, source.memory_in + bytes_moved, block_length);
                }
                if (!BlockStep(WriteBlock(file_transfer))) break;
                if (source.file == nullptr) AddUpdateCount();
                // End of the block.
                if (number == kUsbLastBlock) {
                    SetResult(kDone);
                } else {
                    ++number;
                }
            } else {
                if (!BlockStep(ReadBlock(file_transfer))) break;
                const UsbBlockVerdict received = ReadUsbBlock(block, block_length);
                const uint32_t deliver = received.deliver;
                switch (received.kind) {
                    case UsbBlockVerdict::TooLong:
                        Abort();
                        number = kUsbLastBlock;
                        SetResult(kTooLong);
                        break;
                    case UsbBlockVerdict::Last:
                        number = kUsbLastBlock;
                        SetResult(kDone);
                        break;
                    case UsbBlockVerdict::EmptyNotLast:
                        Abort();
                        number = kUsbLastBlock;
                        SetResult(kFailure);
                        break;
                    case UsbBlockVerdict::Next:
                        ++number;
                        break;
                }
                if (source.file != nullptr) {
                    if (source.file->Write(block + 8, deliver) != deliver) {
                        Abort();
                        number = kUsbLastBlock;
                        SetResult(kFileFailed);
                    }
                } else if (deliver > 0) {
                    std::memcpy(source.memory_out + bytes_moved, block + 8, deliver);
                }
                block_length = deliver;
            }
            number_.store(number);
            remaining -= std::min(remaining, block_length);
            bytes_moved += block_length;
        }
        if (moved != nullptr) *moved = static_cast<uint32_t>(bytes_moved);
        SetResult(kFailure);  // a loop that ended without a verdict failed
        const bool ok = result_ == kDone;
        last_result_.store(result_);
        // End.
        block_count_.store(0);
        number_.store(0);
        if (!StopHeld()) stop_.store(false);
        device_.reset();
        return ok;
    }

    std::mutex mutex_;  // one transfer at a time
    std::unique_ptr<uint8_t[]> buffer_;
    std::unique_ptr<usb::Handle> device_;
    std::string device_path_;
    std::atomic<bool> stop_{false};
    std::atomic<uint32_t> number_{0};
    std::atomic<uint32_t> block_count_{0};
    uint8_t result_ = kDone;
    std::atomic<uint8_t> last_result_{kDone};
};

// Built on first use and not destroyed by the static destructors: the library's start and stop
// notifications may run before and after this file's static objects.
BlockTransport& BuiltIn() {
    static Lasting<BlockTransport> transport;
    return *transport;
}

std::atomic<UsbTransport*> g_usb{nullptr};

}  // namespace

UsbBlockVerdict ReadUsbBlock(const uint8_t* block, uint32_t expected) {
    UsbBlockVerdict v;
    v.number = GetLe32(block);
    v.payload = GetLe32(block + 4);
    v.deliver = std::min(expected, v.payload);
    if (v.payload > expected) {
        v.kind = UsbBlockVerdict::TooLong;
    } else if (v.number == kUsbLastBlock) {
        v.kind = UsbBlockVerdict::Last;
    } else if (v.payload == 0) {
        // An empty block that is not the last would let the handheld hold the transfer forever.
        v.kind = UsbBlockVerdict::EmptyNotLast;
    } else {
        v.kind = UsbBlockVerdict::Next;
    }
    return v;
}

UsbTransport& Usb() {
    UsbTransport* usb = g_usb.load();
    return usb != nullptr ? *usb : BuiltIn();
}

void SetUsbTransport(UsbTransport* transport) {
    g_usb.store(transport);
}

uint8_t LastUsbTransferResult() {
    return BuiltIn().LastResult();
}

}  // namespace tarvix::tf
