// Serial ports on Windows: "\\.\COMn" opened exclusively for synchronous I/O, 8N1 without flow
// control, DTR on and RTS off.  Reads never block in the driver (interval time-out MAXDWORD); a wait
// for input looks at the driver's input queue in short sleeps against a deadline and the stop flag.
#include <windows.h>

#include <atomic>
#include <string>

#include "platform/serial.h"

namespace tarvix::platform {
namespace {

constexpr DWORD kPollMs = 1;  // pause between two looks at the input queue
// A break counts too: it arrives as a 0x00 byte that must never pass for data.
constexpr DWORD kLineErrors = CE_FRAME | CE_RXPARITY | CE_OVERRUN | CE_RXOVER | CE_BREAK;

bool SupportedRate(uint32_t baud) {
    switch (baud) {
        case 1200:
        case 2400:
        case 4800:
        case 9600:
        case 19200:
        case 38400:
        case 57600:
        case 115200:
        case 230400:
            return true;
        default:
            return false;
    }
}

// Errors of a read or a write on a port whose device is gone (a failed status query is taken as that
// whatever its error, see Status): a USB-serial adapter pulled out answers its open handle
// with one of these (which one depends on the driver) until the handle is closed; a handle that no
// longer names a device, or a virtual port whose other end closed, says so the same way.  A write
// that timed out (ERROR_SEM_TIMEOUT, ERROR_COUNTER_TIMEOUT) is not among them: the device is there,
// only slow.
constexpr DWORD kErrorNoSuchDevice = 433;  // ERROR_NO_SUCH_DEVICE, which not every SDK's headers name

bool DeviceGone(DWORD error) {
    switch (error) {
        case ERROR_BAD_COMMAND:
        case ERROR_ACCESS_DENIED:
        case ERROR_OPERATION_ABORTED:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_INVALID_HANDLE:
        case ERROR_GEN_FAILURE:
        case ERROR_NOT_READY:
        case ERROR_DEV_NOT_EXIST:
        case kErrorNoSuchDevice:
        case ERROR_DEVICE_REMOVED:
        case ERROR_BROKEN_PIPE:
            return true;
        default:
            return false;
    }
}

void BuildDcb(DCB* dcb, uint32_t baud) {
    *dcb = DCB{};
    dcb->DCBlength = sizeof(DCB);
    dcb->BaudRate = baud;
    dcb->fBinary = 1;
    dcb->fDtrControl = DTR_CONTROL_ENABLE;
    dcb->fRtsControl = RTS_CONTROL_DISABLE;
    dcb->ByteSize = 8;
    dcb->Parity = NOPARITY;
    dcb->StopBits = ONESTOPBIT;
    dcb->XonChar = 0x11;
    dcb->XoffChar = 0x13;
}

class WindowsSerialPort final : public SerialPort {
  public:
    explicit WindowsSerialPort(uint32_t queue_bytes) : queue_bytes_(queue_bytes) {}
    ~WindowsSerialPort() override { Close(); }

    bool Open(const std::string& device, uint32_t baud_rate) override {
        Close();
        if (device.empty() || !SupportedRate(baud_rate)) return false;
        HANDLE h =
            CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) return false;
        DCB dcb;
        BuildDcb(&dcb, baud_rate);
        COMMTIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = MAXDWORD;  // a read returns at once with what is queued
        timeouts.WriteTotalTimeoutMultiplier = 2;
        timeouts.WriteTotalTimeoutConstant = 1000;
        if (!SetCommState(h, &dcb) || !SetupComm(h, queue_bytes_, queue_bytes_) ||
            !SetCommTimeouts(h, &timeouts)) {
            CloseHandle(h);
            return false;
        }
        write_timeout_ = timeouts.WriteTotalTimeoutConstant;
        PurgeComm(h, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
        handle_ = h;
        DWORD errors = 0;
        ClearCommError(handle_, &errors, nullptr);  // errors from before the open are not ours
        line_errors_ = false;
        hung_up_.store(false);
        return true;
    }

    void Close() override {
        if (handle_ == INVALID_HANDLE_VALUE) return;
        // Unread input goes; output already written is protocol data the other end must still get.
        PurgeComm(handle_, PURGE_RXABORT | PURGE_RXCLEAR);
        CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }

    bool IsOpen() const override { return handle_ != INVALID_HANDLE_VALUE; }

    bool HungUp() override {
        // A status query finds a device that went away without reading anything.
        if (IsOpen() && !hung_up_.load()) {
            COMSTAT stat{};
            Status(&stat);
        }
        return hung_up_.load();
    }

    bool SetBaudRate(uint32_t baud_rate) override {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!IsOpen() || !SupportedRate(baud_rate) || !GetCommState(handle_, &dcb)) return false;
        dcb.BaudRate = baud_rate;
        return SetCommState(handle_, &dcb) != 0;
    }

    size_t QueuedBytes() override {
        COMSTAT stat{};
        if (!Status(&stat)) return 0;
        return stat.cbInQue;
    }

    bool TakeLineErrors() override {
        COMSTAT stat{};
        Status(&stat);
        const bool errors = line_errors_;
        line_errors_ = false;
        return errors;
    }

    void Purge() override {
        // Stale input goes; bytes written are never taken back, they are already on their way.
        if (!IsOpen()) return;
        COMSTAT stat{};
        Status(&stat);
        PurgeComm(handle_, PURGE_RXABORT | PURGE_RXCLEAR);
    }

    size_t ReadAvailable(uint8_t* buffer, size_t size) override {
        if (!IsOpen() || size == 0) return 0;
        DWORD read = 0;
        const DWORD wanted = size > 0x10000 ? 0x10000 : static_cast<DWORD>(size);
        if (!ReadFile(handle_, buffer, wanted, &read, nullptr)) {
            NoteFailure(GetLastError());
            return 0;
        }
        return read;
    }

    bool WaitReadable(uint32_t timeout_ms, const std::atomic<bool>* stop) override {
        if (!IsOpen() || hung_up_.load()) return false;
        const DWORD start = GetTickCount();
        for (;;) {
            if (stop != nullptr && stop->load()) return false;
            COMSTAT stat{};
            const bool known = Status(&stat);
            if (known && stat.cbInQue > 0) return true;
            // Unsigned difference: a wrap of the tick counter does no harm.
            const DWORD spent = GetTickCount() - start;
            if (spent >= timeout_ms) return false;
            if (!known) return false;  // the device is gone (HungUp tells the caller)
            Sleep(kPollMs);
        }
    }

    size_t Write(const uint8_t* data, size_t size, uint32_t timeout_ms) override {
        if (!IsOpen()) return 0;
        if (timeout_ms != write_timeout_) {
            COMMTIMEOUTS timeouts{};
            if (GetCommTimeouts(handle_, &timeouts)) {
                timeouts.WriteTotalTimeoutMultiplier = 0;
                timeouts.WriteTotalTimeoutConstant = timeout_ms;
                if (SetCommTimeouts(handle_, &timeouts)) write_timeout_ = timeout_ms;
            }
        }
        COMSTAT stat{};
        Status(&stat);  // a pending line error would hold up the write
        size_t written = 0;
        const DWORD start = GetTickCount();
        while (written < size) {
            DWORD n = 0;
            const size_t left = size - written;
            const DWORD chunk = left > 0x10000 ? 0x10000 : static_cast<DWORD>(left);
            if (!WriteFile(handle_, data + written, chunk, &n, nullptr)) {
                NoteFailure(GetLastError());
                break;
            }
            written += n;
            if (n == 0 && GetTickCount() - start >= timeout_ms) break;
            if (n == 0) Sleep(kPollMs);
        }
        return written;
    }

  private:
    // ClearCommError: the queue counts, and any line error noted for TakeLineErrors.
    bool Status(COMSTAT* stat) {
        DWORD errors = 0;
        if (!IsOpen()) return false;
        if (!ClearCommError(handle_, &errors, stat)) {
            // The driver no longer knows the port (unplugged or gone), whatever error it gives: a port
            // whose state cannot be read is of no use until it is opened again, and a wait for input
            // that cannot look at the queue must end as for a hang-up instead of looking again at once.
            hung_up_.store(true);
            return false;
        }
        if (errors & kLineErrors) line_errors_ = true;
        return true;
    }

    void NoteFailure(DWORD error) {
        if (DeviceGone(error)) hung_up_.store(true);
    }

    const DWORD queue_bytes_;  // input and output queue asked of the driver
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    DWORD write_timeout_ = 0;
    bool line_errors_ = false;
    std::atomic<bool> hung_up_{false};
};

}  // namespace

std::string ComDevicePath(int n, const std::string&) {
    // The device namespace form reaches COM10 and above as well, which the bare "COMn" does not.
    if (n < 1 || n > kMaxComPort) return "";
    return "\\\\.\\COM" + std::to_string(n);
}

std::unique_ptr<SerialPort> MakeSerialPort(uint32_t queue_bytes) {
    return std::make_unique<WindowsSerialPort>(queue_bytes);
}

}  // namespace tarvix::platform
