// Background uploads and downloads of single files (with the side file of a table), and the slot
// that all background work of the family shares.
#include "byteframe/background.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <optional>

#include "byteframe/byteframe.h"
#include "byteframe/operations.h"
#include "byteframe/transfer_status.h"
#include "byteframe/worker.h"
#include "common/codes.h"
#include "common/messages.h"
#include "common/records.h"
#include "platform/files.h"
#include "platform/prompt.h"

namespace tarvix::bf {

namespace {

// Makes the status test and the claim of a starter one step: two starters on two threads never
// both pass.
std::mutex g_start_lock;

// The background upload: the file, then the side file of a table.
void SendFileWorker(TransferArgs args) {
    const std::string pc = args.pc_upload;
    std::string hc = args.hc_name;
    if (hc.empty()) hc = PcName(pc);
    const bool table = ExtensionIs(PcName(pc), "dbf");

    std::optional<uint64_t> size = platform::FileSize(platform::PcPath(pc.c_str()));
    if (pc.empty() || !size || platform::IsDirectory(platform::PcPath(pc.c_str()))) {
        ShowMissingFile(pc);
        WorkerFailed(ErrFileNotFound);
        return;
    }
    SetFileLength(static_cast<int32_t>(*size));
    SetCurrentFile(pc.c_str());
    if (SendFile(args.port, args.rate, hc.c_str(), pc.c_str(), args.overwrite) != ResultOk) {
        WorkerFailedKeepCode();
        return;
    }
    if (table) {
        const std::string side_hc = ReplaceLastChar(hc, 'i', true);
        const std::string side_pc = ReplaceLastChar(pc, 'i', true);
        const std::string side_local = platform::PcPath(side_pc.c_str());
        std::optional<uint64_t> side_size = platform::FileSize(side_local);
        if (side_size && !platform::IsDirectory(side_local)) {
            SetFileLength(static_cast<int32_t>(*side_size));
            SetCurrentFile(side_pc.c_str());
            // The side file is the only copy of the table's header: it goes only when it arrived.
            if (SendFile(args.port, args.rate, side_hc.c_str(), side_pc.c_str(), args.overwrite) !=
                ResultOk) {
                WorkerFailedKeepCode();
                return;
            }
            platform::RemoveFile(side_local);
        }
    }
    WorkerDone();
}

// The background download: a table together with its side file.
void GetFileWorker(TransferArgs args) {
    std::string hc = args.hc_name;
    std::string pc = args.pc_download;
    const bool table = ExtensionIs(NamePart(hc), "dbf");

    HcFileEntry entry{};
    int32_t info = FileInfo(args.port, args.rate, hc.c_str(), &entry);
    if (info == ResultNotFound) {
        EndOperation();
        WorkerFailed(ErrFileNotFound);
        return;
    }
    if (info == ResultOk) {
        int32_t size = LoadField<int32_t>(&entry.size);
        SetFileLength(size);
        const int32_t unit = Proto().line().UsbMode() ? static_cast<int32_t>(Usb().PayloadSize()) : 256;
        SetBlockCount(std::max<int32_t>(1, static_cast<int32_t>(static_cast<uint32_t>(size) / unit)));
    }
    const int32_t result =
        table ? GetTableWithSideFile(args.port, args.rate, hc, pc, args.overwrite)
              : GetFile(args.port, args.rate, hc.c_str(), pc.empty() ? nullptr : pc.c_str(), args.overwrite);
    if (result != ResultOk) {
        WorkerFailedKeepCode();
        return;
    }
    WorkerDone();
}

}  // namespace

bool CopyArg(char* field, size_t size, const char* text) {
    std::memset(field, 0, size);
    if (text == nullptr) return true;
    size_t n = strnlen(text, size);
    if (n >= size) return false;
    std::memcpy(field, text, n);
    return true;
}

int32_t StartBackground(const std::function<void()>& prepare, std::function<void()> body) {
    std::lock_guard<std::mutex> lock(g_start_lock);
    if (StatusValue() != StatusIdle) {
        SetErrorCode(ErrBusy);
        return ResultFailed;
    }
    if (prepare) prepare();
    return LaunchWorker(std::move(body)) ? ResultOk : ResultFailed;
}

void WorkerFailed(uint16_t code) {
    SetErrorCode(code);
    SetStatusValue(StatusFailed);
    g_stop_flag.store(false);
}

void WorkerFailedKeepCode() {
    SetStatusValue(StatusFailed);
    g_stop_flag.store(false);
}

void WorkerDone() {
    SetErrorCode(ErrNone);
    SetStatusValue(StatusIdle);
    g_stop_flag.store(false);
}

void ShowMissingFile(const std::string& pc_path) {
    const std::string text = pc_path + " " + Prompt(BfPrompt::NotExist);
    platform::ShowMessageBox(text.c_str(), Prompt(BfPrompt::Attention).c_str(),
                             TARVIX_MB_OK | TARVIX_MB_ICONQUESTION);
}

std::string PcName(const std::string& path) {
    size_t cut = path.find_last_of("\\/");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

std::string PcFolder(const std::string& path) {
    size_t cut = path.find_last_of("\\/");
    return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

std::string JoinPc(const std::string& folder, const std::string& name) {
    if (folder.empty() || folder.back() == '\\' || folder.back() == '/') return folder + name;
    return folder + "\\" + name;
}

bool PcPathIsAbsolute(const std::string& path) {
    return path.find(':') != std::string::npos || (!path.empty() && path[0] == '/');
}

int32_t ByteFrame::ThrdSendFileToHc(int32_t port, int32_t rate, const char* hc_name, const char* pc_path,
                                    int32_t reserved, int32_t overwrite) {
    TransferArgs args;
    args.port = port;
    args.rate = rate;
    args.reserved = reserved;
    args.overwrite = overwrite;
    if (StatusValue() != StatusIdle) {
        SetErrorCode(ErrBusy);
        return ResultFailed;
    }
    if (!CopyArg(args.hc_name, sizeof args.hc_name, hc_name) ||
        !CopyArg(args.pc_upload, sizeof args.pc_upload, pc_path)) {
        SetErrorCode(ErrBadName);
        return ResultFailed;
    }
    return StartBackground(
        [] {
            SetBlockCount(0xFFFF);
            SetCurrentBlock(1);
        },
        [args] { SendFileWorker(args); });
}

int32_t ByteFrame::ThrdGetHcFile(int32_t port, int32_t rate, const char* hc_path, const char* pc_path,
                                 int32_t overwrite) {
    TransferArgs args;
    args.port = port;
    args.rate = rate;
    args.overwrite = overwrite;
    if (StatusValue() != StatusIdle) {
        SetErrorCode(ErrBusy);
        return ResultFailed;
    }
    if (!CopyArg(args.hc_name, sizeof args.hc_name, hc_path) ||
        !CopyArg(args.pc_download, sizeof args.pc_download, pc_path)) {
        SetErrorCode(ErrBadName);
        return ResultFailed;
    }
    return StartBackground(
        [] {
            SetBlockCount(0xFFFF);
            SetCurrentBlock(1);
        },
        [args] { GetFileWorker(args); });
}

}  // namespace tarvix::bf
