// The families' message operations behind the exports GetErrorMsg and ConvertLanguage.
#include "byteframe/byteframe.h"
#include "common/messages.h"
#include "textframe/textframe.h"

namespace tarvix::tf {

int32_t TextFrame::GetErrorMsg(uint32_t code, char* text) {
    return tf::GetErrorMsg(code, text);
}

void TextFrame::ConvertLanguage() {
    LoadMessages();
}

}  // namespace tarvix::tf

namespace tarvix::bf {

int32_t ByteFrame::GetErrorMsg(uint32_t code, char* text) {
    return bf::GetErrorMsg(code, text);
}

void ByteFrame::ConvertLanguage() {
    LoadMessages();
}

}  // namespace tarvix::bf
