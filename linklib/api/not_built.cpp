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

int32_t TfNotBuilt() {
    tf::Status().last_error.store(ErrModuleCall);
    return ResultFailed;
}

int32_t BfNotBuilt() {
    bf::SetErrorCode(ErrModuleCall);
    return ResultFailed;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Text-frame family
// ---------------------------------------------------------------------------------------------
namespace tf {

int32_t TextFrame::DelHcMif(const char*, int32_t) { return TfNotBuilt(); }
int32_t TextFrame::ThrdSendMifToHc(const char*, int32_t) { return TfNotBuilt(); }
int32_t TextFrame::ThrdGetHcMif(const char*, int32_t) { return TfNotBuilt(); }
int32_t TextFrame::HcRescue(int32_t, int32_t, const char*) { return TfNotBuilt(); }
int32_t TextFrame::SetHcDateTime(const HcDate*, const HcTime*) { return TfNotBuilt(); }
int32_t TextFrame::GetHcDateTime(char*) { return TfNotBuilt(); }
int32_t TextFrame::GetHcSysInfo(const char*, void*) { return TfNotBuilt(); }
int32_t TextFrame::HcShowInfo(const char*) { return TfNotBuilt(); }
int32_t TextFrame::SendMsgToHc(const char*) { return TfNotBuilt(); }
int32_t TextFrame::GetHcMsg(const char*) { return TfNotBuilt(); }

}  // namespace tf

// ---------------------------------------------------------------------------------------------
// Byte-frame family
// ---------------------------------------------------------------------------------------------
namespace bf {

int32_t ByteFrame::GetHcSysInfo(int32_t, int32_t, const char*, void*) { return BfNotBuilt(); }

}  // namespace bf
}  // namespace tarvix
