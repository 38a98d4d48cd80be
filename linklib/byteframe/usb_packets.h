// The received side of the byte-frame USB pipes without the pipes: the payloads of message packets
// and stream blocks collected into the caller's room (usb_pipes.cpp reads the packets).
#pragma once

#include <cstdint>

namespace tarvix::bf {

// Collects one message (or one stream block's worth) packet by packet.  Each packet has the 16-byte
// header (payload length at 4, "more follows" at 7) and at most its size less 16 payload bytes.
class PacketCollector {
  public:
    enum class Verdict {
        More,      // another packet belongs to it
        Complete,  // the room is full or the packet said nothing follows
        TooLong,   // a payload longer than its packet or the room left, or too many empty packets
    };

    PacketCollector(uint8_t* room, uint32_t room_size) : room_(room), room_size_(room_size) {}

    // One whole packet of `packet_size` bytes (at least the header) as it was read.
    Verdict Take(const uint8_t* packet, uint32_t packet_size);
    uint32_t count() const { return count_; }
    uint8_t more() const { return more_; }

  private:
    uint8_t* room_;
    uint32_t room_size_;
    uint32_t count_ = 0;
    uint8_t more_ = 0;
    int empty_ = 0;
};

}  // namespace tarvix::bf
