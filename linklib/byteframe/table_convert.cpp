#include "byteframe/table_convert.h"

#include "platform/files.h"

namespace tarvix::bf {

// Stand-in until the table conversion is in place: nothing can be packed or unpacked.
PackOutcome PackTableForUpload(const std::string& dbf_path, const std::string&) {
    return platform::FileExists(dbf_path) ? PackOutcome::CannotPack : PackOutcome::CannotOpen;
}

bool UnpackDownloadedTable(const std::string&, const std::string&) { return false; }

}  // namespace tarvix::bf
