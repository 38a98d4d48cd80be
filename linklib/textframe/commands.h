// Commands of the text-frame family: a 24-byte packet of command, sub-command and up to 20 data bytes,
// sometimes followed by a data transfer and, for a few commands, a 3-byte status reply.  Packets and
// data go over the serial frames or the USB blocks, whichever the open link is.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

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

// Sends a command and, where it has one, takes its status reply (all 3 bytes, naming the same command
// and sub-command); `status` gets 0 when there is none.
bool HcCommand(uint8_t command, uint8_t sub_command, uint8_t* status, uint16_t length = 0,
               const uint8_t* data = nullptr, const LinkTimeouts* timeouts = nullptr);

// The command that makes the handheld take a file (SubUpload, with its status reply).  A packet sent
// again could be taken by it as the file's first and last block, so over the serial line the packet
// goes once per round and the status reply tells whether it was taken; without one, the abort frame
// and a link test bring the handheld back to command mode before the next round (three at most).
// True when the reply came (its status byte in `status`).
bool UploadCommand(uint8_t sub_command, uint16_t length, const uint8_t* data, uint8_t* status);

// A command that the handheld follows by taking data (SubSetName, SubSetPath, CmdSetClock,
// SubPutMessage), then its data.  A packet sent again over the serial line may have been taken once as
// the command and once more as the data it announces; the data would then meet the handheld in
// command mode.  So the data go only after a packet that went through at its first send; otherwise a
// link test brings the handheld back to command mode whichever state it was in (taken as a command,
// or as the data it waited for) and the round begins again, three rounds at most.  0 when done, else
// the error code: ErrOperation for a command that did not get through or never went cleanly,
// ErrSendFail for data that did not.
uint32_t CommandWithData(uint8_t command, uint8_t sub_command, const uint8_t* data, uint32_t size);
// The same with a name or folder text, sent without terminator.
uint32_t CommandWithText(uint8_t sub_command, const std::string& text);

// One data transfer over the open link (USB when its port is 0, else the serial frames).
bool LinkSendData(const uint8_t* data, uint32_t size, uint32_t* moved,
                  const LinkTimeouts* timeouts = nullptr);
bool LinkReceiveData(uint8_t* buffer, uint32_t size, uint32_t* moved, const LinkTimeouts* timeouts = nullptr);
bool LinkSendStream(platform::File& file, uint32_t size, uint32_t* moved,
                    const LinkTimeouts* timeouts = nullptr);
bool LinkReceiveStream(platform::File& file, uint32_t size, uint32_t* moved,
                       const LinkTimeouts* timeouts = nullptr);

}  // namespace tarvix::tf
