// MIF packages on a text-frame handheld: the check of a package before its upload, its upload and
// download on the background worker, and the deletion of a handheld MIF file with its files.
#include <filesystem>
#include <string>
#include <vector>

#include "api/link_state.h"
#include "common/codes.h"
#include "common/handheld_names.h"
#include "common/messages.h"
#include "common/mif.h"
#include "platform/files.h"
#include "platform/prompt.h"
#include "textframe/commands.h"
#include "textframe/file_info.h"
#include "textframe/link_status.h"
#include "textframe/textframe.h"
#include "textframe/workers.h"

namespace tarvix::tf {
namespace {

namespace fs = std::filesystem;

constexpr size_t kHcPathLimit = 256;
constexpr size_t kPcPathLimit = 260;
constexpr size_t kNameLimit = 32;
constexpr size_t kFullPathLimit = 259;
constexpr int kNumberedFiles = 31;
constexpr const char* kMifCopy = ".\\zzmif.tmp";

int32_t Fail(uint32_t code) {
    SetLinkStatus(StatusFailed, static_cast<int32_t>(code));
    return ResultFailed;
}

std::string Value(const std::string& path, const char* section, const std::string& key, size_t limit) {
    return ReadIniValue(section, key, "", limit, path);
}

// The package files a section names, in their order: application, then file1 to file31.
std::vector<std::string> PackageFiles(const std::string& mif, const char* section) {
    std::vector<std::string> names;
    if (std::string name = Value(mif, section, "application", kNameLimit); !name.empty())
        names.push_back(name);
    for (int n = 1; n <= kNumberedFiles; ++n) {
        if (std::string name = Value(mif, section, "file" + std::to_string(n), kNameLimit); !name.empty())
            names.push_back(name);
    }
    return names;
}

bool HasSeparator(const std::string& name) {
    return name.find_first_of("/\\") != std::string::npos;
}

// The full form of a PC path ("." and ".." resolved); empty when it is longer than the platform's
// paths may be.
std::string FullPath(const std::string& path) {
    std::error_code ec;
    fs::path full = fs::absolute(fs::path(platform::PcPath(path.c_str())), ec);
    if (ec) return "";
    std::string text = full.lexically_normal().string();
    return text.size() > kFullPathLimit ? std::string() : text;
}

std::string WithSlash(std::string folder) {
    if (folder.empty() || (folder.back() != '/' && folder.back() != '\\')) folder += '\\';
    return folder;
}

// The PC folder of a package's files (send pcpath), ending with '/'; empty when it cannot be made.
std::string PackageFolder(const std::string& full_mif) {
    const std::string value = Value(full_mif, "send", "pcpath", kPcPathLimit);
    const std::string mif_folder = full_mif.substr(0, full_mif.find_last_of('/') + 1);
    std::string folder;
    if (value.size() >= 2 && value[1] == ':') {
        folder = value;
    } else if (!value.empty() && value[0] == '\\') {
        folder = mif_folder + value.substr(1);
    } else {
        folder = mif_folder + value;
    }
    std::string full = FullPath(WithSlash(folder));
    if (!full.empty() && full.back() != '/') full += '/';
    return full;
}

bool ReadableFile(const std::string& path) {
    const std::optional<std::string> found = platform::FindExisting(path);
    if (!found.has_value()) return false;
    std::error_code ec;
    const fs::file_status st = fs::status(*found, ec);
    return !ec && fs::is_regular_file(st) && (st.permissions() & fs::perms::owner_read) != fs::perms::none;
}

void CheckBox(const std::string& text) {
    platform::ShowMessageBox(text.c_str(), Prompt(TfPrompt::MifFormat).c_str(),
                             TARVIX_MB_OK | TARVIX_MB_ICONERROR);
}

// A value of a handheld's MIF file that would lead outside the package's folder.
int32_t RefuseMif(const std::string& value) {
    CheckBox(value);
    return Fail(ErrBadMif);
}

std::string NamePart(const std::string& path) {
    const size_t cut = path.find_last_of("/\\");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

// The handheld folder of a handheld path, with its separator; empty when it has none.
std::string HcFolderOf(const std::string& hc_path) {
    const size_t cut = hc_path.find_last_of("/\\");
    return cut == std::string::npos ? std::string() : hc_path.substr(0, cut + 1);
}

// The local copy of a handheld MIF file is gone when the operation returns, whatever its outcome.
struct MifCopy {
    MifCopy() = default;
    MifCopy(const MifCopy&) = delete;
    MifCopy& operator=(const MifCopy&) = delete;
    ~MifCopy() { platform::RemoveFile(platform::PcPath(kMifCopy)); }
    std::string path = platform::PcPath(kMifCopy);
};

bool ValidateMif(const char* mif_path) {
    if (mif_path == nullptr || mif_path[0] == '\0') return false;
    if (!ReadableFile(platform::PcPath(mif_path))) return false;
    const std::string mif = FullPath(mif_path);
    if (mif.empty()) return false;
    const std::string folder = PackageFolder(mif);
    std::vector<std::string> names = PackageFiles(mif, "send");
    if (std::string msg = Value(mif, "send", "msg", kNameLimit); !msg.empty()) names.push_back(msg);
    for (const std::string& name : names) {
        if (HasSeparator(name)) {
            CheckBox(name);
            return false;
        }
        if (folder.empty() || !ReadableFile(folder + name)) {
            CheckBox(folder + name);
            return false;
        }
    }
    const std::string receive_msg = Value(mif, "receive", "msg", kNameLimit);
    if (!receive_msg.empty() && HasSeparator(receive_msg)) {
        CheckBox(receive_msg);
        return false;
    }
    return true;
}

// Names the package's folder and MIF file to the handheld and runs it.
int32_t RunPackage(const std::string& hc_folder, const std::string& mif_name) {
    if (SetLinkStatus(StatusBusy, 0) == 0) return ResultBusy;
    const LinkTimeouts timeouts = LinkTestTimeouts();
    if (!HcCommand(CmdLinkTest, 0, nullptr, 0, nullptr, &timeouts)) return Fail(ErrNoLink);
    if (const uint32_t code = CommandWithText(SubSetPath, hc_folder); code != ErrNone) return Fail(code);
    if (!HcCommand(CmdLinkTest, 0, nullptr, 0, nullptr, &timeouts)) return Fail(ErrNoLink);
    if (const uint32_t code = CommandWithText(SubSetName, mif_name); code != ErrNone) return Fail(code);
    if (!HcCommand(CmdLinkTest, 0, nullptr, 0, nullptr, &timeouts)) return Fail(ErrNoLink);
    uint8_t status = 0;
    if (!HcCommand(CmdFile, SubRun, &status)) return Fail(ErrOperation);
    SetLinkStatus(StatusIdle, 0);
    return ResultOk;
}

int32_t SendMifToHc(const std::string& mif_path, int32_t overwrite) {
    TextFrame family;
    const std::string mif = FullPath(mif_path);
    if (mif.empty()) return Fail(ErrBadMif);
    std::string hc_path = Value(mif, "send", "hcpath", kHcPathLimit);
    if (hc_path.empty()) hc_path = DeviceKind != 4 ? "./" : "\\";

    HcFileRecord entry{};
    const int32_t found = family.GetHcFileInfo(hc_path.c_str(), &entry);
    if (found == ResultFailed || found == ResultBusy) return found;
    if (found == ResultOk && entry.kind != kKindFolder) return Fail(ErrMakeDir);
    if (found == ResultNotFound && !(DeviceKind == 4 && hc_path == "\\")) {
        const int32_t made = family.HcMakeDir(hc_path.c_str());
        if (made == ResultFailed || made == ResultBusy) return made;
    }

    const char last = hc_path.back();
    const std::string hc_folder = last == '/' || last == '\\' ? hc_path : hc_path + "\\";
    const std::string pc_folder = PackageFolder(mif);
    if (pc_folder.empty()) return Fail(ErrBadMif);
    for (const std::string& name : PackageFiles(mif, "send")) {
        const int32_t r =
            family.SendFileToHc((hc_folder + name).c_str(), (pc_folder + name).c_str(), overwrite);
        if (r == ResultFailed || r == ResultBusy) return r;
    }
    if (std::string msg = Value(mif, "send", "msg", kNameLimit); !msg.empty()) {
        const int32_t r = family.SendMsgToHc((pc_folder + msg).c_str());
        if (r == ResultFailed || r == ResultBusy) return r;
    }
    const std::string mif_name = NamePart(mif);
    const int32_t sent = family.SendFileToHc((hc_folder + mif_name).c_str(), mif.c_str(), overwrite);
    if (sent == ResultFailed || sent == ResultBusy) return sent;
    if (Value(mif, "send", "autorun", kPcPathLimit).rfind('1', 0) != 0) {
        SetLinkStatus(StatusIdle, 0);
        return ResultOk;
    }
    return RunPackage(hc_folder, mif_name);
}

int32_t GetHcMif(const std::string& hc_mif, int32_t overwrite) {
    TextFrame family;
    MifCopy copy;
    if (const int32_t r = family.GetHcFile(hc_mif.c_str(), kMifCopy, 1); r == ResultFailed || r == ResultBusy)
        return r;
    const std::string hc_folder = HcFolderOf(hc_mif);
    std::string pc_path = Value(copy.path, "receive", "pcpath", kPcPathLimit);
    if (pc_path.empty()) pc_path = ".\\";
    // Everything below comes from the handheld: the folder stays below the current folder and every
    // name is a plain name, or nothing is fetched at all.
    if (!IsFolderBelowBase(pc_path)) return RefuseMif(pc_path);
    std::vector<std::string> names = PackageFiles(copy.path, "receive");
    const std::string msg = Value(copy.path, "receive", "msg", kNameLimit);
    for (const std::string& name : names) {
        if (!IsPlainName(name)) return RefuseMif(name);
    }
    if (!msg.empty() && !IsPlainName(msg)) return RefuseMif(msg);
    std::string pc_folder = FullPath(WithSlash(pc_path));
    if (pc_folder.empty()) return Fail(ErrBadMif);
    if (pc_folder.back() != '/') pc_folder += '/';

    for (const std::string& name : names) {
        const int32_t r = family.GetHcFile((hc_folder + name).c_str(), (pc_folder + name).c_str(), overwrite);
        if (r == ResultFailed || r == ResultBusy) return r;
    }
    if (!msg.empty()) {
        const int32_t r = family.GetHcMsg((pc_folder + msg).c_str());
        if (r == ResultFailed || r == ResultBusy) return r;
    }
    return ResultOk;
}

int32_t SendMifBody(const WorkerArgs& args) {
    return SendMifToHc(args.path, args.mode);
}

int32_t GetMifBody(const WorkerArgs& args) {
    return GetHcMif(args.name, args.mode);
}

}  // namespace

int32_t TextFrame::ThrdSendMifToHc(const char* mif_path, int32_t overwrite) {
    if (!ValidateMif(mif_path)) return Fail(ErrBadMif);
    return StartWorker(SendMifBody, nullptr, mif_path, overwrite, ErrSendFail);
}

int32_t TextFrame::ThrdGetHcMif(const char* hc_mif_path, int32_t overwrite) {
    return StartWorker(GetMifBody, hc_mif_path, nullptr, overwrite, ErrReceiveFail);
}

int32_t TextFrame::DelHcMif(const char* hc_mif_path, int32_t confirm) {
    MifCopy copy;
    if (const int32_t r = GetHcFile(hc_mif_path, kMifCopy, 1); r == ResultFailed || r == ResultBusy) return r;
    if (const int32_t r = DelHcFile(hc_mif_path, confirm); r == ResultFailed || r == ResultBusy) return r;
    const std::string hc_folder = HcFolderOf(hc_mif_path);
    for (const std::string& name : PackageFiles(copy.path, "send")) {
        const int32_t r = DelHcFile((hc_folder + name).c_str(), confirm);
        if (r == ResultBusy) return r;
        if (r == ResultFailed && Status().last_error.load() != ErrFileNotFound) return r;
    }
    SetLinkStatus(StatusIdle, 0);
    return ResultOk;
}

}  // namespace tarvix::tf
