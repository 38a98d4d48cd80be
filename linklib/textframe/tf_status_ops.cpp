// The text-frame family's status queries behind the export layer.
#include "textframe/link_status.h"
#include "textframe/textframe.h"

namespace tarvix::tf {

void TextFrame::SetNoLinkError() {
    tf::SetNoLinkError();
}
bool TextFrame::WorkerRunning() {
    return Status().worker.load() != 0;
}
int32_t TextFrame::ThrdQueryStatus() {
    return QueryStatus();
}
int32_t TextFrame::ThrdQueryPercentEx() {
    return g_rescue_percent.load();
}
int32_t TextFrame::GetLastErrCode() {
    return Status().last_error.load();
}

}  // namespace tarvix::tf
