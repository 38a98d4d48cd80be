// The operator's own data folder of an installed desk (started from the desktop's menu, where the
// current folder is no place for db.mdb): made on first start with an empty db.mdb and the template.
#pragma once

#include <QString>

namespace desk {

// Where the program's shared files (B.DBF, meter_schema.sql) are: beside the program in a build tree,
// else ../share/kelvanorm from it.  Empty when neither holds them.
QString SharedFilesDir(const QString& program_dir);

// The data folder of an installed desk: $KELVANORM_DATA when set, else ~/KELVANORM.
QString UserDataDir();

// Makes the folder if needed and gives it what it lacks: db.mdb with the schema's empty Meter table,
// and the template B.DBF copied from shared_dir.  Files already there are left as they are; each new
// file is written beside its target and renamed into place when complete.  Raises DeskError.
void PrepareDataFolder(const QString& folder, const QString& shared_dir);

}  // namespace desk
