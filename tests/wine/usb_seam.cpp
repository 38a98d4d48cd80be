// The Windows USB service at its seam, under Wine.  No handheld driver exists there, so the device
// I/O path runs against a stand-in device the test serves itself: a named pipe opened through the
// same usb::Open (CreateFile for overlapped I/O), written, read with a deadline and a stop flag, and
// asked a device control the pipe driver answers.  Exit code 0 when every check held.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "platform/process.h"
#include "platform/usb.h"

namespace usb = tarvix::platform::usb;

namespace {

int failures = 0;

#define CHECK(cond)                                                                       \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                                   \
        }                                                                                 \
    } while (0)

// The three interface identifiers of the handheld's drivers.
const char* const kInterfaces[] = {
    "{5D490A5E-5B66-4A7C-BC31-C75DBC07B407}",
    "{F00DBC59-B2FD-4B88-AE42-4D67DC793690}",
    "{77f49320-16ef-11d2-ad51-006097b514dd}",
};

constexpr DWORD kPipePeek = 0x0011400C;  // the pipe driver's peek control: 16 bytes out

void Discovery() {
    for (const char* guid : kInterfaces) CHECK(usb::FindInterfaces(guid).empty());
    for (const char* bad :
         {"", "5D490A5E-5B66-4A7C-BC31-C75DBC07B407", "{5D490A5E-5B66-4A7C-BC31-C75DBC07B40}",
          "{5D490A5E+5B66-4A7C-BC31-C75DBC07B407}", "{5D490A5E-5B66-4A7C-BC31-C75DBC07B4G7}"}) {
        CHECK(usb::FindInterfaces(bad).empty());
    }
    // Under the loader's notification nothing is looked up at all.
    tarvix::platform::SetLoaderContext(true);
    CHECK(usb::FindInterfaces(kInterfaces[0]).empty());
    tarvix::platform::SetLoaderContext(false);
}

void OpenMissing() {
    uint32_t error = 0;
    CHECK(usb::Open("\\\\.\\pipe\\tarvix-seam-missing", &error) == nullptr);
    CHECK(error == usb::kFileNotFound);
    CHECK(usb::Open("", &error) == nullptr);
    CHECK(error != usb::kOk);
}

void DeviceIo() {
    const std::string path = "\\\\.\\pipe\\tarvix-seam-" + std::to_string(GetCurrentProcessId());
    HANDLE server =
        CreateNamedPipeA(path.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1,
                         4096, 4096, 0, nullptr);
    CHECK(server != INVALID_HANDLE_VALUE);
    if (server == INVALID_HANDLE_VALUE) return;
    uint32_t error = 99;
    std::unique_ptr<usb::Handle> device = usb::Open(path, &error);
    CHECK(device != nullptr);
    CHECK(error == usb::kOk);
    if (device == nullptr) return;
    ConnectNamedPipe(server, nullptr);  // the client is already there: returns at once

    // A write reaches the device whole.
    const uint8_t out[] = {0x80, 0x02, 0x10, 0x20, 0x55, 0xAA, 0x00, 0xFF};
    size_t written = 0;
    CHECK(device->Write(out, sizeof out, &written));
    CHECK(written == sizeof out);
    uint8_t seen[16] = {};
    DWORD got = 0;
    CHECK(ReadFile(server, seen, sizeof out, &got, nullptr));
    CHECK(got == sizeof out && std::memcmp(seen, out, sizeof out) == 0);

    // A device control with output: the peek tells how many bytes wait; the returned size is reported.
    const uint8_t reply[] = {1, 2, 3, 4, 5};
    DWORD put = 0;
    CHECK(WriteFile(server, reply, sizeof reply, &put, nullptr) && put == sizeof reply);
    uint8_t peek[16] = {};
    uint32_t returned = 0;
    CHECK(device->Control(kPipePeek, nullptr, 0, peek, sizeof peek, &returned));
    CHECK(returned == sizeof peek);
    uint32_t available = 0;
    std::memcpy(&available, peek + 4, 4);
    CHECK(available == sizeof reply);

    // A read gets what the device has.
    uint8_t in[64] = {};
    size_t read = 0;
    CHECK(device->Read(in, sizeof in, &read, 1000));
    CHECK(read == sizeof reply && std::memcmp(in, reply, sizeof reply) == 0);

    // Nothing comes: the read gives up at its deadline, the request cancelled.
    DWORD start = GetTickCount();
    CHECK(!device->Read(in, sizeof in, &read, 150));
    DWORD spent = GetTickCount() - start;
    CHECK(device->LastError() == usb::kTimeout);
    CHECK(spent >= 100 && spent < 3000);

    // A stop ends a long read early.
    std::atomic<bool> stop{false};
    std::thread stopper([&] {
        Sleep(100);
        stop.store(true);
    });
    start = GetTickCount();
    CHECK(!device->Read(in, sizeof in, &read, 20000, &stop));
    spent = GetTickCount() - start;
    stopper.join();
    CHECK(spent < 3000);

    // The handle still works after a cancelled read.
    const uint8_t later[] = {9, 8, 7};
    CHECK(WriteFile(server, later, sizeof later, &put, nullptr) && put == sizeof later);
    CHECK(device->Read(in, sizeof in, &read, 1000));
    CHECK(read == sizeof later && std::memcmp(in, later, sizeof later) == 0);

    // A control the device does not know fails and says so.
    const uint8_t request[22] = {};
    CHECK(!device->Control(0x80002010u, request, sizeof request, nullptr, 0, &returned));
    CHECK(device->LastError() != usb::kOk);

    device.reset();
    CloseHandle(server);
}

// Memory for requests whose address word is 32 bits wide: every block lies wholly below 4 GB and is
// usable, also after much of the address space is taken.
void LowMemory() {
    constexpr uint64_t kLimit = uint64_t{1} << 32;
    void* taken[64] = {};
    for (void*& block : taken) block = VirtualAlloc(nullptr, 16u << 20, MEM_RESERVE, PAGE_NOACCESS);
    for (size_t size : {size_t{1}, size_t{4096}, size_t{65536}, size_t{3} << 20}) {
        void* block = usb::AllocateLowMemory(size);
        CHECK(block != nullptr);
        if (block == nullptr) continue;
        CHECK(reinterpret_cast<uintptr_t>(block) + size <= kLimit);
        std::memset(block, 0x5A, size);
        CHECK(static_cast<uint8_t*>(block)[size - 1] == 0x5A);
        usb::FreeLowMemory(block);
    }
    CHECK(usb::AllocateLowMemory(0) == nullptr);
    for (void* block : taken) {
        if (block != nullptr) VirtualFree(block, 0, MEM_RELEASE);
    }
}

}  // namespace

int main() {
    Discovery();
    OpenMissing();
    DeviceIo();
    LowMemory();
    if (failures == 0) std::fprintf(stderr, "usb seam: all checks passed\n");
    return failures == 0 ? 0 : 1;
}
