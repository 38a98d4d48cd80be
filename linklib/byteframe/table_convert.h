// The table conversions the transfers call: a dBase table packed before an upload, a packed table
// unpacked after a download.
#pragma once

#include <string>

namespace tarvix::bf {

enum class PackOutcome { Packed, CannotOpen, CannotPack };
// Packs the dBase table into the packed file `dbc_path` (and maybe its dbi side file).
PackOutcome PackTableForUpload(const std::string& dbf_path, const std::string& dbc_path);

// Turns the downloaded packed table at `packed_path` into the dBase table `target`, replacing it only
// when complete.  On failure the target is untouched and the packed file stays where it is.
bool UnpackDownloadedTable(const std::string& packed_path, const std::string& target);

}  // namespace tarvix::bf
