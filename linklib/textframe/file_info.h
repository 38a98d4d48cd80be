// The handheld's file entries as the text-frame family reads them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "tarvix.h"

namespace tarvix::tf {

constexpr size_t kFileInfoReplySize = 56;
constexpr size_t kFileTimeTextSize = 18;
constexpr uint8_t kKindFile = 1;
constexpr uint8_t kKindFolder = 4;

// Date and time text of an entry ("2010-06-21 07:11:48" without the blank) to DOS date and time words.
void ParseDateTime(const char* text, uint16_t* date, uint16_t* time);
// Fills the record from a 56-byte answer to find first / find next: false for the end marker 0xFF.
bool ParseFileInfoReply(const uint8_t* reply, HcFileRecord* record);
// The text after the last '/' or '\' (the whole text when it holds neither).
std::string NameFromPath(const char* path);

// Checks a name or pattern of a file-information query: 0 good, else the error code to store.
uint32_t CheckInfoPath(const char* path);
// Looks an entry up while the caller holds the link: the link test, the name, find first and its
// answer.  0 found, 2 no match (status untouched), 1 failed (StatusFailed and the code stored).
// The name stays the handheld's current file name for the commands that follow.
int32_t LookUpClaimed(const std::string& path, HcFileRecord* record);
// Find first under the handheld's current file name alone (the name of the last look-up), with the
// same results.
int32_t FindCurrentClaimed(HcFileRecord* record);

}  // namespace tarvix::tf
