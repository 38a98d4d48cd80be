// Texts of the byte-frame message table that table conversion shows.
#pragma once

namespace tarvix::tables {

// Text of a byte-frame prompt key: "msg06" (the box caption "Error") and "msg08" (".DBF file format
// error"); never null.
const char* TablePromptText(const char* key);

}  // namespace tarvix::tables
