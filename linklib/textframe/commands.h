// Commands of the text-frame family: a 24-byte packet of command, sub-command and up to 20 data bytes,
// sometimes followed by a data transfer and, for a few commands, a 3-byte status reply.  Packets and
// data go over the serial frames or the USB blocks, whichever the open link is.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "common/commands.h"
#include "platform/files.h"
#include "textframe/timing.h"

namespace tarvix::tf {

// Command numbers: one numbering for both families.
using namespace tarvix::commands;

constexpr size_t kPacketSize = 24;
constexpr size_t kPacketData = 20;
constexpr size_t kStatusReplySize = 3;

// The packet: command, sub-command, data length (little-endian, at most 20), data, zeros.
std::array<uint8_t, kPacketSize> BuildCommandPacket(uint8_t command, uint8_t sub_command, uint16_t length,
                                                    const uint8_t* data);
// Commands answered by a status reply.
bool HasStatusReply(uint8_t command, uint8_t sub_command);

// Checks a received status reply: it must be all 3 bytes and name the same command and sub-command;
// then its status byte goes to `status` and the result is true.  `status` is not touched otherwise.
bool TakeStatusReply(uint8_t command, uint8_t sub_command, const uint8_t* reply, uint32_t received,
                     uint8_t* status);

// Sends a command and, where it has one, takes its status reply (TakeStatusReply); `status` gets 0
// when there is none.
bool HcCommand(uint8_t command, uint8_t sub_command, uint8_t* status, uint16_t length = 0,
               const uint8_t* data = nullptr, const LinkTimeouts* timeouts = nullptr);

// One data transfer over the open link (USB when its port is 0, else the serial frames).
bool LinkSendData(const uint8_t* data, uint32_t size, uint32_t* moved,
                  const LinkTimeouts* timeouts = nullptr);
bool LinkReceiveData(uint8_t* buffer, uint32_t size, uint32_t* moved, const LinkTimeouts* timeouts = nullptr);
bool LinkSendStream(platform::File& file, uint32_t size, uint32_t* moved,
                    const LinkTimeouts* timeouts = nullptr);
bool LinkReceiveStream(platform::File& file, uint32_t size, uint32_t* moved,
                       const LinkTimeouts* timeouts = nullptr);

}  // namespace tarvix::tf
