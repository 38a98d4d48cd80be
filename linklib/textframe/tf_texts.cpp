#include "textframe/tf_texts.h"

#include <cstring>

namespace tarvix::tf {

// Stand-in until the shared message table is merged: the English defaults.
const char* PromptText(const char* key) {
    struct Entry {
        const char* key;
        const char* text;
    };
    static const Entry kTexts[] = {
        {"msg00", " existed,overwrite??"},
        {"msg01", "Attention"},
        {"msg014", "Delete file"},
        {"msg018", "No memory"},
        {"msg027", "Folder with the same name exists"},
    };
    for (const Entry& e : kTexts) {
        if (std::strcmp(e.key, key) == 0) return e.text;
    }
    return "";
}

}  // namespace tarvix::tf
