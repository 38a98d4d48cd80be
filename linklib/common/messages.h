// The message tables of both protocol families: the texts of the error codes (GetErrorMsg) and the
// prompts that the families put into message boxes and onto the handheld's screen.
//
// Each family owns one table of 50-byte slots (texts of at most 49 bytes, passed on as bytes without
// any conversion; the built-in Chinese texts are GBK).  A load fills every slot of its table from the
// section <language>_dllmsg of tarvix.ini when that section holds Msg0, otherwise from the built-in
// English or Chinese texts.  The library loads both tables at start and again on ConvertLanguage.
//
// Thread safety: a load builds the complete new table first and then replaces the published one
// under the table's lock, so a reader sees all texts of one language choice, never a mix.  Every
// accessor copies the text out under that lock; nothing hands out a pointer into a table that a
// concurrent ConvertLanguage might rewrite.  The copy-out functions always NUL-terminate within the
// size they are given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace tarvix {

// One slot: at most 49 text bytes and the terminating NUL.
constexpr size_t kMessageSlotSize = 50;
constexpr size_t kMessageTextMax = kMessageSlotSize - 1;

// The code that GetErrorMsg replaces by the family's last error code.
constexpr uint32_t kLastErrorCode = 0xFFFF;

// The outcome of the language choice that every load makes afresh.
struct MessageLanguage {
    bool chinese = false;  // which built-in texts a section without Msg0 falls back to
    std::string section;   // the tarvix.ini section of the texts: <language>_dllmsg
};

// Section INFO, key `language` of the given tarvix.ini (at most 19 characters): "chinese" in any
// case selects Chinese, any other word English, and the section is the word as written followed by
// "_dllmsg".  Without a value the user locale decides: "00000804" gives Chinese and chinese_dllmsg,
// anything else English and english_dllmsg.
MessageLanguage ChooseMessageLanguage(const std::string& ini_path);

// Copies `text` into `out` (size bytes), cut so that it is always NUL-terminated; returns the bytes
// copied without the NUL.  A null `out` or a zero size copies nothing.
size_t CopyText(const std::string& text, char* out, size_t size);

}  // namespace tarvix

namespace tarvix::tf {

// The text-frame table's prompts; each value is the prompt number of its key "msg0<number>".
enum class TfPrompt : int {
    Overwrite = 0,      // msg00: written after the file name of the overwrite question
    Attention = 1,      // msg01: caption of the overwrite, delete, folder-clash and missing-file boxes
    MifFormat = 9,      // msg09: caption of the MIF check boxes
    DeleteFile = 14,    // msg014: delete question, written before the file name
    NoMemory = 18,      // msg018: shown on the handheld when an upload does not fit
    FolderExists = 27,  // msg027: box text when a download target is a folder
};

// Fills the text-frame table (library start and ConvertLanguage).
void LoadMessages();

// The text of a code of the text-frame list; nothing for any other code.  No 0xFFFF replacement.
std::optional<std::string> MessageForCode(uint32_t code);

// GetErrorMsg of the family: 0xFFFF stands for the family's last error code; copies the code's text
// with its NUL into `text` (at least 50 bytes) and returns 0, or returns 1 and leaves `text` as it
// was when the code has no text (or `text` is null).
int32_t GetErrorMsg(uint32_t code, char* text);

// A prompt as a copy, and copied into a caller buffer (always NUL-terminated; returns the bytes
// copied without the NUL).
std::string Prompt(TfPrompt key);
size_t CopyPrompt(TfPrompt key, char* out, size_t size);

}  // namespace tarvix::tf

namespace tarvix::bf {

// The byte-frame table's prompts; each value is the prompt number of its key "msg0<number>".
enum class BfPrompt : int {
    Overwrite = 0,          // msg00: written after the file name of the overwrite question
    Attention = 1,          // msg01: caption of the overwrite, delete and missing-file boxes
    BelongsTo = 2,          // msg02: delete question for a file of a MIF package, before the MIF name
    DeleteReally = 3,       // msg03: the same question, after the MIF name
    ExistedOverwrite = 4,   // msg04
    NoFolderMemory = 5,     // msg05: box text when the handheld has no room for a new folder
    ErrorCaption = 6,       // msg06: caption of that box and of the unpacking-failure box
    OnMemory = 7,           // msg07: shown when the handheld has no room for a new folder
    DbfFormat = 8,          // msg08: box text when a downloaded table cannot be unpacked
    MifFormat = 9,          // msg09: caption of the MIF check boxes
    UploadFail = 10,        // msg010: shown when an upload or a message transfer fails
    UploadFinished = 11,    // msg011: shown when an upload or a message transfer has finished
    DownloadFail = 12,      // msg012: shown when a download fails
    DownloadFinished = 13,  // msg013: shown when a download has finished
    DeleteFile = 14,        // msg014: delete question, written before the file name
    DelFail = 15,           // msg015
    DeleteFileAgain = 16,   // msg016
    DelFinish = 17,         // msg017: shown when a file delete has ended
    NoMemory = 18,          // msg018: shown when an upload does not fit the handheld
    FolderMade = 19,        // msg019: shown when a folder was made
    FolderMakeFail = 20,    // msg020: shown when making a folder failed
    FolderRemoved = 21,     // msg021: shown when a folder was removed
    FolderRemoveFail = 22,  // msg022: shown when removing a folder failed
    RescueFail = 23,        // msg023: shown when a data rescue fails
    RescueFinished = 24,    // msg024: shown when a data rescue has finished
    RescueSending = 25,     // msg025: shown with the percentage during a data rescue
    NotExist = 26,          // msg026: box text after the path of a missing PC file and a blank
};

// Fills the byte-frame table (library start and ConvertLanguage).
void LoadMessages();

// The text of a code of the byte-frame list; nothing for any other code.  No 0xFFFF replacement.
std::optional<std::string> MessageForCode(uint32_t code);

// GetErrorMsg of the family: 0xFFFF stands for the family's last error code; a code of the list has
// its text copied with its NUL into `text` (at least 50 bytes); any other code leaves `text` as it
// was.  Always returns 0.
int32_t GetErrorMsg(uint32_t code, char* text);

// A prompt as a copy, and copied into a caller buffer (always NUL-terminated; returns the bytes
// copied without the NUL).  By number: 0 to 26; any other number gives the empty text.
std::string Prompt(BfPrompt key);
std::string Prompt(int number);
size_t CopyPrompt(BfPrompt key, char* out, size_t size);

}  // namespace tarvix::bf
