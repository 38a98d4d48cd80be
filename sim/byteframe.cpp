// The byte-frame handheld.
#include "sim/core.h"

namespace hhsim {

void Simulator::Core::ServeByteFrame() {
    std::uint8_t b;
    while (line.ReadByte(b, -1) != Line::kStopped) {
    }
}

}  // namespace hhsim
