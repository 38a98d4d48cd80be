// Temporary files the desk leaves when it ends in the middle of writing: the library's part files
// beside the task tables of a download or an upload ("<X>.part<pid>-<n>" for X one of the files the
// library replaces there: downa.dbf, downa.dbi, A.DBC, A.DBI) and the part file of a report
// (".<report>.part<pid>-<n>").  Earlier releases of the library also held the earlier file aside while
// a new one took its place ("<X>.part<pid>-<n>.previous"); the library writes no such file any more,
// but one that an earlier release left is still put right here.  Each name carries the process that
// made it, so a later run can tell the leftovers of a desk that no longer runs from the files of one
// that still writes them.
#pragma once

#include <QString>
#include <optional>

namespace desk {

// The process id in the name of one of the desk's temporary files; nullopt for any other name.
std::optional<long long> TemporaryFileOwner(const QString& file_name);

// The temporary name a report to target_file_name is written under before it is renamed into place.
QString ReportTemporaryName(const QString& target_file_name);

// True when the file at path is a complete dBase table: a header of a dBase version whose lengths and
// field descriptors agree, and at least as many bytes after it as the records it counts take.  A packed
// table, a table cut short and any other file are not.
bool IsCompleteTable(const QString& path);

// Clears from folder the desk's temporary files whose process no longer runs: only regular files of
// the operator's own under one of the names above.  Part files are removed.  An earlier file held
// aside by an earlier release ("<X>...previous") is never lost: it comes back under X unless X holds
// a complete table (the new one, put in place before the process ended), when it goes.  What a
// table's name held instead (a packed download not yet unpacked, a malformed or cut table) is moved to
// the packed table's aside name (the name with "$" for its last character, downa.db$) when that is
// free, else replaced; a side file's name gets its earlier file back.  Returns the number of temporary
// files removed or put back.
int RemoveStaleTemporaries(const QString& folder);

}  // namespace desk
