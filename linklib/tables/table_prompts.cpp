#include "tables/table_prompts.h"

#include <cstring>

namespace tarvix::tables {

// The English built-in texts, until these keys are read from the byte-frame message table.
const char* TablePromptText(const char* key) {
    if (key != nullptr && std::strcmp(key, "msg06") == 0) return "Error";
    if (key != nullptr && std::strcmp(key, "msg08") == 0) return ".DBF file format error";
    return "";
}

}  // namespace tarvix::tables
