// The frame of every byte-frame operation, file information, listings and folders, and the link
// probe with the detection.
#include "byteframe/operations.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <string>

#include "byteframe/byteframe.h"
#include "byteframe/transfer_status.h"
#include "common/codes.h"
#include "common/handheld_names.h"
#include "common/records.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/prompt.h"

namespace tarvix::bf {

namespace {

Protocol& P() {
    return Proto();
}

// Free bytes the handheld must report before it is asked for a new folder.
constexpr uint32_t kFolderSpace = 4064;

constexpr int32_t kRates[] = {38400, 115200, 57600, 19200, 9600};

// The result byte of the last file or folder command; a missing answer counts as a refusal.
uint8_t ReadSubResult() {
    uint8_t byte = 1;
    if (!FileCommand(SubResult)) {
        SetErrorCode(ErrNoAck);
        return 1;
    }
    if (!ReceiveAnswer(&byte, 1)) return 1;
    return byte;
}

// The answer to SubFindFirst or SubFindNext; `close` ends the operation with it.
int32_t FindReplyInto(HcFileEntry* entry, bool first, bool close = true) {
    auto end = [close] {
        if (close) EndOperation();
    };
    if (!PauseMs(Tune().find_pause_ms.load())) {
        SetErrorCode(ErrUserStop);
        end();
        return ResultFailed;
    }
    uint8_t reply[kFindReplySize]{};
    int32_t received = 0;
    int32_t result = P().ReceiveData(reply, sizeof reply, &received);
    if (result != kDone) {
        // Over USB the transport stores no code of its own: a failed reply still tells its reason.
        if (result == kNoAnswer || ErrorCode() == ErrNone) SetErrorCode(ErrTimeout);
        if (g_stop_flag.load()) SetErrorCode(ErrUserStop);
        end();
        return ResultFailed;
    }
    switch (ClassifyFindReply(reply, static_cast<size_t>(received))) {
        case FindReply::Malformed:
            SetErrorCode(ErrBadPacket);
            end();
            return ResultFailed;
        case FindReply::End:
            SetErrorCode(first ? ErrFileNotFound : ErrNone);
            end();
            return ResultNotFound;
        case FindReply::Entry:
            break;
    }
    if (entry != nullptr) FillEntry(reply, entry);
    end();
    return ResultOk;
}

// The listing's entry forms.
void AppendEntry(platform::File& file, const HcFileEntry& entry, bool extended, bool names_only) {
    uint8_t out[51]{};
    size_t size = 0;
    if (!extended && names_only) {
        std::memcpy(out, entry.name, sizeof entry.name);
        size = 13;
    } else if (extended == names_only) {
        // GetHcDirInfo without namesOnly and GetHcDirInfoEx with it: the entry and filler.
        std::memcpy(out, &entry, sizeof entry);
        size = 32;
    } else {
        HcFileRecord record{};
        std::memcpy(record.name, entry.name, sizeof entry.name);
        record.name[31] = 0;
        std::memcpy(&record.size, &entry.size, 4);
        std::memcpy(&record.date, &entry.date, 2);
        std::memcpy(&record.time, &entry.time, 2);
        record.kind = entry.kind;
        std::memcpy(out, &record, sizeof record);
        size = 51;
    }
    file.Write(out, size);
}

int32_t Listing(int32_t port, int32_t rate, const char* pattern, const char* list_file, int32_t* count,
                int32_t* total, int32_t names_only, bool extended) {
    if (count == nullptr || total == nullptr || list_file == nullptr || list_file[0] == 0) {
        SetErrorCode(count == nullptr || total == nullptr ? ErrBadParam : ErrCreateFile);
        return ResultFailed;
    }
    *count = 0;
    *total = 0;
    platform::ReplacementFile file(platform::PcPath(list_file));
    if (!file.Open()) {
        SetErrorCode(ErrCreateFile);
        return ResultFailed;
    }
    uint32_t sum = 0;
    int32_t result = ResultOk;
    HcFileEntry entry{};
    // The handheld decides when the listing ends: one that never sends its end, or that starts over,
    // is caught by the names already given and by the cap.
    std::set<std::string> listed;
    for (bool first = true;; first = false) {
        if (g_stop_flag.load()) {
            SetErrorCode(ErrUserStop);
            result = ResultFailed;
            break;
        }
        int32_t r = first ? FileInfo(port, rate, pattern, &entry) : NextFileInfo(port, rate, &entry);
        if (r == ResultNotFound) break;
        if (r != ResultOk) {
            // A stop meets the query in any of its steps, some of which report a code of their own.
            if (g_stop_flag.load()) SetErrorCode(ErrUserStop);
            if (ErrorCode() == ErrNone) SetErrorCode(ErrTimeout);
            result = ResultFailed;
            break;
        }
        const std::string name(entry.name, strnlen(entry.name, sizeof entry.name));
        if (listed.size() >= Tune().max_listed_entries.load() || !listed.insert(name).second) {
            SetErrorCode(ErrBadPacket);
            result = ResultFailed;
            break;
        }
        ++*count;
        sum += static_cast<uint32_t>(LoadField<int32_t>(&entry.size));
        *total = static_cast<int32_t>(sum);
        AppendEntry(file.file(), entry, extended, names_only != 0);
    }
    // The list holds what was listed, also when a query failed part-way.
    if (!file.Commit()) {
        SetErrorCode(ErrWriteFile);
        return ResultFailed;
    }
    return result;
}

int32_t FolderCommand(int32_t port, int32_t rate, const char* folder, uint8_t sub_command,
                      const BfPrompt* ok_text, const BfPrompt* fail_text, bool make) {
    std::string path = folder != nullptr ? folder : "";
    if (make && SameNameIgnoringCase(path, "\\$E$")) {
        // Drive E itself is no folder to make; the link is opened as for any operation.
        if (P().line().ComInit(port, rate) == -1) SetErrorCode(ErrNoLink);
        return ResultFailed;
    }
    if (BeginOperation(port, rate) != Begin::Ok) return ResultFailed;
    if (make) {
        uint8_t space[4];
        if (!FileCommand(SubFreeSpace) || !ReceiveAnswer(space, 4)) {
            if (ErrorCode() == ErrNone) SetErrorCode(ErrNoResponse);
            EndOperation();
            return ResultFailed;
        }
        if (GetBe32(space) < kFolderSpace) {
            SetErrorCode(ErrDiskFull);
            ShowPrompt(BfPrompt::OnMemory);
            EndOperation();
            platform::ShowMessageBox(Prompt(BfPrompt::NoFolderMemory).c_str(),
                                     Prompt(BfPrompt::ErrorCaption).c_str(),
                                     TARVIX_MB_OK | TARVIX_MB_ICONERROR);
            return ResultFailed;
        }
    }
    if (!FileCommandWithText(SubSetPath, path) || !FileCommand(sub_command)) {
        SetErrorCode(ErrNoAck);
        EndOperation();
        return ResultFailed;
    }
    uint8_t result = ReadSubResult();
    if (result == 0 && ok_text != nullptr) ShowPrompt(*ok_text);
    if (result != 0 && fail_text != nullptr) ShowPrompt(*fail_text);
    EndOperation();
    return result;
}

}  // namespace

Begin BeginOperation(int32_t port, int32_t rate, const BfPrompt* fail_text) {
    if (P().line().ComInit(port, rate) == -1) {
        SetErrorCode(ErrNoLink);
        return Begin::NoPort;
    }
    if (P().SendCommandBlock(CmdLinkTest, 0, 0) != kDone) {
        SetErrorCode(ErrNoResponse);
        if (fail_text != nullptr) ShowPrompt(*fail_text);
        EndOperation();
        return Begin::NoAnswer;
    }
    return Begin::Ok;
}

void EndOperation() {
    P().line().ComRelease();
}

bool FileCommand(uint8_t sub_command) {
    return P().SendCommandBlock(CmdFile, sub_command, 0) == kDone;
}

bool DataFileCommand(uint8_t sub_command) {
    return P().SendDataCommand(CmdFile, sub_command, 0) == kDone;
}

bool FileCommandWithText(uint8_t sub_command, const std::string& text) {
    if (!DataFileCommand(sub_command) || P().SendData(reinterpret_cast<const uint8_t*>(text.data()),
                                                      static_cast<uint32_t>(text.size())) != kDone) {
        SetErrorCode(ErrNoAck);
        return false;
    }
    return true;
}

bool ReceiveAnswer(uint8_t* out, uint32_t size) {
    uint8_t buffer[64];
    if (size > sizeof buffer) return false;
    int32_t received = 0;
    int32_t result = P().ReceiveData(buffer, size, &received);
    if (result == kNoAnswer) SetErrorCode(ErrTimeout);
    if (result != kDone || received != static_cast<int32_t>(size)) {
        if (result == kDone) SetErrorCode(ErrBadPacket);
        return false;
    }
    std::memcpy(out, buffer, size);
    return true;
}

void ShowText(const std::string& text) {
    if (P().line().UsbMode()) {
        Usb().SendCommand(CmdShowText, 0, reinterpret_cast<const uint8_t*>(text.data()),
                          static_cast<uint16_t>(std::min<size_t>(text.size(), 0xFFFF)));
        return;
    }
    // The outcome is not looked at, and a failed show must not change the operation's error code.
    uint16_t code = ErrorCode();
    P().SetArgumentText(text.c_str());
    P().SendCommandBlock(CmdShowText, 0, 0);
    SetErrorCode(code);
}

void ShowPrompt(BfPrompt key) {
    ShowText(Prompt(key));
}

bool PauseMs(uint32_t ms) {
    platform::Clock& clock = platform::GetClock();
    while (ms > 0) {
        if (g_stop_flag.load()) return false;
        uint32_t slice = std::min<uint32_t>(ms, 20);
        clock.SleepMs(slice);
        ms -= slice;
    }
    return !g_stop_flag.load();
}

int32_t FileInfo(int32_t port, int32_t rate, const char* path, HcFileEntry* entry) {
    if (path == nullptr || path[0] == 0 || path[std::strlen(path) - 1] == '\\') return ResultNotFound;
    if (BeginOperation(port, rate) != Begin::Ok) return ResultFailed;
    if (!FileCommandWithText(SubSetName, path) || !FileCommand(SubFindFirst)) {
        SetErrorCode(ErrNoAck);
        EndOperation();
        return ResultFailed;
    }
    return FindReplyInto(entry, true);
}

int32_t FindOnOpenLink(const std::string& path, HcFileEntry* entry) {
    if (path.empty() || path.back() == '\\') return ResultNotFound;
    if (!FileCommandWithText(SubSetName, path) || !FileCommand(SubFindFirst)) {
        SetErrorCode(ErrNoAck);
        return ResultFailed;
    }
    return FindReplyInto(entry, true, false);
}

int32_t NextFileInfo(int32_t port, int32_t rate, HcFileEntry* entry) {
    if (BeginOperation(port, rate) != Begin::Ok) return ResultFailed;
    if (!FileCommand(SubFindNext)) {
        SetErrorCode(ErrNoAck);
        EndOperation();
        return ResultFailed;
    }
    return FindReplyInto(entry, false);
}

int32_t Probe(int32_t port, int32_t rate, char* number) {
    char scratch[16];
    if (number == nullptr) number = scratch;
    P().SetAttempts(2);
    if (P().line().ComInit(port, rate) == -1) {
        P().SetAttempts(5);
        return 1;
    }
    uint32_t wait = (rate == 9600 || rate == 19200) ? 100 : 50;
    if (Tune().probe_wait_ms.load() != 0) wait = Tune().probe_wait_ms.load();
    P().HcSetExitTime(wait, wait);
    int32_t result = 2;
    if (P().SendCommandBlock(CmdLinkTest, 0, 0) == kDone && FileCommand(SubDeviceNumber)) {
        uint8_t text[9];
        int32_t received = 0;
        P().ReceiveData(text, sizeof text, &received);
        received = std::clamp<int32_t>(received, 0, 9);
        std::memcpy(number, text, static_cast<size_t>(received));
        number[received] = 0;
        result = 0;
    }
    P().line().ComRelease();
    P().HcSetExitTime(500, 3000);
    P().SetAttempts(5);
    return result;
}

int32_t Detect(int32_t* port, int32_t* rate, uint8_t* mode) {
    char number[20]{};
    const int32_t saved_port = *port;
    const int32_t saved_rate = *rate;
    bool found = Probe(saved_port, saved_rate, number) == 0;
    if (!found && Probe(0, 115200, number) == 0) {
        *port = 0;
        found = true;
    }
    for (int32_t com = 1; com <= 4 && !found; ++com) {
        for (int32_t r : kRates) {
            if (com == saved_port && r == saved_rate) continue;
            int32_t result = Probe(com, r, number);
            if (result == 0) {
                *port = com;
                *rate = r;
                found = true;
                break;
            }
            if (result == 1) break;  // the port does not open: its other rates are not tried
        }
    }
    if (!found) return 1;
    if (mode != nullptr) *mode = number[0] != 0 ? 2 : 1;
    return 0;
}

// ---- The family's operations ------------------------------------------------------------------

int32_t ByteFrame::GetHcFileInfo(int32_t port, int32_t rate, const char* path, HcFileEntry* entry) {
    return FileInfo(port, rate, path, entry);
}

int32_t ByteFrame::GetHcNextFileInfo(int32_t port, int32_t rate, HcFileEntry* entry) {
    return NextFileInfo(port, rate, entry);
}

int32_t ByteFrame::GetHcDirInfo(int32_t port, int32_t rate, const char* pattern, const char* list_file,
                                int32_t* count, int32_t* total, int32_t names_only) {
    return Listing(port, rate, pattern, list_file, count, total, names_only, false);
}

int32_t ByteFrame::GetHcDirInfoEx(int32_t port, int32_t rate, const char* pattern, const char* list_file,
                                  int32_t* count, int32_t* total, int32_t names_only) {
    return Listing(port, rate, pattern, list_file, count, total, names_only, true);
}

int32_t ByteFrame::HcMakeDir(int32_t port, int32_t rate, const char* folder) {
    const BfPrompt ok = BfPrompt::FolderMade, fail = BfPrompt::FolderMakeFail;
    return FolderCommand(port, rate, folder, SubMakeDir, &ok, &fail, true);
}

int32_t ByteFrame::HcDelDir(int32_t port, int32_t rate, const char* folder) {
    const BfPrompt ok = BfPrompt::FolderRemoved, fail = BfPrompt::FolderRemoveFail;
    return FolderCommand(port, rate, folder, SubRemoveDir, &ok, &fail, false);
}

int32_t ByteFrame::HcSetDir(int32_t port, int32_t rate, const char* folder) {
    return FolderCommand(port, rate, folder, SubChangeDir, nullptr, nullptr, false);
}

int32_t ByteFrame::HcGetCurDir(int32_t port, int32_t rate, char* folder) {
    if (folder == nullptr) {
        SetErrorCode(ErrBadParam);
        return ResultFailed;
    }
    if (BeginOperation(port, rate) != Begin::Ok) return ResultFailed;
    if (!FileCommand(SubCurDir)) {
        SetErrorCode(ErrNoAck);
        folder[0] = 0;
        EndOperation();
        return ResultFailed;
    }
    uint8_t text[65];
    int32_t received = 0;
    int32_t result = P().ReceiveData(text, sizeof text, &received);
    received = std::clamp<int32_t>(received, 0, 65);
    std::memcpy(folder, text, static_cast<size_t>(received));
    folder[received] = 0;
    EndOperation();
    return result;
}

int32_t ByteFrame::DetectLink(int32_t* port, int32_t* rate, uint8_t* mode) {
    if (port == nullptr || rate == nullptr) return 1;
    return Detect(port, rate, mode);
}

int32_t ByteFrame::ProbeLink(int32_t port, int32_t rate, char* number) {
    return Probe(static_cast<int16_t>(port), rate, number);
}

int32_t ByteFrame::TestHcLink(int32_t port, int32_t rate) {
    return Probe(static_cast<int16_t>(port), rate, nullptr);
}

}  // namespace tarvix::bf
