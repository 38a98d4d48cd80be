// Where tarvix.ini lies.
#pragma once

#include <string>

namespace tarvix {

// The rule of the Windows build, kept for its backend: from a command line that begins with the
// quoted program path, the tarvix.ini of that program's folder; otherwise the bare name "tarvix.ini".
// The result fits `limit` bytes with its terminator; a longer one gives the bare name.
std::string IniPathFromCommandLine(const std::string& command_line, size_t limit = 512);

// The file in force: TARVIX_INI when set; else on Windows the command-line rule, on Linux (where the
// command line does not carry the program's path in that form) tarvix.ini in the program's folder.
std::string IniPath();

}  // namespace tarvix
