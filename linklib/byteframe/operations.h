// Building blocks of the byte-frame operations: the frame of an operation (open, link test, close),
// commands with a name or path as data, answers of a fixed size, texts on the handheld's screen.
#pragma once

#include <cstdint>
#include <string>

#include "byteframe/protocol.h"
#include "common/messages.h"
#include "tarvix.h"

namespace tarvix::bf {

enum class Begin { Ok, NoPort, NoAnswer };

// Opens the link and sends the link test.  NoPort stores ErrNoLink; NoAnswer stores ErrNoResponse,
// shows `fail_text` when given and closes the link again.
Begin BeginOperation(int32_t port, int32_t rate, const BfPrompt* fail_text = nullptr);
void EndOperation();

// A command of the file group; true when the handheld took it.
bool FileCommand(uint8_t sub_command);
// A command of the file group that the handheld follows with data from the PC (SubUpload, SubRun):
// never sent again blindly, as the copy would become the data (Protocol::SendDataCommand).
bool DataFileCommand(uint8_t sub_command);
// A command followed by a text as data (SubSetName, SubSetPath); stores ErrNoAck when either send
// failed, so the handheld never acts on an earlier name or folder.
bool FileCommandWithText(uint8_t sub_command, const std::string& text);
// Reads an answer of exactly `size` bytes (at most 64); false when it did not arrive whole (a
// time-out is stored as ErrTimeout).
bool ReceiveAnswer(uint8_t* out, uint32_t size);
void ShowText(const std::string& text);
void ShowPrompt(BfPrompt key);
// Pauses honouring the stop flag; false when stopped.
bool PauseMs(uint32_t ms);

// File information of the first and the next matching entries.
int32_t FileInfo(int32_t port, int32_t rate, const char* path, HcFileEntry* entry);
int32_t NextFileInfo(int32_t port, int32_t rate, HcFileEntry* entry);
// FileInfo's look-up on a link the caller holds open (no link test, the link stays open).
int32_t FindOnOpenLink(const std::string& path, HcFileEntry* entry);

// Transfers of single files and deletion.
int32_t SendFile(int32_t port, int32_t rate, const char* hc_name, const char* pc_path, int32_t overwrite);
int32_t GetFile(int32_t port, int32_t rate, const char* hc_path, const char* pc_path, int32_t overwrite);
// A table with its side file (the side file first: unpacking the table reads it).  The local side
// file changes only together with its table: a table that is kept (mode 0, a "No") or whose download
// fails leaves the local side file as it was.  `pc_path` empty: the handheld name's last part.
int32_t GetTableWithSideFile(int32_t port, int32_t rate, const std::string& hc_path,
                             const std::string& pc_path, int32_t overwrite);
int32_t DeleteFile(int32_t port, int32_t rate, const char* hc_path, int32_t confirm, bool partner);

// The link probe and the scan over ports and rates.
int32_t Probe(int32_t port, int32_t rate, char* number);
int32_t Detect(int32_t* port, int32_t* rate, uint8_t* mode);

}  // namespace tarvix::bf
