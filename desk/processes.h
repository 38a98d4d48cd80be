// Ending processes by image name.  The desk no longer ends any process: no spreadsheet program runs
// on its behalf, and ending a user's own spreadsheet windows would throw away their unsaved work.
// The name matching is kept so that the rule stays defined and tested.
#pragma once

#include <QDateTime>
#include <string>

namespace desk {

// Upper-cases the letters a to z only.
std::string UpperAscii(std::string text);

// True when the process image name matches the wanted name: its file-name part (after the last '\'
// or '/') or else the whole image name, compared after upper-casing both.
bool ImageNameMatches(const std::string& image_name, const std::string& wanted);

// Ends nothing (see above).
void TerminateProcessesByName(const std::string& image_name);

// True when the process pid cannot have written a file last written at last_written: no process of
// that id runs, or the one that runs now started after that time (the id was given again to another
// process).  False for this process, for a running process that may have written it, and whenever
// the system does not tell.
bool ProcessGone(long long pid, const QDateTime& last_written);

// True when the owner id of a file is the user this process runs as.
bool OwnedByThisUser(unsigned owner_id);

}  // namespace desk
