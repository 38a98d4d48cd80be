// The family's background work: the argument record of its workers, the one slot they share and the
// helpers the workers of uploads, downloads, data rescues and MIF packages have in common.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "tarvix.h"

namespace tarvix::bf {

// What a starter hands its worker.  The worker gets its own copy, so a later starter never changes
// the names under a worker that is still ending.
struct TransferArgs {
    int32_t port = 0;
    int32_t rate = 0;
    char hc_name[65] = {};
    char pc_upload[200] = {};
    char pc_download[200] = {};
    int32_t reserved = 0;
    int32_t overwrite = 0;
};

// Longest names TransferArgs holds, without the terminator.
constexpr size_t kMaxArgsHcName = sizeof(TransferArgs::hc_name) - 1;
constexpr size_t kMaxArgsPcPath = sizeof(TransferArgs::pc_upload) - 1;

// Copies `text` (null: empty) into a TransferArgs field; false when it does not fit.
bool CopyArg(char* field, size_t size, const char* text);

// Claims the family's one background slot and starts `body` on a worker thread.  Refused with
// ErrBusy while the status is not StatusIdle (1 returned, nothing else changed).  `prepare` runs
// after the claim and before the thread starts (it sets the counters the caller sees first); when
// the thread cannot be started the status becomes StatusFailed and 1 is returned.  0: started.
int32_t StartBackground(const std::function<void()>& prepare, std::function<void()> body);

// The ends of a worker: status, error code and the stop flag.
void WorkerFailed(uint16_t code);  // StatusFailed with `code`, stop flag cleared
void WorkerFailedKeepCode();       // StatusFailed, the operation's own code stays, stop flag cleared
void WorkerDone();                 // StatusIdle, error code 0, stop flag cleared

// The box of a missing PC file: its path, a blank and "not exist", caption "Attention".
void ShowMissingFile(const std::string& pc_path);

// A PC path's name part (after its last '\' or '/').
std::string PcName(const std::string& path);
// A PC path's folder part up to and including its last '\' or '/' ("" when it has none).
std::string PcFolder(const std::string& path);
// `folder` followed by `name`, with one '\' between them unless the folder ends with '\' or '/'.
std::string JoinPc(const std::string& folder, const std::string& name);
// True for a PC path that names its place by itself: a drive ("C:...") or a Linux absolute path.
bool PcPathIsAbsolute(const std::string& path);

// ---- MIF packages
class ByteFrame;
// The handheld form of a package folder: "d:" is the plain rooted path, "e:" becomes "\$E$", any
// other drive is refused, a path without "\" in front gets one; longer than 52 characters is
// refused.  False leaves the path as it was.
bool NormalizeHcPath(std::string* path);
// Whether the handheld has drive E: bytes 80 and 81 of its system block are not both 0.
bool DriveEPresent(int32_t port, int32_t rate);
// Makes every level of the package folder in turn; 1 on failure, else the outcome of the last level.
int32_t MakeHcPath(ByteFrame& family, int32_t port, int32_t rate, const std::string& path);
// 0 when the MIF file's names and folder are acceptable; 1 after a box naming the refused value.
int32_t ValidateMif(const std::string& mif);

}  // namespace tarvix::bf
