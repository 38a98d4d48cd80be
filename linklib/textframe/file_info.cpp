// File information, folders and the listing of a text-frame handheld.
#include "textframe/file_info.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "common/codes.h"
#include "common/records.h"
#include "platform/files.h"
#include "textframe/commands.h"
#include "textframe/link_status.h"
#include "textframe/textframe.h"
#include "textframe/timing.h"
#include "textframe/workers.h"

namespace tarvix::tf {
namespace {

constexpr size_t kInfoPathLimit = 255;    // a file-information name of 256 characters or more is refused
constexpr size_t kFolderPathLimit = 256;  // folder paths of up to 256 characters are sent
constexpr size_t kCurDirLimit = 255;
constexpr size_t kListNameEntry = 32;
constexpr size_t kListFullEntry = 51;

int Field(const char* text, size_t offset, size_t width) {
    char field[8] = {};
    std::memcpy(field, text + offset, width);
    return static_cast<int>(std::strtol(field, nullptr, 10));
}

int FloorHalf(int value) {
    return value >= 0 ? value / 2 : -((-value + 1) / 2);
}

int32_t Fail(uint32_t code) {
    SetLinkStatus(StatusFailed, static_cast<int32_t>(code));
    return ResultFailed;
}

// Receives the 56-byte answer of find first / find next: 0 entry, 2 end marker, 1 failed.
int32_t ReceiveInfoReply(HcFileRecord* record) {
    uint8_t reply[kFileInfoReplySize] = {};
    uint32_t received = 0;
    if (!LinkReceiveData(reply, sizeof reply, &received) || received != sizeof reply)
        return Fail(ErrReceiveFail);
    return ParseFileInfoReply(reply, record) ? ResultOk : ResultNotFound;
}

// The first steps of the folder operations, with the link claimed: the argument, the link test, the
// folder path.  0 when they went through, else the result to return.
int32_t SendFolderPath(const char* path) {
    if (path == nullptr || strnlen(path, kFolderPathLimit + 1) > kFolderPathLimit) return Fail(ErrBadParam);
    const LinkTimeouts timeouts = LinkTestTimeouts();
    if (!HcCommand(CmdLinkTest, 0, nullptr, 0, nullptr, &timeouts)) return Fail(ErrNoLink);
    if (const uint32_t code = CommandWithText(SubSetPath, path); code != ErrNone) return Fail(code);
    return ResultOk;
}

int32_t FolderCommand(const char* path, uint8_t sub_command) {
    if (SetLinkStatus(StatusBusy, 0) == 0) return ResultBusy;
    if (int32_t r = SendFolderPath(path); r != ResultOk) return r;
    uint8_t status = 0;
    if (!HcCommand(CmdFile, sub_command, &status) || status != 0) return Fail(ErrOperation);
    SetLinkStatus(StatusIdle, 0);
    return ResultOk;
}

void EncodeListEntry(const HcFileRecord& record, bool names_only, uint8_t* out) {
    std::memset(out, 0, kListFullEntry);
    std::memcpy(out, record.name, sizeof record.name);
    if (names_only) return;
    PutLe32(out + 32, LoadField<uint32_t>(&record.size));
    PutLe16(out + 36, LoadField<uint16_t>(&record.date));
    PutLe16(out + 38, LoadField<uint16_t>(&record.time));
    out[40] = record.kind;
}

}  // namespace

void ParseDateTime(const char* text, uint16_t* date, uint16_t* time) {
    const int year = Field(text, 0, 4);
    const int month = Field(text, 5, 2);
    const int day = Field(text, 8, 2);
    const int hour = Field(text, 10, 2);
    const int minute = Field(text, 13, 2);
    const int second = Field(text, 16, 2);
    if (date != nullptr) *date = static_cast<uint16_t>((year - 1980) * 512 + month * 32 + day);
    if (time != nullptr) *time = static_cast<uint16_t>(hour * 2048 + minute * 32 + FloorHalf(second));
}

bool ParseFileInfoReply(const uint8_t* reply, HcFileRecord* record) {
    if (reply[0] == 0xFF) return false;
    HcFileRecord r{};
    std::memcpy(r.name, reply + 1, sizeof r.name - 1);
    const size_t n = strnlen(r.name, sizeof r.name - 1);
    std::memset(r.name + n, 0, sizeof r.name - n);
    StoreField(&r.size, GetLe32(reply + 33));
    r.kind = reply[37];
    uint16_t date = 0;
    uint16_t time = 0;
    ParseDateTime(reinterpret_cast<const char*>(reply + 38), &date, &time);
    StoreField(&r.date, date);
    StoreField(&r.time, time);
    std::memcpy(record, &r, sizeof r);
    return true;
}

std::string NameFromPath(const char* path) {
    if (path == nullptr) return "";
    const std::string text(path);
    const size_t cut = text.find_last_of("/\\");
    return cut == std::string::npos ? text : text.substr(cut + 1);
}

uint32_t CheckInfoPath(const char* path) {
    if (path == nullptr || path[0] == '\0') return ErrBadParam;
    if (strnlen(path, kInfoPathLimit + 1) > kInfoPathLimit) return ErrBadName;
    return ErrNone;
}

int32_t LookUpClaimed(const std::string& path, HcFileRecord* record) {
    // Wakes a handheld that dozed; whether it answers shows in the commands that follow.
    HcCommand(CmdLinkTest, 0, nullptr);
    if (const uint32_t code = CommandWithText(SubSetName, path); code != ErrNone) return Fail(code);
    if (!HcCommand(CmdFile, SubFindFirst, nullptr)) return Fail(ErrOperation);
    return ReceiveInfoReply(record);
}

int32_t FindCurrentClaimed(HcFileRecord* record) {
    if (!HcCommand(CmdFile, SubFindFirst, nullptr)) return Fail(ErrOperation);
    return ReceiveInfoReply(record);
}

int32_t TextFrame::GetHcFileInfo(const char* path, HcFileRecord* record) {
    if (record == nullptr) return Fail(ErrBadParam);
    if (const uint32_t code = CheckInfoPath(path); code != ErrNone) return Fail(code);
    if (SetLinkStatus(StatusBusy, 0) == 0) return ResultBusy;
    const int32_t result = LookUpClaimed(path, record);
    if (result != ResultFailed) SetLinkStatus(StatusIdle, 0);
    return result;
}

int32_t TextFrame::GetHcNextFileInfo(HcFileRecord* record) {
    if (record == nullptr) return Fail(ErrBadParam);
    if (SetLinkStatus(StatusBusy, 0) == 0) return ResultBusy;
    if (!HcCommand(CmdFile, SubFindNext, nullptr)) return Fail(ErrOperation);
    const int32_t result = ReceiveInfoReply(record);
    if (result != ResultFailed) SetLinkStatus(StatusIdle, 0);
    return result;
}

int32_t TextFrame::HcGetCurDir(char* folder) {
    if (SetLinkStatus(StatusBusy, 0) == 0) return ResultBusy;
    if (folder == nullptr) return Fail(ErrBadParam);
    const LinkTimeouts timeouts = LinkTestTimeouts();
    if (!HcCommand(CmdLinkTest, 0, nullptr, 0, nullptr, &timeouts)) return Fail(ErrNoLink);
    if (!HcCommand(CmdFile, SubCurDir, nullptr)) return Fail(ErrOperation);
    uint32_t received = 0;
    uint8_t* text = reinterpret_cast<uint8_t*>(folder);
    if (!LinkReceiveData(text, kCurDirLimit, &received) || received == 0) return Fail(ErrReceiveFail);
    if (folder[received - 1] != '/' && folder[received - 1] != '\\') folder[received++] = '/';
    folder[received] = '\0';
    SetLinkStatus(StatusIdle, 0);
    return ResultOk;
}

int32_t TextFrame::HcSetDir(const char* folder) {
    const uint8_t authority = Status().authority.load() != 0 ? 1 : 0;
    if (SetLinkStatus(StatusBusy, 0) == 0) return ResultBusy;
    if (int32_t r = SendFolderPath(folder); r != ResultOk) return r;
    if (!HcCommand(CmdFile, SubChangeDir, nullptr, 1, &authority)) return Fail(ErrOperation);
    SetLinkStatus(StatusIdle, 0);
    return ResultOk;
}

int32_t TextFrame::HcDelDir(const char* folder) {
    return FolderCommand(folder, SubRemoveDir);
}

int32_t TextFrame::HcMakeDir(const char* folder) {
    return FolderCommand(folder, SubMakeDir);
}

int32_t TextFrame::GetHcDirInfo(const char* pattern, const char* list_file, int32_t* count, int32_t* total,
                                int32_t names_only) {
    auto zero_outputs = [&] {
        if (count != nullptr) *count = 0;
        if (total != nullptr) *total = 0;
    };
    if (list_file == nullptr || list_file[0] == '\0') {
        zero_outputs();
        return Fail(ErrBadParam);
    }
    // The listing replaces the file only when it is complete: a failed one leaves the previous list.
    platform::ReplacementFile list(platform::PcPath(list_file));
    if (!list.Open()) {
        zero_outputs();
        return Fail(ErrCreateFile);
    }
    const size_t entry_size = names_only != 0 ? kListNameEntry : kListFullEntry;
    // A stop from thrdStop ends the listing between any two of its transfers, as a received answer
    // cut short by it: the call fails with the receive's code.
    const HeldStop held;
    // A handheld that never sends its end marker, or gives an entry again (its search went round),
    // must not keep a listing going: either ends it as a wrong answer.
    const uint32_t cap = GetTiming().listing_cap;
    std::unordered_set<std::string> seen;
    uint32_t entries = 0;
    uint32_t bytes = 0;
    HcFileRecord record{};
    int32_t result = GetHcFileInfo(pattern, &record);
    while (result == ResultOk) {
        if (StopPending() || entries == cap ||
            !seen.emplace(record.name, strnlen(record.name, sizeof record.name)).second) {
            result = Fail(ErrReceiveFail);
            break;
        }
        ++entries;
        bytes += LoadField<uint32_t>(&record.size);
        uint8_t entry[kListFullEntry];
        EncodeListEntry(record, names_only != 0, entry);
        if (list.file().Write(entry, entry_size) != entry_size) {
            result = Fail(ErrCreateFile);
            break;
        }
        result = GetHcNextFileInfo(&record);
    }
    // Whichever step the stop cut short (a command, an answer), it is the stop that ended the listing.
    if (result == ResultFailed && StopPending()) SetLinkStatus(StatusFailed, ErrReceiveFail);
    if (result != ResultNotFound) {
        zero_outputs();
        return result;
    }
    if (!list.Commit()) {
        zero_outputs();
        return Fail(ErrCreateFile);
    }
    if (count != nullptr) *count = static_cast<int32_t>(entries);
    if (total != nullptr) *total = static_cast<int32_t>(bytes);
    return ResultOk;
}

}  // namespace tarvix::tf
