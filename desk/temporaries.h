// Temporary files the desk leaves when it ends in the middle of writing: the library's part files
// beside the task tables of a download or an upload ("downa.dbf.part<pid>-<n>", and ".previous" after
// it for the earlier table held aside), and the part file of a report (".<report>.part<pid>-<n>").
// Each name carries the process that made it, so a later run can tell the leftovers of a desk that no
// longer runs from the files of one that still writes them.
#pragma once

#include <QString>
#include <optional>

namespace desk {

// The process id in the name of one of the desk's temporary files; nullopt for any other name.
std::optional<long long> TemporaryFileOwner(const QString& file_name);

// The temporary name a report to target_file_name is written under before it is renamed into place.
QString ReportTemporaryName(const QString& target_file_name);

// Removes from folder the desk's temporary files whose process no longer runs: only regular files of
// the operator's own under one of the names above.  A table held aside by a download that never ended
// comes back under its name when no table of that name is there.  Returns the number of files removed
// or put back.
int RemoveStaleTemporaries(const QString& folder);

}  // namespace desk
