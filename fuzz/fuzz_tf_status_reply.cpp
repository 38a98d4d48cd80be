// The status reply of a text-frame command on any bytes: the first two input bytes are the command
// and sub-command that were sent, the rest is what came back.  Only a whole 3-byte reply that names
// them gives a status; anything else leaves the caller's status alone.
#include <cstdint>

#include "textframe/commands.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t command = data[0];
    const uint8_t sub_command = data[1];
    const uint8_t* reply = data + 2;
    const uint32_t received = static_cast<uint32_t>(size - 2);
    uint8_t status = 0xA5;
    const bool taken = tarvix::tf::TakeStatusReply(command, sub_command, reply, received, &status);
    const bool whole =
        received == tarvix::tf::kStatusReplySize && reply[0] == command && reply[1] == sub_command;
    if (taken != whole) __builtin_trap();
    if (status != (taken ? reply[2] : 0xA5)) __builtin_trap();
    if (tarvix::tf::TakeStatusReply(command, sub_command, reply, received, nullptr) != taken)
        __builtin_trap();
    return 0;
}
