// Ending processes by image name.  The desk no longer ends any process: no spreadsheet program runs
// on its behalf, and ending a user's own spreadsheet windows would throw away their unsaved work.
// The name matching is kept so that the rule stays defined and tested.
#pragma once

#include <string>

namespace desk {

// Upper-cases the letters a to z only.
std::string UpperAscii(std::string text);

// True when the process image name matches the wanted name: its file-name part (after the last '\'
// or '/') or else the whole image name, compared after upper-casing both.
bool ImageNameMatches(const std::string& image_name, const std::string& wanted);

// Ends nothing (see above).
void TerminateProcessesByName(const std::string& image_name);

}  // namespace desk
