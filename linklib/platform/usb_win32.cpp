// USB devices on Windows: the handheld's drivers publish device interfaces; SetupAPI lists the present
// interfaces of an identifier, CreateFile opens an interface path (or a pipe beneath it) for
// overlapped I/O, and every request waits for its completion against a deadline and the stop flag.
#include <windows.h>

// After windows.h, whose types it uses.
#include <setupapi.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "platform/process.h"
#include "platform/usb.h"

namespace tarvix::platform::usb {
namespace {

constexpr DWORD kSliceMs = 20;                      // stop flags are looked at this often
constexpr uint32_t kTransferControl = 0x80002010u;  // its record names the descriptor by address
constexpr size_t kTransferRecordSize = 16;
constexpr size_t kTransferAddressOffset = 8;
constexpr size_t kRequestBlockSize = 4096;  // one page: far more than a transfer request

std::atomic<uint32_t> g_reply_timeout_ms{10000};

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" in any case.
bool ParseGuid(const std::string& text, GUID* guid) {
    if (text.size() != 38 || text.front() != '{' || text.back() != '}') return false;
    uint8_t bytes[16];
    size_t b = 0;
    for (size_t i = 1; i < 37;) {
        if (i == 9 || i == 14 || i == 19 || i == 24) {
            if (text[i] != '-') return false;
            ++i;
            continue;
        }
        const int hi = HexDigit(text[i]), lo = HexDigit(text[i + 1]);
        if (hi < 0 || lo < 0 || b >= sizeof bytes) return false;
        bytes[b++] = static_cast<uint8_t>(hi << 4 | lo);
        i += 2;
    }
    if (b != sizeof bytes) return false;
    // The text gives the first three fields most significant byte first.
    guid->Data1 = static_cast<unsigned long>(bytes[0]) << 24 | bytes[1] << 16 | bytes[2] << 8 | bytes[3];
    guid->Data2 = static_cast<unsigned short>(bytes[4] << 8 | bytes[5]);
    guid->Data3 = static_cast<unsigned short>(bytes[6] << 8 | bytes[7]);
    std::memcpy(guid->Data4, bytes + 8, 8);
    return true;
}

uint32_t ErrorCode(DWORD error) {
    switch (error) {
        case ERROR_SUCCESS:
            return kOk;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return kFileNotFound;
        case ERROR_ACCESS_DENIED:
            return kAccessDenied;
        case ERROR_GEN_FAILURE:
            return kGenFailure;
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_BAD_COMMAND:
        case ERROR_INVALID_HANDLE:
            return kDeviceNotConnected;
        case ERROR_SEM_TIMEOUT:
        case ERROR_TIMEOUT:
            return kTimeout;
        default:
            return kOtherFailure;
    }
}

class DeviceHandle final : public Handle {
  public:
    explicit DeviceHandle(HANDLE h) : handle_(h), event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~DeviceHandle() override {
        CloseHandle(handle_);
        if (event_ != nullptr) CloseHandle(event_);
        if (request_ != nullptr) FreeLowMemory(request_);
    }

    bool Control(uint32_t code, const uint8_t* in, size_t in_size, uint8_t* out, size_t out_size,
                 uint32_t* returned) override {
        if (returned != nullptr) *returned = 0;
        std::vector<uint8_t> copy;
        uint8_t* input = nullptr;
        if (code == kTransferControl && in_size > kTransferRecordSize) {
            // The record carries the descriptor inline, its offset in the address word: this driver
            // takes the descriptor's address there, 32 bits wide, and only the record as input.  In a
            // 64-bit process the descriptor must therefore lie in the lowest 4 GB: it goes into this
            // handle's block there, which outlives every request of the handle.
            if (in_size > kRequestBlockSize) {
                last_error_ = kOtherFailure;
                return false;
            }
            if (request_ == nullptr) request_ = static_cast<uint8_t*>(AllocateLowMemory(kRequestBlockSize));
            if (request_ == nullptr) {
                last_error_ = kOtherFailure;  // no free memory below 4 GB: the request cannot be made
                return false;
            }
            input = request_;
            std::memcpy(input, in, in_size);
            const uint32_t address =
                static_cast<uint32_t>(reinterpret_cast<uintptr_t>(input + kTransferRecordSize));
            for (int i = 0; i < 4; ++i)
                input[kTransferAddressOffset + i] = static_cast<uint8_t>(address >> (8 * i));
            in_size = kTransferRecordSize;
        } else {
            copy.assign(in, in + in_size);
            input = copy.data();
        }
        DWORD done = 0;
        if (!Run(
                [&](OVERLAPPED* o) {
                    return DeviceIoControl(handle_, code, in_size > 0 ? input : nullptr,
                                           static_cast<DWORD>(in_size), out, static_cast<DWORD>(out_size),
                                           nullptr, o);
                },
                0, nullptr, &done)) {
            return false;
        }
        if (returned != nullptr) *returned = done;
        return true;
    }

    bool Write(const uint8_t* data, size_t size, size_t* written) override {
        if (written != nullptr) *written = 0;
        DWORD done = 0;
        if (!Run(
                [&](OVERLAPPED* o) { return WriteFile(handle_, data, static_cast<DWORD>(size), nullptr, o); },
                0, nullptr, &done)) {
            return false;
        }
        if (written != nullptr) *written = done;
        return true;
    }

    bool Read(uint8_t* buffer, size_t size, size_t* read, uint32_t timeout_ms,
              const std::atomic<bool>* stop) override {
        if (read != nullptr) *read = 0;
        DWORD done = 0;
        if (!Run(
                [&](OVERLAPPED* o) {
                    return ReadFile(handle_, buffer, static_cast<DWORD>(size), nullptr, o);
                },
                timeout_ms, stop, &done)) {
            return false;
        }
        if (read != nullptr) *read = done;
        return true;
    }

    uint32_t LastError() const override { return last_error_; }

  private:
    // Starts one overlapped request and waits for it in slices until it completes, the deadline passes
    // (0: the reply time-out) or *stop becomes true; a request given up is cancelled and awaited, so
    // that the driver no longer writes into the caller's memory.
    template <typename Start>
    bool Run(Start&& start, uint32_t timeout_ms, const std::atomic<bool>* stop, DWORD* done) {
        if (event_ == nullptr) {
            last_error_ = kOtherFailure;
            return false;
        }
        OVERLAPPED o{};
        o.hEvent = event_;
        ResetEvent(event_);
        if (!start(&o) && GetLastError() != ERROR_IO_PENDING) {
            last_error_ = ErrorCode(GetLastError());
            return false;
        }
        const uint32_t limit = timeout_ms != 0 ? timeout_ms : ReplyTimeoutMs();
        const DWORD begin = GetTickCount();
        for (;;) {
            const DWORD spent = GetTickCount() - begin;
            if (WaitForSingleObject(
                    event_, spent >= limit ? 0 : (limit - spent < kSliceMs ? limit - spent : kSliceMs)) ==
                WAIT_OBJECT_0) {
                break;
            }
            if ((stop != nullptr && stop->load()) || GetTickCount() - begin >= limit) {
                CancelIo(handle_);
                GetOverlappedResult(handle_, &o, done, TRUE);  // the cancelled request ends promptly
                last_error_ = kTimeout;
                return false;
            }
        }
        if (!GetOverlappedResult(handle_, &o, done, FALSE)) {
            last_error_ = ErrorCode(GetLastError());
            return false;
        }
        last_error_ = kOk;
        return true;
    }

    HANDLE handle_;
    HANDLE event_;
    uint8_t* request_ = nullptr;  // the transfer request, below 4 GB (allocated at its first use)
    uint32_t last_error_ = kOk;
};

}  // namespace

void* AllocateLowMemory(size_t size) {
    if (size == 0) return nullptr;
    constexpr uint64_t kLimit = uint64_t{1} << 32;
#if defined(_WIN64)
    // The system places memory anywhere in a 64-bit process: walk its free regions from the bottom
    // and take the first that holds the block below 4 GB.
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    const uint64_t granularity = info.dwAllocationGranularity;
    auto align = [granularity](uint64_t a) { return (a + granularity - 1) / granularity * granularity; };
    uint64_t address = align(reinterpret_cast<uintptr_t>(info.lpMinimumApplicationAddress));
    while (address + size <= kLimit) {
        MEMORY_BASIC_INFORMATION region;
        if (VirtualQuery(reinterpret_cast<void*>(static_cast<uintptr_t>(address)), &region, sizeof region) ==
            0)
            break;
        const uint64_t end = reinterpret_cast<uintptr_t>(region.BaseAddress) + region.RegionSize;
        if (region.State == MEM_FREE && end - address >= size) {
            void* block = VirtualAlloc(reinterpret_cast<void*>(static_cast<uintptr_t>(address)), size,
                                       MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
            if (block != nullptr && reinterpret_cast<uintptr_t>(block) + size <= kLimit) return block;
            if (block != nullptr) VirtualFree(block, 0, MEM_RELEASE);
        }
        address = align(end > address ? end : address + granularity);
    }
    return nullptr;
#else
    (void)kLimit;  // every address of a 32-bit process fits
    return VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
#endif
}

void FreeLowMemory(void* block) {
    if (block != nullptr) VirtualFree(block, 0, MEM_RELEASE);
}

void SetReplyTimeoutMs(uint32_t ms) {
    g_reply_timeout_ms.store(ms);
}

uint32_t ReplyTimeoutMs() {
    return g_reply_timeout_ms.load();
}

std::vector<std::string> FindInterfaces(const std::string& guid_text) {
    std::vector<std::string> found;
    GUID guid;
    // SetupAPI may load modules and wait on services: never inside the loader's notification.  A
    // device not found there is looked for again at its first transfer.
    if (InLoaderContext() || !ParseGuid(guid_text, &guid)) return found;
    HDEVINFO set = SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return found;
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &guid, index, &data)) break;
        DWORD needed = 0;
        SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &needed, nullptr);
        if (needed < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) continue;
        std::vector<uint8_t> buffer(needed);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, needed, nullptr, nullptr)) {
            found.emplace_back(detail->DevicePath);
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return found;
}

std::unique_ptr<Handle> Open(const std::string& path, uint32_t* error) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        if (error != nullptr) *error = ErrorCode(GetLastError());
        return nullptr;
    }
    if (error != nullptr) *error = kOk;
    return std::make_unique<DeviceHandle>(h);
}

}  // namespace tarvix::platform::usb
