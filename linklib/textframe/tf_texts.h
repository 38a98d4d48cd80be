// Prompt texts and captions of the text-frame family's message boxes and handheld screen texts.
#pragma once

namespace tarvix::tf {

// The text of a prompt key ("msg00", "msg01", "msg014", "msg018", "msg027", "msg09").
const char* PromptText(const char* key);

}  // namespace tarvix::tf
