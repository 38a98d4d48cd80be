// The text-frame USB receive on any blocks: the first 4 input bytes are the length the transfer
// expects (0: a file of unknown length, open-ended), then come the blocks, each as its 8 header bytes
// and the payload bytes it delivers (the rest of the 4096-byte buffer keeps what an earlier block left
// there, as the transport's one buffer does).  A transfer of known length never takes more than that
// length, every block delivers at most what it announced, and the transfer ends at the last block or
// at a block it refuses.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "common/records.h"
#include "textframe/usb_transport.h"

namespace {

using namespace tarvix;
using namespace tarvix::tf;

// The lengths a transfer may expect: up to three blocks and a little.
constexpr uint32_t kMaxExpected = 3 * kUsbPayloadSize + 100;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const uint32_t announced = GetLe32(data) % (kMaxExpected + 1);
    const bool open_ended = announced == 0;
    // The receiver's room at its exact size, so that a write past it is seen.
    auto room = std::make_unique<uint8_t[]>(open_ended ? 1 : announced);
    std::vector<uint8_t> taken;
    static uint8_t block[kUsbBlockSize];

    uint32_t remaining = open_ended ? kUsbLastBlock : announced;
    size_t at = 4;
    bool ended = false;
    while (at + 8 <= size && !ended) {
        std::memcpy(block, data + at, 8);
        at += 8;
        const uint32_t block_length = std::min(remaining, kUsbPayloadSize);
        const uint32_t carried =
            std::min({GetLe32(block + 4), block_length, static_cast<uint32_t>(size - at)});
        std::memcpy(block + 8, data + at, carried);
        at += carried;

        const UsbBlockVerdict v = ReadUsbBlock(block, block_length);
        if (v.number != GetLe32(block) || v.payload != GetLe32(block + 4)) __builtin_trap();
        if (v.deliver > block_length || v.deliver != std::min(block_length, v.payload)) __builtin_trap();
        switch (v.kind) {
            case UsbBlockVerdict::TooLong:
                if (v.payload <= block_length) __builtin_trap();
                ended = true;
                break;
            case UsbBlockVerdict::Last:
                if (v.payload > block_length || v.number != kUsbLastBlock) __builtin_trap();
                ended = true;
                break;
            case UsbBlockVerdict::EmptyNotLast:
                if (v.payload != 0 || v.number == kUsbLastBlock) __builtin_trap();
                ended = true;
                break;
            case UsbBlockVerdict::Next:
                if (v.payload == 0 || v.payload > block_length || v.number == kUsbLastBlock) __builtin_trap();
                break;
        }
        // What the transfer takes: into the room of a memory receive, or onto the end of the file.
        if (!open_ended) {
            const size_t done = taken.size();
            if (done + v.deliver > announced) __builtin_trap();
            if (v.deliver > 0) std::memcpy(room.get() + done, block + 8, v.deliver);
        }
        taken.insert(taken.end(), block + 8, block + 8 + v.deliver);
        if (remaining != kUsbLastBlock) remaining -= v.deliver;
    }
    if (!open_ended && taken.size() > 0 && std::memcmp(room.get(), taken.data(), taken.size()) != 0)
        __builtin_trap();
    return 0;
}
