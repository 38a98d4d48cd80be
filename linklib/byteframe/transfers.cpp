// Upload, download and deletion of single handheld files.

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "byteframe/byteframe.h"
#include "byteframe/operations.h"
#include "byteframe/transfer_status.h"
#include "common/codes.h"
#include "common/handheld_names.h"
#include "common/records.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/profile.h"
#include "platform/prompt.h"
#include "tables/pack.h"
#include "tables/packed_table.h"
#include "tables/unpack.h"

namespace tarvix::bf {

namespace {

Protocol& P() {
    return Proto();
}

constexpr uint32_t kUploadLimit = 33276463;  // 0x1FBC22F
constexpr uint32_t kReservedSpace = 16256;   // free space the handheld keeps for itself
constexpr size_t kMaxGivenName = 64;
constexpr size_t kMaxDerivedName = 71;
constexpr size_t kMaxUploadPath = 239;
constexpr size_t kMaxDownloadPath = 511;
constexpr uint32_t kDeleteUnit = 4064;
// Where the owner search keeps its copy of a package file.
constexpr const char* kOwnerCopy = ".\\mif.tmp";

// A PC path's name part: after its last '\' (or '/', the Linux separator).
std::string PcNamePart(const std::string& path) {
    size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Times the version and the check mode are asked for before the answer is taken for lost.
constexpr int kCheckQuestions = 3;

// The firmware's check type for the file data into *check: the handheld's check-mode byte when the
// version is 60 or more, else 0 (the sum).  A handheld switches its check when it answers the
// check-mode question, so a lost answer is asked for again; when none comes, the two sides could
// disagree on the check of every frame, and the transfer is not begun (false, ErrNoResponse).  A
// version that never arrives leaves the sum: the handheld switches only on the question after it.
bool ChooseCheck(uint8_t* check) {
    *check = 0;
    int number = 0;
    bool known = false;
    for (int ask = 0; ask < kCheckQuestions && !known; ++ask) {
        if (g_stop_flag.load()) break;
        uint8_t version[9]{};
        int32_t received = 0;
        if (P().SendCommandBlock(CmdVersion, 0, 0) != kDone ||
            P().ReceiveData(version, sizeof version, &received) != kDone) {
            continue;
        }
        number = VersionNumber(version, static_cast<size_t>(std::clamp<int32_t>(received, 0, 9)));
        known = true;
    }
    if (number < 60) return true;
    for (int ask = 0; ask < kCheckQuestions; ++ask) {
        if (g_stop_flag.load()) break;
        uint8_t mode = 0;
        int32_t received = 0;
        if (P().SendCommandBlock(CmdCrcMode, 0, 0) == kDone &&
            P().ReceiveData(&mode, 1, &received) == kDone && received == 1) {
            *check = mode;
            return true;
        }
    }
    SetErrorCode(g_stop_flag.load() ? ErrUserStop : ErrNoResponse);
    return false;
}

// The handheld's verdict on the file it has just received.  It keeps that verdict until its next file
// operation, so a question whose answer the line spoiled is asked again: a stored file must not be
// reported as lost because one answer was.  False when no answer came at all.
bool AskUploadResult(uint8_t* result) {
    for (int ask = 0; ask < kCheckQuestions; ++ask) {
        if (g_stop_flag.load() || P().DeadlinePassed()) break;
        if (FileCommand(SubResult) && ReceiveAnswer(result, 1)) return true;
    }
    return false;
}

// The entry kinds a stored file is listed with (the package search takes the same ones); a folder is
// 4, and the other kinds are no file either.
bool IsFileKind(uint8_t kind) {
    return kind == 1 || kind == 3;
}

// Whether the handheld holds `name` as a file of `length` bytes, asked on the open link after an
// upload: a result byte of 0 does not show that the file went under the name meant (a name taken from
// the wrong frame) or that all of it arrived.  False with ErrWriteFile when the entry is missing, no
// file or of another size, else with the look-up's own code (ErrUserStop after a stop, ErrTimeout
// when the check's time ran out).
bool HoldsUpload(const std::string& name, uint32_t length) {
    HcFileEntry entry{};
    int32_t found = ResultFailed;
    for (int ask = 0; ask < kCheckQuestions && found == ResultFailed; ++ask) {
        if (g_stop_flag.load() || P().DeadlinePassed()) break;
        found = FindOnOpenLink(name, &entry);
    }
    if (found == ResultFailed) {
        // A stop met in any step of the look-up is reported as the stop, whatever that step stored.
        if (g_stop_flag.load()) {
            SetErrorCode(ErrUserStop);
        } else if (P().DeadlinePassed()) {
            SetErrorCode(ErrTimeout);
        } else if (ErrorCode() == ErrNone) {
            SetErrorCode(ErrNoResponse);
        }
        return false;
    }
    entry.name[sizeof entry.name - 1] = 0;
    if (found != ResultOk || !IsFileKind(entry.kind) || !SameNameIgnoringCase(entry.name, NamePart(name)) ||
        static_cast<uint32_t>(LoadField<int32_t>(&entry.size)) != length) {
        SetErrorCode(ErrWriteFile);
        return false;
    }
    return true;
}

// The check after an upload's data: the verdict, then the look-up, within a time of their own (the
// protocol's deadline, which the caller clears).  The verdict has the first half of it at most, so
// that the look-up, which decides when no verdict came, always gets its turn.  False with the error
// code stored.
bool CheckUpload(const std::string& name, uint32_t length) {
    const uint32_t start = platform::GetClock().TickMs();
    const uint32_t limit = Tune().upload_check_limit_ms.load();
    P().SetDeadline(start, limit / 2);
    uint8_t result = 1;
    const bool answered = AskUploadResult(&result);
    if (answered && result != 0) {
        SetErrorCode(ErrWriteFile);
        return false;
    }
    P().SetDeadline(start, limit);
    return HoldsUpload(name, length);
}

// Deletes the named handheld file and waits for the handheld to finish: polled when it answers the
// feature question, else for a time that grows with the size.  False with the error code stored.
bool DeleteAndWait(const std::string& name, uint32_t size, bool feature_after_command) {
    int32_t fixed = Tune().fixed_delete_wait_ms.load();
    uint32_t wait = fixed >= 0 ? static_cast<uint32_t>(fixed) : size / kDeleteUnit * 13 + 200;
    if (!feature_after_command) P().HcSetExitTime(500, 100);
    bool feature_sent = FileCommand(SubFeature);
    if (feature_after_command) P().HcSetExitTime(500, 100);
    uint8_t feature = 0;
    int32_t received = 0;
    bool polled = feature_sent && P().ReceiveData(&feature, 1, &received) == kDone && received >= 1;
    P().HcSetExitTime(500, 3000);
    if (!FileCommandWithText(SubSetName, name) || !FileCommand(SubDelete)) {
        SetErrorCode(ErrNoAck);
        return false;
    }
    if (!polled) {
        if (!PauseMs(wait)) {
            SetErrorCode(ErrUserStop);
            return false;
        }
        return true;
    }
    platform::Clock& clock = platform::GetClock();
    const uint32_t start = clock.TickMs();
    const uint32_t limit = Tune().delete_poll_limit_ms.load();
    for (;;) {
        if (g_stop_flag.load()) {
            SetErrorCode(ErrUserStop);
            return false;
        }
        uint8_t done = 0xFF;
        received = 0;
        if (P().ReceiveData(&done, 1, &received) == kDone && received >= 1 && done == 0) return true;
        if (g_stop_flag.load()) {
            SetErrorCode(ErrUserStop);
            return false;
        }
        if (clock.TickMs() - start >= limit) {
            SetErrorCode(ErrTimeout);
            return false;
        }
        PauseMs(Tune().poll_pause_ms.load());
    }
}

// Removes the packed temporary of an upload on every way out.
struct TemporaryFile {
    std::string path;
    ~TemporaryFile() {
        if (!path.empty()) platform::RemoveFile(path);
    }
};

}  // namespace

int32_t SendFile(int32_t port, int32_t rate, const char* hc_name, const char* pc_path, int32_t overwrite) {
    if (pc_path == nullptr || pc_path[0] == 0) {
        SetErrorCode(ErrFileNotFound);
        return ResultFailed;
    }
    const std::string pc = pc_path;
    if (pc.size() > kMaxUploadPath) {
        SetErrorCode(ErrBadName);
        return ResultFailed;
    }
    const std::string pc_name = PcNamePart(pc);
    const bool table = ExtensionIs(pc_name, "dbf");
    const bool mid = ExtensionIs(pc_name, "mid");
    TemporaryFile packed;
    std::string send_path = platform::PcPath(pc_path);
    if (table) {
        tables::TablePacker packer;
        int32_t outcome = packer.bfPackTable(send_path);
        packed.path = packer.dbc_name();
        if (outcome != 0) {
            SetErrorCode(packer.failure() == tables::PackFailure::CannotOpen ? ErrFileNotFound : ErrBadFile);
            return ResultFailed;
        }
        send_path = packed.path;
    }
    const std::string given = hc_name != nullptr ? hc_name : "";
    if (given.size() > kMaxGivenName || (given.empty() && pc_name.size() > kMaxDerivedName)) {
        SetErrorCode(ErrBadName);
        return ResultFailed;
    }
    std::string name = given.empty() ? pc_name : given;
    if (table) name = ReplaceLastChar(name, 'f', true);
    name = MakeShortName(name);

    platform::File file;
    if (!file.Open(send_path, "rb")) {
        SetErrorCode(ErrFileNotFound);
        return ResultFailed;
    }
    std::optional<uint64_t> size = file.Size();
    if (!size) return ResultFailed;
    if (static_cast<uint16_t>(port) != 0 && *size > kMaxSerialTransfer) {
        // Past this length the block numbers of a serial transfer run out.
        SetErrorCode(ErrBadLength);
        return ResultFailed;
    }
    if (*size > kUploadLimit) return ResultFailed;
    const uint32_t length = static_cast<uint32_t>(*size);
    SetFileLength(static_cast<int32_t>(length));
    // Over USB the percentage counts stream packets.
    const uint32_t per_block = static_cast<uint16_t>(port) == 0 ? Usb().PayloadSize() : kMaxPayload;
    SetBlockCount(std::max<int32_t>(1, static_cast<int32_t>(length / per_block)));
    SetCurrentBlock(1);

    HcFileEntry existing{};
    int32_t info = FileInfo(port, rate, name.c_str(), &existing);
    if (info == ResultFailed) return ResultFailed;
    const bool exists = info == ResultOk;
    if (exists && existing.kind == 4) return ResultFailed;  // a folder of that name
    const uint32_t old_size = exists ? static_cast<uint32_t>(LoadField<int32_t>(&existing.size)) : 0;
    uint32_t mode = static_cast<uint32_t>(overwrite);
    if (mode == 3) mode = 2;
    if (exists && mode == 0) return ResultOk;
    if (exists && mode == 2) {
        std::string text = given + Prompt(BfPrompt::Overwrite);
        if (!platform::AskYesNo(text.c_str(), Prompt(BfPrompt::Attention).c_str(), TARVIX_MB_ICONQUESTION))
            return ResultOk;
    }

    const BfPrompt fail = BfPrompt::UploadFail;
    if (BeginOperation(port, rate, &fail) != Begin::Ok) return ResultFailed;
    uint8_t space[4];
    if (!FileCommand(SubFreeSpace) || !ReceiveAnswer(space, 4)) {
        SetErrorCode(ErrNoResponse);
        ShowPrompt(fail);
        EndOperation();
        return ResultFailed;
    }
    const uint32_t free_space = GetBe32(space);
    const uint32_t available = (free_space > kReservedSpace ? free_space - kReservedSpace : 0) + old_size;
    if (available < length) {
        SetErrorCode(ErrDiskFull);
        g_stop_flag.store(false);
        ShowPrompt(BfPrompt::NoMemory);
        EndOperation();
        return ResultFailed;
    }
    if (exists && !DeleteAndWait(name, old_size, true)) {
        EndOperation();
        return ResultFailed;
    }
    if (!FileCommandWithText(SubSetName, name)) {
        ShowPrompt(fail);
        EndOperation();
        return ResultFailed;
    }
    uint8_t check = 0;
    if (!ChooseCheck(&check)) {
        ShowPrompt(fail);
        EndOperation();
        return ResultFailed;
    }
    if (!DataFileCommand(SubUpload)) {
        SetErrorCode(ErrNoAck);
        ShowPrompt(fail);
        EndOperation();
        return ResultFailed;
    }
    file.Seek(0);
    if (check != 0) P().SetCrcMode(check);
    int32_t streamed = P().SendStream(file, length, mid);
    file.Close();
    if (streamed != kDone && streamed != kLastUnanswered) {
        // Whatever the stream stored (a stop included), the upload reports the broken link.
        SetErrorCode(streamed == kLocalFile ? ErrReadFile : ErrNoLink);
        EndOperation();
        return ResultFailed;
    }
    // The handheld's verdict; a refusal stands.  When it does not come (or the last frame was never
    // answered), the handheld's own entry for the name tells whether the file is there.
    {
        // A failed check tells the handheld within the check's own time: a handheld that let it run
        // out is not waited for once more.
        const DeadlineScope clear_at_end(P());
        if (!CheckUpload(name, length)) {
            ShowPrompt(fail);
            EndOperation();
            return ResultFailed;
        }
    }
    ShowPrompt(BfPrompt::UploadFinished);
    EndOperation();
    return ResultOk;
}

namespace {

// Whether a download may replace the PC file `local_text`: a missing one always, an existing one in
// overwrite mode 1, after a "Yes" in modes 2 and 3, never in mode 0.
bool MayReplace(const std::string& local_text, int32_t overwrite) {
    const std::string target = platform::PcPath(local_text.c_str());
    if (!platform::FileExists(target) && !platform::IsDirectory(target)) return true;
    const uint32_t mode = static_cast<uint32_t>(overwrite);
    if (mode == 0) return false;
    if (mode == 1) return true;
    const std::string text = local_text + Prompt(BfPrompt::Overwrite);
    return platform::AskYesNo(text.c_str(), Prompt(BfPrompt::Attention).c_str(), TARVIX_MB_ICONQUESTION);
}

// The handheld file `hc` into the part file of `local`, which lies beside its target: the operation
// frame, the look-up, the data and "Finished" on the handheld.  On ResultOk the part file holds all
// the data the handheld announced; the target itself is never touched here.
int32_t FetchInto(int32_t port, int32_t rate, const std::string& hc, platform::ReplacementFile& local) {
    const bool mid = ExtensionIs(hc, "mid");
    const BfPrompt fail = BfPrompt::DownloadFail;

    if (BeginOperation(port, rate, &fail) != Begin::Ok) return ResultFailed;
    EndOperation();
    HcFileEntry entry{};
    int32_t info = FileInfo(port, rate, hc.c_str(), &entry);
    if (info == ResultNotFound) {
        SetErrorCode(ErrFileNotFound);
        if (P().line().ComInit(port, rate) != -1) ShowPrompt(fail);
        EndOperation();
        return ResultFailed;
    }
    if (info != ResultOk) return ResultFailed;  // without the file's information nothing is replaced

    if (P().line().ComInit(port, rate) == -1) {
        SetErrorCode(ErrNoLink);
        return ResultFailed;
    }
    if (!FileCommandWithText(SubSetName, hc)) {
        ShowPrompt(fail);
        EndOperation();
        return ResultFailed;
    }
    if (platform::IsDirectory(local.target()) || !local.Open()) {
        SetErrorCode(ErrCreateFile);
        ShowPrompt(fail);
        EndOperation();
        return ResultFailed;
    }
    uint8_t check = 0;
    if (!ChooseCheck(&check)) {
        ShowPrompt(fail);
        EndOperation();
        return ResultFailed;
    }
    if (!FileCommand(SubDownload)) {
        SetErrorCode(ErrNoAck);
        ShowPrompt(fail);
        EndOperation();
        return ResultFailed;
    }
    if (check != 0) P().SetCrcMode(check);
    // The handheld told the file's size: the stream takes no more than that, and one that ends short
    // of it is not the file.
    const uint32_t announced = LoadField<uint32_t>(&entry.size);
    if (!OnWorkerThread()) {
        // A caller's own download tells its progress by the same record as a background one: without
        // the count, the percent would be reckoned against whatever transfer ran before.
        SetFileLength(static_cast<int32_t>(announced));
        const auto unit = static_cast<uint32_t>(P().line().UsbMode() ? Usb().PayloadSize() : kMaxPayload);
        SetBlockCount(std::max<int32_t>(1, static_cast<int32_t>(announced / unit)));
        SetCurrentBlock(1);
    }
    int32_t streamed = P().ReceiveStream(local.file(), mid, announced);
    if (streamed == kDone && local.file().Tell() != static_cast<int64_t>(announced)) {
        SetErrorCode(ErrPacketLost);
        streamed = kLostBlock;
    }
    if (streamed == kDone && !local.file().Flush()) {
        SetErrorCode(ErrWriteFile);
        streamed = kLocalFile;
    }
    if (streamed != kDone) {
        SetErrorCode(streamed == kLostBlock   ? ErrPacketLost
                     : streamed == kLocalFile ? ErrWriteFile
                     : streamed == kOverSize  ? ErrBadLength
                                              : ErrNoAck);
        ShowPrompt(fail);
        EndOperation();
        return ResultFailed;
    }
    ShowPrompt(BfPrompt::DownloadFinished);
    EndOperation();
    return ResultOk;
}

// Unpacks the packed table that `packed` holds in its part file into a second part file beside the
// same target, which replaces the target in one rename once it is complete: the earlier target is
// never moved.  `header` (empty: none) supplies the table's own header.  On a failure the unpacked
// part is removed, the packed download is kept under the packed table's aside name (a stale one
// replaced) and the target stays as it was.  The unpacker's box, if the failure calls for one, is
// the caller's to show once every file of the download is settled.
int32_t UnpackDownload(platform::ReplacementFile& packed, const std::string& header,
                       tables::TableUnpacker& unpacker) {
    packed.file().Close();
    platform::ReplacementFile unpacked(packed.target());
    int16_t outcome = tables::UnpackFileError;
    if (unpacked.Open()) outcome = unpacker.UnpackFile(packed.temp_path(), header, unpacked.file());
    std::string aside = tables::PackedAsideName(packed.target());
    const std::optional<std::string> stale = platform::FindExisting(aside);
    if (outcome == tables::UnpackOk && unpacked.Commit()) {
        packed.Abandon();
        // A packed table kept from an earlier failed download is older than what the target now holds.
        if (stale) platform::RemoveFile(*stale);
        return ResultOk;
    }
    unpacked.Abandon();
    if (stale) aside = *stale;
    if (!platform::RenameFile(packed.temp_path(), aside)) packed.Abandon();
    SetErrorCode(unpacker.FailureCallsForBox() ? ErrBadFile : ErrWriteFile);
    return ResultFailed;
}

}  // namespace

int32_t GetFile(int32_t port, int32_t rate, const char* hc_path, const char* pc_path, int32_t overwrite) {
    const std::string hc = hc_path != nullptr ? hc_path : "";
    const std::string local_text = (pc_path != nullptr && pc_path[0] != 0) ? pc_path : NamePart(hc);
    if (local_text.size() > kMaxDownloadPath) {
        SetErrorCode(ErrBadName);
        return ResultFailed;
    }
    if (local_text.empty()) {
        SetErrorCode(ErrCreateFile);
        return ResultFailed;
    }
    const std::string target = platform::PcPath(local_text.c_str());
    if (!MayReplace(local_text, overwrite)) return ResultOk;
    // The data goes beside the target; the target is replaced only when all of it arrived (and, for a
    // table, unpacked).
    platform::ReplacementFile local(target);
    if (FetchInto(port, rate, hc, local) != ResultOk) return ResultFailed;
    if (!ExtensionIs(hc, "dbf")) {
        if (!local.Commit()) {
            SetErrorCode(ErrWriteFile);
            return ResultFailed;
        }
        return ResultOk;
    }
    // A header side file beside the target gives the table its own header; it goes with a table that
    // came back whole.
    const std::string header = tables::DownloadHeaderFileName(local.target());
    tables::TableUnpacker unpacker;
    const int32_t result = UnpackDownload(local, header, unpacker);
    if (result == ResultOk) platform::RemoveFile(header);
    unpacker.ShowFailureBox();
    return result;
}

int32_t GetTableWithSideFile(int32_t port, int32_t rate, const std::string& hc_path,
                             const std::string& pc_path, int32_t overwrite) {
    const std::string local_text = pc_path.empty() ? NamePart(hc_path) : pc_path;
    if (local_text.empty() || local_text.size() > kMaxDownloadPath) {
        return GetFile(port, rate, hc_path.c_str(), pc_path.c_str(), overwrite);  // refused there
    }
    // One decision for both files: a table that is kept keeps its side file.
    if (!MayReplace(local_text, overwrite)) return ResultOk;
    const std::string target = platform::PcPath(local_text.c_str());
    const std::string side = platform::PcPath(ReplaceLastChar(local_text, 'i', true).c_str());
    // The handheld's side file goes into a part file of its own and is handed to the unpacking from
    // there: the local side file is never moved.  When the handheld has none, the local one is used
    // as it stands.
    platform::ReplacementFile side_part(side);
    std::string header = side;
    if (FetchInto(port, rate, ReplaceLastChar(hc_path, 'i', true), side_part) == ResultOk) {
        side_part.file().Close();
        header = side_part.temp_path();
    } else {
        side_part.Abandon();
    }
    platform::ReplacementFile local(target);
    if (FetchInto(port, rate, hc_path, local) != ResultOk) return ResultFailed;
    tables::TableUnpacker unpacker;
    const int32_t result = UnpackDownload(local, header, unpacker);
    // The handheld's side file is never kept; the local one goes with a table that came back whole
    // and stays as it was otherwise.
    side_part.Abandon();
    if (result == ResultOk) platform::RemoveFile(side);
    unpacker.ShowFailureBox();
    return result;
}

bool FindOwningMif(int32_t port, int32_t rate, const std::string& application, std::string* owner) {
    const std::string folder = FolderPart(application);
    const std::string pattern = folder + "*.*";
    // The whole listing first: every fetch below starts a search of its own on the handheld.
    std::vector<std::string> packages;
    HcFileEntry entry{};
    for (int32_t r = FileInfo(port, rate, pattern.c_str(), &entry); r == ResultOk;
         r = NextFileInfo(port, rate, &entry)) {
        if (IsFileKind(entry.kind) && ExtensionIs(entry.name, "mif")) packages.emplace_back(entry.name);
    }
    const std::string wanted = NamePart(application);
    const std::string copy = platform::PcPath(kOwnerCopy);
    for (const std::string& package : packages) {
        if (GetFile(port, rate, (folder + package).c_str(), kOwnerCopy, 1) != ResultOk) continue;
        char value[14]{};
        platform::GetProfileString(copy, "send", "application", "", value, sizeof value);
        if (value[0] != 0 && SameNameIgnoringCase(value, wanted)) {
            *owner = package;
            return true;  // the copy stays for the caller
        }
        platform::RemoveFile(copy);
    }
    return false;
}

int32_t DeleteFile(int32_t port, int32_t rate, const char* hc_path, int32_t confirm, bool partner) {
    const std::string hc = hc_path != nullptr ? hc_path : "";
    std::string owner;
    if (ExtensionIs(hc, "axe") && FindOwningMif(port, rate, hc, &owner)) {
        std::string text = Prompt(BfPrompt::BelongsTo) + owner + Prompt(BfPrompt::DeleteReally);
        if (!platform::AskYesNo(text.c_str(), Prompt(BfPrompt::Attention).c_str(), TARVIX_MB_ICONQUESTION))
            return ResultOk;
    }
    HcFileEntry entry{};
    if (FileInfo(port, rate, hc.c_str(), &entry) != ResultOk) return ResultFailed;
    if (P().line().ComInit(port, rate) == -1) {
        SetErrorCode(ErrNoLink);
        return ResultFailed;
    }
    const std::string full = FolderPart(hc) + entry.name;
    bool confirmed = true;
    if (confirm == 2) {
        std::string text = Prompt(BfPrompt::DeleteFile) + full + "'??";
        confirmed =
            platform::AskYesNo(text.c_str(), Prompt(BfPrompt::Attention).c_str(), TARVIX_MB_ICONQUESTION);
    }
    if (confirmed) {
        if (!DeleteAndWait(full, static_cast<uint32_t>(LoadField<int32_t>(&entry.size)), false)) {
            EndOperation();
            return ResultFailed;
        }
        EndOperation();
        // The partner of a table goes with it, without a question; its own partner is this file, so
        // its deletion stops there.
        if (!partner && (ExtensionIs(hc, "dbf") || ExtensionIs(hc, "dbi"))) {
            DeleteFile(port, rate, ReplaceLastChar(hc, ExtensionIs(hc, "dbf") ? 'i' : 'f', false).c_str(), 1,
                       true);
        }
        if (P().line().ComInit(port, rate) == -1) return ResultOk;
    }
    ShowPrompt(BfPrompt::DelFinish);
    EndOperation();
    return ResultOk;
}

int32_t ByteFrame::SendFileToHc(int32_t port, int32_t rate, const char* hc_name, const char* pc_path, int32_t,
                                int32_t overwrite) {
    return SendFile(port, rate, hc_name, pc_path, overwrite);
}

int32_t ByteFrame::GetHcFile(int32_t port, int32_t rate, const char* hc_path, const char* pc_path,
                             int32_t overwrite) {
    return GetFile(port, rate, hc_path, pc_path, overwrite);
}

int32_t ByteFrame::DelHcFile(int32_t port, int32_t rate, const char* hc_path, int32_t confirm) {
    return DeleteFile(port, rate, hc_path, confirm, false);
}

}  // namespace tarvix::bf
