// The byte-frame family's status queries behind the export layer.
#include "byteframe/byteframe.h"
#include "byteframe/transfer_status.h"
#include "common/codes.h"

namespace tarvix::bf {

void ByteFrame::SetError(uint16_t code, bool set_failed) {
    bf::SetError(code, set_failed);
}
bool ByteFrame::WorkerRunning() {
    return StatusValue() == StatusBusy;
}
int32_t ByteFrame::ThrdQueryStatus() {
    return QueryStatus();
}
char* ByteFrame::ThrdQueryCurFile() {
    return Record().current_file;
}
int32_t ByteFrame::ThrdQueryPercent() {
    return QueryPercent();
}
int32_t ByteFrame::ThrdQueryPercentEx() {
    return g_rescue_percent.load();
}
int32_t ByteFrame::ThrdQueryStatusEx(TransferStatus* out) {
    return QueryStatusEx(out, [] {
        ByteFrameFamily& family = Bf();
        if (family.IsComInited() != 0) family.ComRelease();
    });
}
int32_t ByteFrame::ThrdStop(int32_t how) {
    return Stop(how);
}
int32_t ByteFrame::ThrdQueryTime() {
    return QueryTime();
}
int32_t ByteFrame::GetLastErrCode() {
    return LastErrCode();
}

}  // namespace tarvix::bf
