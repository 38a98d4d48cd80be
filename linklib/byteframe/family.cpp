// The byte-frame family's link and raw input and output, and its start and stop.
#include <atomic>
#include <chrono>
#include <system_error>

#include "byteframe/byteframe.h"
#include "byteframe/operations.h"
#include "byteframe/transfer_status.h"
#include "byteframe/worker.h"
#include "common/codes.h"
#include "common/lasting.h"
#include "common/worker_gate.h"

namespace tarvix::bf {

namespace {

Protocol& P() {
    return Proto();
}

WorkerGate& Gate() {
    static Lasting<WorkerGate> gate;
    return *gate;
}

std::atomic<bool> g_fail_next_start{false};

// A raw call on the serial port that the caller opened with ComInit and keeps open from call to call.
// Its device may have gone away meanwhile (an adapter pulled and plugged in again, a handheld
// restarted), which leaves the port hung up for good: the same device is opened again at the same
// rate, once per call, before the call when the port shows it.  A command block that got no answer
// that way goes once more after the reopen, to the device that is there now (a stopped one never goes
// again); data sent or awaited belonged to an exchange with the device that went away, so such a
// call's failure stands, and the next call finds the fresh port.
enum class AfterFailure { Stands, SendAgain };

template <typename Call>
int32_t OnKeptPort(AfterFailure after, Call&& call) {
    Line& line = P().line();
    const int32_t before = line.ReopenIfHungUp();
    int32_t result = call();
    if (after == AfterFailure::SendAgain && before == 0 && result == kNoAnswer &&
        line.ReopenIfHungUp() == 1) {
        result = call();
    }
    return result;
}

}  // namespace

bool LaunchWorker(std::function<void()> body) {
    SetStatusValue(StatusBusy);
    try {
        if (g_fail_next_start.exchange(false))
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        Gate().Launch(std::move(body));
        return true;
    } catch (...) {
        // Without a worker nothing would ever leave StatusBusy.
        SetError(ErrModuleCall, true);
        return false;
    }
}

void StopWorker(unsigned limit_ms) {
    StopWorkers();
    WaitWorkers(std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms));
}

void FailNextWorkerStart() {
    g_fail_next_start.store(true);
}

void Attach() {}

void Detach() {
    StopWorker(2000);
}

void StopWorkers() {
    // Only a running worker clears the flag again: with none, a raised flag would stop the next start.
    if (!Gate().WaitIdle(std::chrono::steady_clock::now())) g_stop_flag.store(true);
}

bool WaitWorkers(std::chrono::steady_clock::time_point deadline) {
    return Gate().WaitIdle(deadline);
}

bool OnWorkerThread() {
    return Gate().OnWorker();
}

int32_t ByteFrame::ReceiveByte(uint8_t* byte) {
    if (byte == nullptr) return 1;
    return OnKeptPort(AfterFailure::Stands, [&] { return P().line().ReceiveByte(byte); });
}

int32_t ByteFrame::SendByte(uint8_t byte) {
    return OnKeptPort(AfterFailure::Stands, [&] { return P().line().SendByte(byte); });
}

int32_t ByteFrame::ComInit(int32_t port, int32_t rate) {
    return P().line().ComInit(port, rate);
}

int32_t ByteFrame::ComRelease() {
    return P().line().ComRelease();
}

int32_t ByteFrame::IsComInited() {
    return P().line().IsComInited();
}

int32_t ByteFrame::SendData(const uint8_t* data, uint32_t length) {
    if (data == nullptr && length != 0) {
        SetErrorCode(ErrBadParam);
        return kNoAnswer;
    }
    // A length that came in negative would send whatever lies behind the caller's buffer (over USB
    // nothing else stops it).
    if (length > 0x7FFFFFFFu) {
        SetErrorCode(ErrBadLength);
        return kNoAnswer;
    }
    return OnKeptPort(AfterFailure::Stands, [&] { return P().SendData(data, length); });
}

int32_t ByteFrame::ReceiveData(uint8_t* buffer, uint32_t size, int32_t* received) {
    int32_t scratch = 0;
    if (received == nullptr) received = &scratch;
    if (buffer == nullptr && size != 0) {
        *received = 0;
        SetErrorCode(ErrBadParam);
        return kNoAnswer;
    }
    return OnKeptPort(AfterFailure::Stands, [&] { return P().ReceiveData(buffer, size, received); });
}

int32_t ByteFrame::HcSetExitTime(uint32_t answer_ms, uint32_t byte_ms) {
    return P().HcSetExitTime(answer_ms, byte_ms);
}

int32_t ByteFrame::SendCommandBlock(uint8_t command, uint8_t sub_command, uint8_t value) {
    return OnKeptPort(AfterFailure::SendAgain,
                      [&] { return P().SendCommandBlock(command, sub_command, value); });
}

int32_t ByteFrame::SendUsbCommand(uint8_t command, uint8_t sub_command, const uint8_t* data,
                                  uint16_t length) {
    return Usb().SendCommand(command, sub_command, data, length);
}

int32_t ByteFrame::UpdateCount(uint8_t reset) {
    return P().UpdateCount(reset);
}

}  // namespace tarvix::bf
