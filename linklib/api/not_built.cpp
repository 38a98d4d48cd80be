// Family operations that are not built yet.  Each answers ResultFailed with ErrModuleCall stored as
// the family's last error and changes nothing else.  A definition leaves this file when its
// operation is built in its family's directory.
#include "byteframe/byteframe.h"
#include "byteframe/transfer_status.h"
#include "common/codes.h"
#include "textframe/link_status.h"
#include "textframe/textframe.h"

namespace tarvix {
namespace {

int32_t BfNotBuilt() {
    bf::SetErrorCode(ErrModuleCall);
    return ResultFailed;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Byte-frame family
// ---------------------------------------------------------------------------------------------
namespace bf {

int32_t ByteFrame::DelHcMif(int32_t, int32_t, const char*, int32_t) { return BfNotBuilt(); }
int32_t ByteFrame::ThrdSendFileToHc(int32_t, int32_t, const char*, const char*, int32_t, int32_t) {
    return BfNotBuilt();
}
int32_t ByteFrame::ThrdGetHcFile(int32_t, int32_t, const char*, const char*, int32_t) { return BfNotBuilt(); }
int32_t ByteFrame::ThrdSendMifToHc(int32_t, int32_t, const char*, int32_t, int32_t) { return BfNotBuilt(); }
int32_t ByteFrame::ThrdGetHcMif(int32_t, int32_t, const char*, int32_t) { return BfNotBuilt(); }
int32_t ByteFrame::HcRescue(int32_t, int32_t, const char*) { return BfNotBuilt(); }
int32_t ByteFrame::SetHcDateTime(int32_t, int32_t, const HcDate*, const HcTime*) { return BfNotBuilt(); }
int32_t ByteFrame::GetHcDateTime(int32_t, int32_t, char*) { return BfNotBuilt(); }
int32_t ByteFrame::HcShowInfo(int32_t, int32_t, const char*) { return BfNotBuilt(); }
int32_t ByteFrame::SendMsgToHc(int32_t, int32_t, const uint8_t*, uint32_t) { return BfNotBuilt(); }
int32_t ByteFrame::GetHcMsg(int32_t, int32_t, const char*) { return BfNotBuilt(); }
int32_t ByteFrame::GetMessUsb(int32_t, int32_t, const char*) { return BfNotBuilt(); }
int32_t ByteFrame::FormatHcDisk(int32_t, int32_t) { return BfNotBuilt(); }
int32_t ByteFrame::ResetHc(int32_t, int32_t) { return BfNotBuilt(); }

}  // namespace bf
}  // namespace tarvix
