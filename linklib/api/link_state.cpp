#include "api/link_state.h"

#include "api/families.h"
#include "byteframe/byteframe.h"
#include "common/codes.h"
#include "common/lasting.h"
#include "textframe/textframe.h"

namespace tarvix {

std::atomic<int32_t> LinkPort{1};
std::atomic<int32_t> LinkRate{115200};
std::atomic<uint8_t> LinkMode{ModeTextFrame};
std::atomic<uint8_t> DeviceKind{4};

void ResetLinkState() {
    LinkPort = 1;
    LinkRate = 115200;
    LinkMode = ModeTextFrame;
    DeviceKind = 4;
}

namespace {

// The families live on after the static destructors: the unload hook and a worker still ending use them.
TextFrameFamily* DefaultTf() {
    static Lasting<tf::TextFrame> family;
    return &*family;
}
ByteFrameFamily* DefaultBf() {
    static Lasting<bf::ByteFrame> family;
    return &*family;
}
TextFrameFamily* g_tf = nullptr;  // null: the library's own
ByteFrameFamily* g_bf = nullptr;

// One family's turn: its scan, then for the text-frame family the re-open of the link it found.
// 0 answered and ready, 1 nothing answered, 2 answered but the link could not be opened again.
int32_t TryFamily(bool byte_frame) {
    // The scan works on copies; what it wrote (only on an answer) is stored back whole afterwards.
    int32_t port = LinkPort.load();
    int32_t rate = LinkRate.load();
    uint8_t mode = LinkMode.load();
    const int32_t found =
        byte_frame ? Bf().DetectLink(&port, &rate, &mode) : Tf().DetectLink(&port, &rate, &mode);
    LinkPort.store(port);
    LinkRate.store(rate);
    LinkMode.store(mode);
    if (found != 0) return 1;
    if (byte_frame) return 0;
    return Tf().ComInit(port & 0xFFFF, rate) == 1 ? 0 : 2;
}

}  // namespace

TextFrameFamily& Tf() {
    return g_tf != nullptr ? *g_tf : *DefaultTf();
}
ByteFrameFamily& Bf() {
    return g_bf != nullptr ? *g_bf : *DefaultBf();
}

void SetFamilies(TextFrameFamily* tf, ByteFrameFamily* bf) {
    g_tf = tf;
    g_bf = bf;
}

bool BackgroundWorkRuns() {
    return Tf().WorkerRunning() || Bf().WorkerRunning();
}

int32_t DetectHandheld(int32_t* port, int32_t* rate, uint8_t* mode) {
    const bool first_byte_frame = IsByteFrameMode(LinkMode);
    int32_t outcome = TryFamily(first_byte_frame);
    // A handheld that answered but whose link would not open again ends the detection: the other
    // family is not tried.
    if (outcome == 1) outcome = TryFamily(!first_byte_frame);
    if (outcome != 0) return 1;
    if (port != nullptr) *port = LinkPort;
    if (rate != nullptr) *rate = LinkRate;
    if (mode != nullptr) *mode = LinkMode;
    return 0;
}

}  // namespace tarvix
