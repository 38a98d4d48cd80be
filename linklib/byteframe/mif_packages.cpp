// MIF packages: a package's files sent to the handheld (its folder made level by level, tables with
// their side files, its message, the MIF file itself and the run request), fetched back by the
// handheld path of the MIF file, and deleted.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "byteframe/background.h"
#include "byteframe/byteframe.h"
#include "byteframe/operations.h"
#include "byteframe/transfer_status.h"
#include "common/codes.h"
#include "common/handheld_names.h"
#include "common/messages.h"
#include "common/mif.h"
#include "common/records.h"
#include "platform/files.h"
#include "platform/prompt.h"

namespace tarvix::bf {

namespace {

Protocol& P() {
    return Proto();
}

// The handheld's system block and where it tells whether drive E is fitted.
constexpr uint32_t kSystemBlockAddress = 0x0040AF00;
constexpr uint32_t kSystemBlockSize = 156;
constexpr size_t kDriveEOffset = 80;
constexpr size_t kMaxNormalizedPath = 52;
constexpr const char* kDriveE = "\\$E$";
// Where a fetch and a delete keep the package's MIF file.
constexpr const char* kMifCopy = ".\\zzmif.tmp";
constexpr size_t kMaxMessageBytes = 38;

// The keys of a package's files, in the order they travel.
std::vector<std::string> FileKeys() {
    std::vector<std::string> keys{"application"};
    for (int i = 1; i <= 31; ++i) keys.push_back("file" + std::to_string(i));
    return keys;
}

std::string Value(const std::string& mif, const char* section, const std::string& key, const char* fallback,
                  size_t max_length) {
    return ReadIniValue(section, key, fallback, max_length, platform::PcPath(mif.c_str()));
}

std::string JoinHc(const std::string& folder, const std::string& name) {
    if (folder.empty()) return "\\" + name;
    return folder.back() == '\\' ? folder + name : folder + "\\" + name;
}

void RefuseMif(const std::string& value) {
    platform::ShowMessageBox(value.c_str(), Prompt(BfPrompt::MifFormat).c_str(),
                             TARVIX_MB_OK | TARVIX_MB_ICONERROR);
}

// A package file name: no folder in it, and no "." right after its first ".".
bool NameAcceptable(const std::string& name) {
    if (name.find('\\') != std::string::npos) return false;
    size_t dot = name.find('.');
    return dot == std::string::npos || dot + 1 >= name.size() || name[dot + 1] != '.';
}

// A handheld folder in 8.3 steps: no empty step, runs of at most 8 characters after "\" and of at
// most 3 after ".", and no run that begins with ".".
bool HcPathAcceptable(const std::string& path) {
    if (path.find("\\\\") != std::string::npos) return false;
    size_t run = 0;
    bool after_dot = false;
    char previous = 0;  // 0: the start
    for (char c : path) {
        if (c == '\\') {
            run = 0;
            after_dot = false;
        } else if (c == '.') {
            if (previous == 0 || previous == '\\' || previous == '.') return false;
            run = 0;
            after_dot = true;
        } else {
            ++run;
            if (run > (after_dot ? 3u : 8u)) return false;
        }
        previous = c;
    }
    return true;
}

// The MIF file's own name (after its last separator), upper-cased, and its folder.
std::string MifName(const std::string& mif) {
    return PcName(mif);
}

std::string Upper(std::string s) {
    for (char& c : s) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return s;
}

// The base folder of a fetched package: the current folder.  A handheld's MIF file names its PC
// folder relative to it and never leaves it.
constexpr const char* kFetchBase = ".\\";

// A PC folder named in a MIF file on the PC: one that names no place of its own lies below `base`.
std::string PlacePcFolder(const std::string& value, const std::string& base) {
    return PcPathIsAbsolute(value) ? value : base + value;
}

// The [receive] part of a handheld's MIF file decides where PC files are written: its folder must
// lie below the current folder and every name be a plain one.  Returns the refused value, or
// nothing when all is acceptable.
std::optional<std::string> RefusedReceiveValue(const std::string& mif) {
    const std::string pcpath = Value(mif, "receive", "pcpath", "", 64);
    if (!IsFolderBelowBase(pcpath)) return pcpath;
    std::vector<std::string> keys = FileKeys();
    keys.push_back("msg");
    for (const std::string& key : keys) {
        const std::string name = Value(mif, "receive", key, "", 12);
        if (!name.empty() && !IsPlainName(name)) return name;
    }
    return std::nullopt;
}

}  // namespace

bool NormalizeHcPath(std::string* path) {
    std::string p = *path;
    std::string result;
    if (p.size() >= 2 && p[1] == ':') {
        const char drive = static_cast<char>(std::tolower(static_cast<unsigned char>(p[0])));
        if (drive == 'd') {
            result = p.substr(2);
        } else if (drive == 'e') {
            result = kDriveE + p.substr(2);
        } else {
            return false;
        }
    } else {
        result = (!p.empty() && p[0] == '\\') ? p : "\\" + p;
    }
    if (result.size() > kMaxNormalizedPath) return false;
    *path = result;
    return true;
}

bool DriveEPresent(int32_t port, int32_t rate) {
    if (P().line().ComInit(port, rate) == -1) {
        SetErrorCode(ErrNoLink);
        return false;
    }
    if (P().SendCommandBlock(CmdLinkTest, 0, 0) != kDone) {
        SetErrorCode(ErrNoResponse);
        EndOperation();
        return false;
    }
    uint8_t argument[8];
    PutBe32(argument, kSystemBlockAddress);
    PutBe32(argument + 4, kSystemBlockSize);
    bool sent;
    if (P().line().UsbMode()) {
        sent = Usb().SendCommand(CmdReadMemory, 0, argument, sizeof argument) == kDone;
    } else {
        std::memcpy(P().Block().argument, argument, sizeof argument);
        sent = P().SendCommandBlock(CmdReadMemory, 0, 0) == kDone;
    }
    uint8_t block[kSystemBlockSize]{};
    int32_t received = 0;
    const bool read = sent && P().ReceiveData(block, sizeof block, &received) == kDone &&
                      received == static_cast<int32_t>(kSystemBlockSize);
    EndOperation();
    if (!read) return false;
    return GetBe16(block + kDriveEOffset) != 0;
}

int32_t MakeHcPath(ByteFrame& family, int32_t port, int32_t rate, const std::string& path) {
    if (path.size() > kMaxNormalizedPath) return ResultFailed;
    std::string copy = path;
    if (!NormalizeHcPath(&copy)) return ResultFailed;
    size_t start = 1;
    if (copy.rfind(std::string(kDriveE) + "\\", 0) == 0) {
        if (!DriveEPresent(port, rate)) return ResultFailed;
        start = 5;
    }
    int32_t result = ResultOk;
    std::string last;
    for (size_t i = start; i < copy.size(); ++i) {
        std::string folder;
        if (copy[i] == '\\') {
            folder = copy.substr(0, i);
        } else if (i + 1 == copy.size()) {
            folder = copy;
        } else {
            continue;
        }
        result = family.HcMakeDir(port, rate, folder.c_str());
        last = folder;
    }
    if (result != ResultOk && !last.empty() && last != kDriveE) {
        // A level that is there already is as good as one just made.
        HcFileEntry entry{};
        if (FileInfo(port, rate, last.c_str(), &entry) == ResultOk && entry.kind == 4) result = ResultOk;
    }
    return result;
}

int32_t ValidateMif(const std::string& mif) {
    std::vector<std::string> keys{"application"};
    for (int i = 1; i <= 6; ++i) keys.push_back("file" + std::to_string(i));
    for (const std::string& key : keys) {
        const std::string name = Value(mif, "send", key, "NULL", 12);
        if (name != "NULL" && !NameAcceptable(name)) {
            RefuseMif(name);
            return 1;
        }
    }
    const std::string hcpath = Value(mif, "send", "hcpath", "NULL", 64);
    if (hcpath != "NULL" && !HcPathAcceptable(hcpath)) {
        RefuseMif(hcpath);
        return 1;
    }
    return 0;
}

namespace {

// The package's handheld folder in the family's form ("e:" as drive E), or as written when it
// cannot be put in that form.
std::string HcFolder(const std::string& hcpath) {
    std::string folder = hcpath;
    NormalizeHcPath(&folder);
    return folder;
}

void SendMifWorker(ByteFrame& family, TransferArgs args) {
    const std::string mif = args.pc_upload;
    const std::string mif_folder = PcFolder(mif);
    if (!platform::FileExists(platform::PcPath(mif.c_str()))) {
        WorkerFailed(ErrFileNotFound);
        return;
    }
    if (g_stop_flag.load()) {
        WorkerFailed(ErrUserStop);
        return;
    }
    g_stop_flag.store(false);
    P().HcSetExitTime(500, 3000);

    const std::string hcpath = Value(mif, "send", "hcpath", "", 64);
    if (!hcpath.empty() && MakeHcPath(family, args.port, args.rate, hcpath) == ResultFailed) {
        WorkerFailed(ErrUserStop);
        return;
    }
    const std::string hc_folder = hcpath.empty() ? std::string() : HcFolder(hcpath);
    const std::string pcpath = Value(mif, "send", "pcpath", "", 64);
    const std::string pc_folder = PlacePcFolder(pcpath, mif_folder);

    for (const std::string& key : FileKeys()) {
        const std::string name = Value(mif, "send", key, "", 12);
        if (name.empty()) continue;
        const std::string hc_name = JoinHc(hc_folder, name);
        const std::string pc = JoinPc(pc_folder, name);
        if (pc.size() > kMaxArgsPcPath) {
            WorkerFailed(ErrBadName);
            return;
        }
        SetCurrentPcPath(pc.c_str());
        std::optional<uint64_t> size = platform::FileSize(platform::PcPath(pc.c_str()));
        if (!size || platform::IsDirectory(platform::PcPath(pc.c_str()))) {
            ShowMissingFile(pc);
            WorkerFailed(ErrFileNotFound);
            return;
        }
        SetFileLength(static_cast<int32_t>(*size));
        SetCurrentFile(pc.c_str());
        if (SendFile(args.port, args.rate, hc_name.c_str(), pc.c_str(), args.overwrite) != ResultOk) {
            WorkerFailedKeepCode();
            return;
        }
        if (ExtensionIs(PcName(pc), "dbf")) {
            const std::string side_pc = ReplaceLastChar(pc, 'i', true);
            const std::string side_hc = ReplaceLastChar(hc_name, 'i', true);
            const std::string side_local = platform::PcPath(side_pc.c_str());
            std::optional<uint64_t> side_size = platform::FileSize(side_local);
            if (side_size && !platform::IsDirectory(side_local)) {
                SetFileLength(static_cast<int32_t>(*side_size));
                SetCurrentFile(side_pc.c_str());
                // The side file is the table's header: the local one goes only once the handheld has it.
                if (SendFile(args.port, args.rate, side_hc.c_str(), side_pc.c_str(), 1) != ResultOk) {
                    WorkerFailedKeepCode();
                    return;
                }
                platform::RemoveFile(side_local);
            }
        }
    }

    const std::string msg = Value(mif, "send", "msg", "", 12);
    if (!msg.empty()) {
        const std::string msg_folder = Value(mif, "send", "pcpath", "\\", 64);
        const std::string msg_path = JoinPc(msg_folder, msg);
        platform::File file;
        if (!file.Open(platform::PcPath(msg_path.c_str()), "rb")) {
            ShowMissingFile(msg_path);
            WorkerFailed(ErrFileNotFound);
            return;
        }
        SetCurrentFile(msg_path.c_str());
        uint8_t bytes[kMaxMessageBytes]{};
        const size_t count = file.Read(bytes, sizeof bytes);
        file.Close();
        if (family.SendMsgToHc(args.port, args.rate, bytes, static_cast<uint32_t>(count)) != ResultOk) {
            WorkerFailedKeepCode();
            return;
        }
    }

    const std::string mif_hc = JoinHc(hc_folder, MifName(mif));
    if (std::optional<uint64_t> size = platform::FileSize(platform::PcPath(mif.c_str()))) {
        SetFileLength(static_cast<int32_t>(*size));
    }
    SetCurrentFile(mif.c_str());
    if (SendFile(args.port, args.rate, mif_hc.c_str(), mif.c_str(), args.overwrite) != ResultOk) {
        WorkerFailedKeepCode();
        return;
    }

    const std::string autorun = Value(mif, "send", "autorun", "0", 2);
    if (!autorun.empty() && autorun[0] == '1' && P().line().ComInit(args.port, args.rate) != -1) {
        if (DataFileCommand(SubRun)) {
            std::string request = hcpath;
            if (request.empty() || request.back() != '\\') request += '\\';
            request += static_cast<char>(0xFF);
            request += MifName(mif);
            request = Upper(request);
            P().SendData(reinterpret_cast<const uint8_t*>(request.data()),
                         static_cast<uint32_t>(request.size()));
        }
        EndOperation();
    }
    WorkerDone();
}

void GetMifWorker(ByteFrame& family, TransferArgs args) {
    const std::string copy = platform::PcPath(kMifCopy);
    if (g_stop_flag.load()) {
        // Stopped before it began: nothing was fetched and nothing failed.
        SetStatusValue(StatusIdle);
        g_stop_flag.store(false);
        return;
    }
    P().HcSetExitTime(500, 3000);
    struct RemoveCopy {
        std::string path;
        ~RemoveCopy() { platform::RemoveFile(path); }
    } remove_copy{copy};

    if (GetFile(args.port, args.rate, args.hc_name, kMifCopy, 1) != ResultOk) {
        WorkerFailedKeepCode();
        return;
    }
    if (const std::optional<std::string> refused = RefusedReceiveValue(kMifCopy)) {
        RefuseMif(*refused);
        WorkerFailed(ErrBadMif);
        return;
    }
    const std::string hcpath = Value(kMifCopy, "send", "hcpath", "\\", 64);
    const std::string hc_folder = HcFolder(hcpath);
    const std::string receive_pcpath = Value(kMifCopy, "receive", "pcpath", "", 64);
    const std::string pc_folder = kFetchBase + receive_pcpath;

    for (const std::string& key : FileKeys()) {
        const std::string name = Value(kMifCopy, "send", key, "", 12);
        if (name.empty()) continue;
        const std::string hc_path = JoinHc(hc_folder, name);
        const std::string pc_name = Value(kMifCopy, "receive", key, "", 12);
        if (pc_name.empty()) continue;
        std::string pc = JoinPc(pc_folder, pc_name);
        if (pc.size() > kMaxArgsPcPath) {
            WorkerFailed(ErrBadName);
            return;
        }
        HcFileEntry entry{};
        int32_t info = FileInfo(args.port, args.rate, hc_path.c_str(), &entry);
        if (info == ResultNotFound) {
            EndOperation();
            WorkerFailed(ErrFileNotFound);
            return;
        }
        if (info == ResultOk) {
            const int32_t size = LoadField<int32_t>(&entry.size);
            SetFileLength(size);
            const uint32_t unit = P().line().UsbMode() ? Usb().PayloadSize() : 256u;
            SetBlockCount(static_cast<int32_t>(static_cast<uint32_t>(size) / unit));
        }
        const bool table = ExtensionIs(NamePart(hc_path), "dbf") && pc_name.size() >= 3;
        if (table) pc = pc.substr(0, pc.size() - 3) + Extension(NamePart(hc_path));
        SetCurrentFile(hc_path.c_str());
        const int32_t got = table
                                ? GetTableWithSideFile(args.port, args.rate, hc_path, pc, args.overwrite)
                                : GetFile(args.port, args.rate, hc_path.c_str(), pc.c_str(), args.overwrite);
        if (got != ResultOk) {
            WorkerFailedKeepCode();
            return;
        }
        SetCurrentBlock(1);
    }

    const std::string msg = Value(kMifCopy, "receive", "msg", "", 12);
    if (!msg.empty()) {
        // Beside the package's files: without a [receive] pcpath that is the current folder.
        if (family.GetHcMsg(args.port, args.rate, JoinPc(pc_folder, msg).c_str()) != ResultOk) {
            WorkerFailedKeepCode();
            return;
        }
    }
    WorkerDone();
}

}  // namespace

int32_t ByteFrame::ThrdSendMifToHc(int32_t port, int32_t rate, const char* mif_path, int32_t reserved,
                                   int32_t overwrite) {
    if (StatusValue() != StatusIdle) {
        SetErrorCode(ErrBusy);
        return ResultFailed;
    }
    TransferArgs args;
    if (mif_path == nullptr || mif_path[0] == 0 ||
        !CopyArg(args.pc_upload, sizeof args.pc_upload, mif_path)) {
        SetErrorCode(mif_path == nullptr || mif_path[0] == 0 ? ErrFileNotFound : ErrBadName);
        return ResultFailed;
    }
    if (ValidateMif(mif_path) != 0) return ResultNotFound;
    // The link may have moved since the caller's detection.
    Detect(&port, &rate, nullptr);
    args.port = port;
    args.rate = rate;
    args.reserved = reserved;
    args.overwrite = overwrite;
    return StartBackground(
        [] {
            SetBlockCount(0xFFFF);
            SetCurrentBlock(1);
        },
        [this, args] { SendMifWorker(*this, args); });
}

int32_t ByteFrame::ThrdGetHcMif(int32_t port, int32_t rate, const char* hc_mif_path, int32_t overwrite) {
    if (StatusValue() != StatusIdle) {
        SetErrorCode(ErrBusy);
        return ResultFailed;
    }
    TransferArgs args;
    if (!CopyArg(args.hc_name, sizeof args.hc_name, hc_mif_path)) {
        SetErrorCode(ErrBadName);
        return ResultFailed;
    }
    Detect(&port, &rate, nullptr);
    args.port = port;
    args.rate = rate;
    args.overwrite = overwrite;
    return StartBackground(
        [] {
            SetBlockCount(0xFFFF);
            SetCurrentBlock(1);
        },
        [this, args] { GetMifWorker(*this, args); });
}

int32_t ByteFrame::DelHcMif(int32_t port, int32_t rate, const char* hc_mif_path, int32_t confirm) {
    if (GetFile(port, rate, hc_mif_path, kMifCopy, 1) != ResultOk) return ResultFailed;
    const std::string copy = platform::PcPath(kMifCopy);
    DeleteFile(port, rate, hc_mif_path, confirm, false);
    std::string hcpath = Value(kMifCopy, "send", "hcpath", "\\", 64);
    NormalizeHcPath(&hcpath);
    const std::string folder = (!hcpath.empty() && hcpath[0] == '\\') ? hcpath : "\\" + hcpath;
    for (const std::string& key : FileKeys()) {
        const std::string name = Value(kMifCopy, "send", key, "NULL", 12);
        if (name.empty() || name == "NULL") continue;
        DeleteFile(port, rate, JoinHc(folder, name).c_str(), confirm, false);
    }
    platform::RemoveFile(copy);
    return ResultOk;
}

}  // namespace tarvix::bf
