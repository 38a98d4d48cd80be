// Upload, download and delete of whole files on a text-frame handheld, also in the background.
#include <cstring>
#include <string>
#include <string_view>

#include "api/link_state.h"
#include "common/codes.h"
#include "common/handheld_names.h"
#include "common/messages.h"
#include "common/records.h"
#include "platform/files.h"
#include "platform/prompt.h"
#include "textframe/commands.h"
#include "textframe/file_info.h"
#include "textframe/frame_transfer.h"
#include "textframe/link_status.h"
#include "textframe/short_name.h"
#include "textframe/textframe.h"
#include "textframe/timing.h"
#include "textframe/workers.h"

namespace tarvix::tf {
namespace {

// What must stay free on the handheld after a new file.
constexpr uint64_t kUploadReserve = 500000;
// Handhelds of variant 4 take files below this size only.
constexpr uint64_t kVariant4SizeLimit = 33276463;
// The handheld announces sizes and free space in 32 bits.
constexpr uint64_t kLargestFile = 0xFFFFFFFFu;
constexpr size_t kShortNameInputLimit = 64;
constexpr uint32_t kAutopakFlag = 0x100;

int32_t Fail(uint32_t code) {
    SetLinkStatus(StatusFailed, static_cast<int32_t>(code));
    return ResultFailed;
}

int32_t Finish() {
    SetLinkStatus(StatusIdle, 0);
    return ResultOk;
}

// Overwrite mode as the family reads it: 0 keep, 1 overwrite, anything else (unsigned) asks.
bool ShouldAsk(int32_t mode) {
    return static_cast<uint32_t>(mode) >= 2;
}

// The family's questions and its folder-clash box are system-modal: the user answers before anything else.
bool Ask(const std::string& text) {
    return platform::AskYesNo(text.c_str(), Prompt(TfPrompt::Attention).c_str(),
                              TARVIX_MB_ICONQUESTION | TARVIX_MB_SYSTEMMODAL);
}

bool CommandWithNumber(uint8_t sub_command, uint32_t value) {
    uint8_t data[4];
    PutLe32(data, value);
    uint8_t status = 0;
    return HcCommand(CmdFile, sub_command, &status, sizeof data, data) && status == 0;
}

void ShowOnHandheld(const char* text) {
    const size_t n = std::strlen(text);
    HcCommand(CmdShowText, 0, nullptr, static_cast<uint16_t>(n > kPacketData ? kPacketData : n),
              reinterpret_cast<const uint8_t*>(text));
}

bool OverUsb() {
    return Status().port.load() == 0;
}

// Whether an entry the handheld gives is the file of that name part: names without regard to case,
// as far as the entry's name field reaches.
bool IsEntryOf(const HcFileRecord& record, const std::string& name) {
    const std::string want = NameFromPath(name.c_str());
    const size_t n = strnlen(record.name, sizeof record.name);
    // The entry's field holds 31 characters: a longer name is known by its start.
    const bool whole = n == want.size() || (n == sizeof record.name - 1 && want.size() > n);
    if (n == 0 || !whole) return false;
    return SameNameIgnoringCase(std::string_view(record.name, n), std::string_view(want).substr(0, n)) &&
           record.kind == kKindFile;
}

// The handheld's entry for an uploaded file, asked under the current name (one exchange), and once
// more with the name sent again when that exchange failed: 0 found, 2 no such file, 1 failed.
int32_t FindUploaded(const std::string& name, bool name_in_doubt, HcFileRecord* record) {
    if (!name_in_doubt) {
        const int32_t r = FindCurrentClaimed(record);
        if (r != ResultFailed) return r;
    }
    return LookUpClaimed(name, record);
}

// What the start of an upload came to.
enum class UploadStart {
    Refused,         // the upload command went unanswered or was refused
    Undelivered,     // the data did not all go through (or the file could not be read from its start)
    LastUnanswered,  // every frame but the last was taken, and the last went out without an answer
    Delivered,       // every byte was taken
};

// After a send of the data that did not go through whole: whether the handheld may hold the whole
// file all the same, its last frame alone gone unanswered (over the line, without a stop).
bool MayHoldTheFile() {
    return !OverUsb() && LastFrameUnanswered() && !StopPending();
}

// The upload command with the family's flags, then the whole file from its start.  `deadline`, when
// given, is lifted while the data move: they have waits of their own.
UploadStart StartUpload(platform::File& file, uint32_t length, ExchangeDeadline* deadline) {
    uint8_t flags[4];
    PutLe32(flags, Status().autopak.load() != 0 ? kAutopakFlag : 0);
    uint8_t status = 0;
    if (!UploadCommand(SubUpload, sizeof flags, flags, &status) || status != 0) return UploadStart::Refused;
    if (!file.Seek(0)) return UploadStart::Undelivered;
    uint32_t sent = 0;
    if (deadline != nullptr) deadline->Hold();
    const bool delivered = LinkSendStream(file, length, &sent) && sent == length;
    if (deadline != nullptr) deadline->Resume();
    if (delivered) return UploadStart::Delivered;
    return MayHoldTheFile() ? UploadStart::LastUnanswered : UploadStart::Undelivered;
}

// Whether two entries of one name tell the same file: the same size, date and time (the time in the
// handheld's 2-second steps).
bool SameEntry(const HcFileRecord& a, const HcFileRecord& b) {
    return LoadField<uint32_t>(&a.size) == LoadField<uint32_t>(&b.size) &&
           LoadField<uint16_t>(&a.date) == LoadField<uint16_t>(&b.date) &&
           LoadField<uint16_t>(&a.time) == LoadField<uint16_t>(&b.time);
}

// What settles an upload once its data went out.  The handheld's verdict after data whose every frame
// it took is its word: the upload is done when its entry then holds a file of the upload's size.
// Where that word is missing (the verdict lost, or the answer to the last frame, so the verdict may
// speak of an upload the handheld gave up), only the entry can tell: it must hold the file and differ
// from the entry found before the upload in size, date or time.  An entry that did not change may be
// the old file or the new one stored within the old one's time step; the file is then sent once more
// and taken as stored when that send goes through whole and is answered 0.  Whatever the handheld
// sends, all of this ends within the upload check's time (the second send's data aside).
class UploadCheck {
  public:
    UploadCheck(const std::string& name, platform::File& file, uint32_t length, const HcFileRecord* before)
        : name_(name),
          file_(file),
          length_(length),
          before_(before),
          deadline_(GetTiming().upload_check_ms) {}

    // Every frame of the data was taken.  A refused upload end or an unconfirmed one is the upload
    // end's failure.
    int32_t AfterDelivered() {
        uint8_t status = 0;
        const bool answered = HcCommand(CmdUploadEnd, 0, &status);
        if (answered && status != 0) return Fail(ErrOperation);
        if (answered) return HoldsTheFile();
        return Confirm(ErrOperation);
    }

    // Every frame but the last was taken, and the last went out without an answer: the handheld may
    // hold the whole file or may still wait for its end.  The abort frame ends an upload it still
    // waits on (the upload end would otherwise arrive as a last block).  However the old entry looked,
    // a file not confirmed is a failed send.
    int32_t AfterLastFrameUnanswered() {
        ComSendAbortFrame();
        uint8_t status = 0;
        const bool answered = HcCommand(CmdUploadEnd, 0, &status);
        if (answered && status != 0) return Fail(ErrSendFail);
        return Confirm(ErrSendFail);
    }

  private:
    // After a verdict of 0 that followed a complete send: the handheld must hold a file of the
    // upload's size under its name (a handheld that claims a file it could not store is caught here).
    int32_t HoldsTheFile() {
        HcFileRecord entry{};
        const int32_t found = FindUploaded(name_, false, &entry);
        if (found == ResultFailed) return ResultFailed;
        if (found == ResultNotFound || !IsEntryOf(entry, name_)) return Fail(ErrFileNotFound);
        if (LoadField<uint32_t>(&entry.size) != length_) return Fail(ErrSendFail);
        return Finish();
    }

    // Whether the handheld's entry under the name is a file of the upload's size.
    bool FindsTheFile(bool name_in_doubt, HcFileRecord* entry) {
        return FindUploaded(name_, name_in_doubt, entry) == ResultOk && IsEntryOf(*entry, name_) &&
               LoadField<uint32_t>(&entry->size) == length_;
    }

    // Without the handheld's word: its entry, or a second send.  `code` is the one failure this
    // upload reports when the file was not confirmed, whatever step found it out.
    int32_t Confirm(uint32_t code) {
        HcFileRecord entry{};
        // The name goes again: the exchange whose answer was lost may have left the handheld anywhere.
        if (!FindsTheFile(true, &entry)) return Fail(code);
        if (before_ == nullptr || !SameEntry(*before_, entry)) return Finish();
        return SendAgain(code);
    }

    // The one further send (never more): the size, the upload command and the data, each taken, and
    // a verdict of 0; then the file must be there as after any complete send.
    int32_t SendAgain(uint32_t code) {
        if (StopPending()) return Fail(code);
        if (!CommandWithNumber(SubFileSize, length_)) return Fail(code);
        const UploadStart start = StartUpload(file_, length_, &deadline_);
        // A handheld left waiting for the last block is brought back to its commands.
        if (start == UploadStart::LastUnanswered) ComSendAbortFrame();
        if (start != UploadStart::Delivered) return Fail(code);
        uint8_t status = 0;
        if (!HcCommand(CmdUploadEnd, 0, &status) || status != 0) return Fail(code);
        HcFileRecord entry{};
        return FindsTheFile(false, &entry) ? Finish() : Fail(code);
    }

    const std::string& name_;
    platform::File& file_;
    const uint32_t length_;
    const HcFileRecord* const before_;
    ExchangeDeadline deadline_;
};

int32_t SendFileBody(const WorkerArgs& a) {
    return TextFrame().SendFileToHc(a.name.c_str(), a.path.c_str(), a.mode);
}
int32_t GetFileBody(const WorkerArgs& a) {
    return TextFrame().GetHcFile(a.name.c_str(), a.path.c_str(), a.mode);
}

}  // namespace

int32_t TextFrame::SendFileToHc(const char* hc_name, const char* pc_path, int32_t overwrite) {
    if (pc_path == nullptr || pc_path[0] == '\0') return Fail(ErrBadParam);
    platform::File file;
    if (!file.Open(platform::PcPath(pc_path), "rb")) return Fail(ErrCreateFile);
    std::string name =
        hc_name != nullptr && hc_name[0] != '\0' ? std::string(hc_name) : NameFromPath(pc_path);
    if (DeviceKind == 4) {
        // The 8.3 rule is defined for names of up to 64 characters; a longer one is not guessed at.
        if (name.size() > kShortNameInputLimit) return Fail(ErrBadName);
        name = MakeShortName(name);
    }
    if (const uint32_t code = CheckInfoPath(name.c_str()); code != ErrNone) return Fail(code);

    // One claim covers the look-up and the upload, so no other operation can change the handheld's
    // current file name in between (also while the question below waits for its answer).
    if (SetLinkStatus(StatusBusy, 0) == 0) return ResultBusy;
    HcFileRecord entry{};
    const int32_t found = LookUpClaimed(name, &entry);
    if (found == ResultFailed) return ResultFailed;
    const bool exists = found == ResultOk;
    if (exists && entry.kind != kKindFile) return Fail(ErrCreateFile);
    if (exists && overwrite == 0) return Finish();
    if (exists && ShouldAsk(overwrite) && !Ask(name + Prompt(TfPrompt::Overwrite))) return Finish();

    const std::optional<uint64_t> size = file.Size();
    if (!size.has_value()) return Fail(ErrCreateFile);
    const uint64_t length = *size;
    if (length > kLargestFile) return Fail(ErrDiskFull);
    if (DeviceKind == 4 && length >= kVariant4SizeLimit) {
        SetLinkStatus(StatusFailed, 0);
        return ResultFailed;
    }
    if (!CommandWithNumber(SubFileSize, static_cast<uint32_t>(length))) return Fail(ErrOperation);
    if (!HcCommand(CmdFile, SubFreeSpace, nullptr)) return Fail(ErrOperation);
    uint8_t answer[4] = {};
    uint32_t received = 0;
    if (!LinkReceiveData(answer, sizeof answer, &received) || received != sizeof answer)
        return Fail(ErrReceiveFail);
    // In 64 bits: a 32-bit sum wraps and lets a file through that the handheld cannot hold.
    const uint64_t free_space = GetLe32(answer);
    const uint64_t available =
        exists ? free_space + LoadField<uint32_t>(&entry.size) + kUploadReserve : free_space;
    if (available < length + kUploadReserve) {
        ShowOnHandheld(Prompt(TfPrompt::NoMemory).c_str());
        return Fail(ErrDiskFull);
    }
    const UploadStart start = StartUpload(file, static_cast<uint32_t>(length), nullptr);
    if (start == UploadStart::Refused) return Fail(ErrOperation);
    // Only a send whose last frame alone went unanswered may have left the whole file behind.
    if (start == UploadStart::Undelivered) return Fail(ErrSendFail);
    UploadCheck check(name, file, static_cast<uint32_t>(length), exists ? &entry : nullptr);
    return start == UploadStart::Delivered ? check.AfterDelivered() : check.AfterLastFrameUnanswered();
}

int32_t TextFrame::GetHcFile(const char* hc_path, const char* pc_path, int32_t overwrite) {
    if (const uint32_t code = CheckInfoPath(hc_path); code != ErrNone) return Fail(code);
    const bool named = pc_path != nullptr && pc_path[0] != '\0';
    const std::string shown = named ? std::string(pc_path) : NameFromPath(hc_path);
    const std::string target = named ? platform::PcPath(pc_path) : shown;

    if (SetLinkStatus(StatusBusy, 0) == 0) return ResultBusy;
    HcFileRecord entry{};
    const int32_t found = LookUpClaimed(hc_path, &entry);
    if (found == ResultFailed) return ResultFailed;
    if (found == ResultNotFound) return Fail(ErrFileNotFound);
    const uint32_t size = LoadField<uint32_t>(&entry.size);

    if (target.empty()) return Fail(ErrBadParam);
    if (platform::IsDirectory(target)) {
        platform::ShowMessageBox(Prompt(TfPrompt::FolderExists).c_str(), Prompt(TfPrompt::Attention).c_str(),
                                 TARVIX_MB_OK | TARVIX_MB_ICONERROR | TARVIX_MB_SYSTEMMODAL);
        return Fail(ErrCreateFile);
    }
    if (target.back() == '/') return Fail(ErrBadParam);
    if (platform::FileExists(target)) {
        if (overwrite == 0) return Finish();
        if (ShouldAsk(overwrite) && !Ask(shown + Prompt(TfPrompt::Overwrite))) return Finish();
    }

    // The file arrives beside the target and replaces it only when all of it came: a failed
    // download leaves the previous file as it was.
    platform::ReplacementFile replacement(target);
    if (!replacement.Open()) return Fail(ErrCreateFile);
    if (!CommandWithNumber(SubFileSize, size)) return Fail(ErrOperation);
    uint8_t status = 0;
    if (!HcCommand(CmdFile, SubDownload, &status) || status != 0) return Fail(ErrOperation);
    uint32_t received = 0;
    if (!LinkReceiveStream(replacement.file(), size, &received)) return Fail(ErrReceiveFail);
    // A file shorter than announced is a failed download, not a short file.
    if (received != size) return Fail(ErrReceiveFail);
    if (!replacement.Commit()) return Fail(ErrCreateFile);
    return Finish();
}

int32_t TextFrame::DelHcFile(const char* hc_path, int32_t confirm) {
    if (const uint32_t code = CheckInfoPath(hc_path); code != ErrNone) return Fail(code);
    if (SetLinkStatus(StatusBusy, 0) == 0) return ResultBusy;
    HcFileRecord entry{};
    const int32_t found = LookUpClaimed(hc_path, &entry);
    if (found == ResultFailed) return ResultFailed;
    if (found == ResultNotFound) return Fail(ErrFileNotFound);
    if (ShouldAsk(confirm) && !Ask(Prompt(TfPrompt::DeleteFile) + hc_path + "??")) return Finish();
    uint8_t status = 0;
    if (!HcCommand(CmdFile, SubDelete, &status) || status != 0) return Fail(ErrOperation);
    return Finish();
}

int32_t TextFrame::ThrdSendFileToHc(const char* hc_name, const char* pc_path, int32_t overwrite) {
    return StartWorker(SendFileBody, hc_name, pc_path, overwrite, ErrSendFail);
}

int32_t TextFrame::ThrdGetHcFile(const char* hc_path, const char* pc_path, int32_t overwrite) {
    return StartWorker(GetFileBody, hc_path, pc_path, overwrite, ErrReceiveFail);
}

}  // namespace tarvix::tf
