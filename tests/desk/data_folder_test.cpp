// The operator's own data folder of an installed desk, made on first start.
#include "data_folder.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlQuery>
#include <QTemporaryDir>

#include "helpers.h"
#include "meter_db.h"

namespace {

// An installed tree: bin/ and share/kelvanorm with the template and the schema.
struct InstalledTree {
    QTemporaryDir root;
    InstalledTree() {
        QDir(root.path()).mkpath(QStringLiteral("bin"));
        QDir(root.path()).mkpath(QStringLiteral("share/kelvanorm"));
        QFile::copy(desktest::TemplatePath(), shared() + QStringLiteral("/B.DBF"));
        QFile::copy(QStringLiteral(TARVIX_SOURCE_DIR "/scripts/meter_schema.sql"),
                    shared() + QStringLiteral("/meter_schema.sql"));
        // Installed files are read-only to the operator.
        QFile::setPermissions(shared() + QStringLiteral("/B.DBF"), QFile::ReadOwner | QFile::ReadGroup);
    }
    QString bin() const { return root.filePath(QStringLiteral("bin")); }
    QString shared() const { return root.filePath(QStringLiteral("share/kelvanorm")); }
};

TEST(DataFolder, FirstStartMakesDatabaseAndTemplate) {
    InstalledTree tree;
    ASSERT_EQ(QFileInfo(desk::SharedFilesDir(tree.bin())).canonicalFilePath(),
              QFileInfo(tree.shared()).canonicalFilePath());
    QTemporaryDir home;
    const QString folder = home.filePath(QStringLiteral("KELVANORM"));
    desk::PrepareDataFolder(folder, desk::SharedFilesDir(tree.bin()));

    EXPECT_EQ(desktest::FileBytes(folder + QStringLiteral("/B.DBF")),
              desktest::FileBytes(desktest::TemplatePath()));
    EXPECT_TRUE(QFileInfo(folder + QStringLiteral("/B.DBF")).isWritable());
    {
        QSqlDatabase db = desk::OpenMeterDatabase(folder, QStringLiteral("data-folder-test"));
        QSqlQuery q(db);
        ASSERT_TRUE(
            q.exec(QStringLiteral("SELECT count(*), (SELECT count(*) FROM pragma_table_info('Meter')) "
                                  "FROM Meter")));
        ASSERT_TRUE(q.next());
        EXPECT_EQ(q.value(0).toInt(), 0);
        EXPECT_EQ(q.value(1).toInt(), 15) << "Meter has the schema's fifteen columns";
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("data-folder-test"));
    EXPECT_EQ(QDir(folder).entryList(QDir::Files | QDir::Hidden),
              (QStringList{QStringLiteral("B.DBF"), QStringLiteral("db.mdb")}))
        << "no partial file stays behind";

    // Later starts leave the operator's files as they are.
    QFile::remove(folder + QStringLiteral("/B.DBF"));
    {
        QFile mine(folder + QStringLiteral("/B.DBF"));
        ASSERT_TRUE(mine.open(QIODevice::WriteOnly));
        mine.write("operator's own template");
    }
    const QByteArray db_before = desktest::FileBytes(folder + QStringLiteral("/db.mdb"));
    desk::PrepareDataFolder(folder, tree.shared());
    EXPECT_EQ(desktest::FileBytes(folder + QStringLiteral("/B.DBF")), QByteArray("operator's own template"));
    EXPECT_EQ(desktest::FileBytes(folder + QStringLiteral("/db.mdb")), db_before);
}

TEST(DataFolder, SharedFilesMissing) {
    QTemporaryDir empty;
    EXPECT_TRUE(desk::SharedFilesDir(empty.path()).isEmpty());
    // Beside the program in the build tree.
    EXPECT_FALSE(desk::SharedFilesDir(QFileInfo(desktest::TemplatePath()).absolutePath()).isEmpty());

    QTemporaryDir home;
    const QString folder = home.filePath(QStringLiteral("data"));
    EXPECT_THROW(desk::PrepareDataFolder(folder, empty.path()), desk::DeskError);
    EXPECT_TRUE(QDir(folder).entryList(QDir::Files | QDir::Hidden).isEmpty());
}

}  // namespace
