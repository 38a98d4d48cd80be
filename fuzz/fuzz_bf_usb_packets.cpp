// The byte-frame USB receive on any packets: the first input byte chooses the packet size (512-byte
// message packets or 4096-byte stream blocks), the next two the room; then come the packets, each as
// its 16 header bytes and the payload bytes its length field names (the rest of the packet buffer
// keeps what an earlier packet left there, as the transport's one buffer does).  What is collected
// must fit the room and be the packets' payloads in order, and a message must end after at most one
// packet per byte of room and the empty packets allowed.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "byteframe/usb_packets.h"
#include "common/records.h"

namespace {

using namespace tarvix;
using namespace tarvix::bf;

constexpr uint32_t kHeader = 16;
constexpr uint32_t kMaxEmptyPackets = 64;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const uint32_t packet_size = (data[0] & 1) != 0 ? 4096 : 512;
    const uint32_t room_size = GetLe16(data + 1) % 8193;
    // The caller's room at its exact size, so that a write past it is seen.
    auto room = std::make_unique<uint8_t[]>(room_size);
    static uint8_t packet[4096];
    std::vector<uint8_t> sent;

    PacketCollector collector(room.get(), room_size);
    size_t at = 3;
    size_t packets = 0;
    PacketCollector::Verdict verdict = PacketCollector::Verdict::More;
    while (at + kHeader <= size && verdict == PacketCollector::Verdict::More) {
        std::memcpy(packet, data + at, kHeader);
        at += kHeader;
        const uint32_t length = GetLe16(packet + 4);
        const uint32_t carried = std::min({length, packet_size - kHeader, static_cast<uint32_t>(size - at)});
        std::memcpy(packet + kHeader, data + at, carried);
        at += carried;
        ++packets;

        const uint32_t before = collector.count();
        verdict = collector.Take(packet, packet_size);
        if (collector.count() > room_size) __builtin_trap();
        if (verdict == PacketCollector::Verdict::TooLong) {
            // A refused payload is not taken.
            if (length <= packet_size - kHeader && length <= room_size - before && length != 0)
                __builtin_trap();
            if (collector.count() != before) __builtin_trap();
            break;
        }
        if (collector.count() != before + length || collector.more() != packet[7]) __builtin_trap();
        sent.insert(sent.end(), packet + kHeader, packet + kHeader + length);
        if (verdict == PacketCollector::Verdict::Complete && collector.count() != room_size && packet[7] != 0)
            __builtin_trap();
        if (verdict == PacketCollector::Verdict::More && (collector.count() == room_size || packet[7] == 0))
            __builtin_trap();
    }
    if (packets > room_size + kMaxEmptyPackets + 1) __builtin_trap();
    if (sent.size() != collector.count()) __builtin_trap();
    if (!sent.empty() && std::memcmp(room.get(), sent.data(), sent.size()) != 0) __builtin_trap();
    return 0;
}
