// The MIF file reader: one value of one section per call, scanning the file from its start.
//
// As the reader sees a MIF file: 8-bit characters; lines end with CR, LF or both; tokens are separated by
// blanks, CR, LF and "=" (a tab belongs to the token); ";" starts a comment to the end of its line, also
// inside a token, which it ends; a section starts with the token "[name]"; an entry is a key followed on
// the same line by its value.  Section names and keys are compared with a-z taken as A-Z; values keep
// their case.  A token holds at most 199 characters: the rest of a longer one is read past, and such a
// token never matches a section or a key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/files.h"

namespace tarvix {

constexpr size_t kIniTokenMax = 199;

// Reads an open file byte by byte through a buffer.
class IniReader {
  public:
    explicit IniReader(platform::File& file) : file_(file) {}
    // The next byte (0-255), or -1 at the end of the file.
    int Get() {
        if (pos_ == end_) {
            end_ = file_.Read(buffer_, sizeof buffer_);
            pos_ = 0;
            if (end_ == 0) return -1;
        }
        return static_cast<unsigned char>(buffer_[pos_++]);
    }

  private:
    platform::File& file_;
    char buffer_[4096];
    size_t pos_ = 0, end_ = 0;
};

// What ended a token.
enum class IniTokenEnd {
    EndOfFile,  // the file ended (also: no token at all)
    Separator,  // a blank or "="
    LineEnd,    // CR or LF, or a ";" comment, which runs to the line end
    Stop,       // one of the caller's stop characters
};

struct IniToken {
    char text[kIniTokenMax + 1] = {};  // the stored characters, NUL-terminated
    size_t length = 0;                 // stored characters, at most kIniTokenMax
    bool overlong = false;             // the token had more characters than were stored
    IniTokenEnd end = IniTokenEnd::EndOfFile;
};

// Reads the next token and returns its stored length (0 for none: the end of the file, or one of the
// stop characters met before a token, which is consumed).  A stop character of 0 stands for the NUL
// byte, which then ends a search like the end of the file.
size_t ReadIniToken(IniToken& token, char stop1, char stop2, IniReader& in);

// Reads and drops characters up to and including the next CR or LF, or to the end of the file.
void SkipIniLine(IniReader& in);

// Copies the value of `key` in section `section` of the MIF file at `path` into `out`, cut to
// `max_length` characters and NUL-terminated (`out` holds max_length + 1 bytes), and returns the
// number of characters copied.  A key without a value on its own line gives the empty string and 0.
// A file that cannot be opened, a missing section or a missing key give the default (cut to
// max_length), or the empty string for a null default, and 0.  Only the first section of the name is
// searched.  Nothing is held between calls.
int32_t ReadIniValue(const char* section, const char* key, const char* default_value, char* out,
                     size_t max_length, const char* path);

// The same into a string (at most max_length characters).
std::string ReadIniValue(const std::string& section, const std::string& key, const std::string& default_value,
                         size_t max_length, const std::string& path);

}  // namespace tarvix
