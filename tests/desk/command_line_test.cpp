// The desk's commands as a newcomer meets them: KELVANORMProgram's usage, version and refusals (with
// no display at all), what it says at start in a folder that lacks its files, and kelvanorm-create-db.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>

#include "helpers.h"

namespace {

struct Outcome {
    int status = -1;
    QString out, err;
};

Outcome RunCommand(const QString& program, const QStringList& args, const QProcessEnvironment& env,
                   const QString& folder = QString()) {
    QProcess p;
    p.setProcessEnvironment(env);
    if (!folder.isEmpty()) p.setWorkingDirectory(folder);
    p.start(program, args);
    Outcome o;
    if (!p.waitForStarted() || !p.waitForFinished(30000)) {
        p.kill();
        p.waitForFinished();
        o.err = QStringLiteral("did not end");
        return o;
    }
    o.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    o.out = QString::fromLocal8Bit(p.readAllStandardOutput());
    o.err = QString::fromLocal8Bit(p.readAllStandardError());
    return o;
}

// The environment of a terminal with no display and no platform chosen.
QProcessEnvironment NoDisplay() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(name));
    return env;
}

TEST(CommandLine, DeskUsageVersionAndRefusalsNeedNoDisplay) {
    struct Case {
        QStringList args;
        int status;
        const char* out;  // the start of standard output
        const char* err;  // contained in standard error ("" when it must be empty)
    };
    const Case cases[] = {
        {{"--help"}, 0, "Usage: KELVANORMProgram [--home]\n", ""},
        {{"-h"}, 0, "Usage: KELVANORMProgram [--home]\n", ""},
        {{"--home", "--help"}, 0, "Usage: KELVANORMProgram [--home]\n", ""},
        {{"--version"}, 0, "KELVANORMProgram " TARVIX_VERSION "\n", ""},
        {{"--frobnicate"}, 2, "", "KELVANORMProgram: unknown option --frobnicate\nUsage: KELVANORMProgram"},
        {{"-platform", "offscreen"}, 2, "", "KELVANORMProgram: unknown option -platform\nUsage:"},
        {{"--home", "meters"}, 2, "", "KELVANORMProgram: unexpected argument meters\nUsage:"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        const Outcome o = RunCommand(QStringLiteral(DESK_PROGRAM), c.args, NoDisplay());
        EXPECT_EQ(o.status, c.status) << o.err.toStdString();
        if (*c.out == 0) {
            EXPECT_TRUE(o.out.isEmpty()) << o.out.toStdString();
        } else {
            EXPECT_TRUE(o.out.startsWith(QString::fromLatin1(c.out))) << o.out.toStdString();
        }
        if (*c.err == 0)
            EXPECT_TRUE(o.err.isEmpty()) << o.err.toStdString();
        else
            EXPECT_TRUE(o.err.contains(QString::fromLatin1(c.err))) << o.err.toStdString();
    }
    // The usage tells what the folder must hold and how to make it.
    const QString usage =
        RunCommand(QStringLiteral(DESK_PROGRAM), {QStringLiteral("--help")}, NoDisplay()).out;
    for (const char* said : {"--home", "db.mdb", "B.DBF",
                             "kelvanorm-create-db . && cp /usr/share/kelvanorm/B.DBF .", "--version"})
        EXPECT_TRUE(usage.contains(QString::fromLatin1(said))) << said;
}

// Started in a folder without db.mdb or B.DBF the desk says at once what is missing and how to make
// it, and its window goes on running.
TEST(CommandLine, DeskSaysAtStartWhatItsFolderLacks) {
    struct Case {
        const char* what;
        bool db, table_template;
        QStringList said, not_said;
    };
    const Case cases[] = {
        {"an empty folder",
         false,
         false,
         {"lacks the meter database db.mdb and the task-table template B.DBF", "kelvanorm-create-db . && cp ",
          "/B.DBF ."},
         {}},
        {"no template", true, false, {"lacks the task-table template B.DBF", "cp "}, {"db.mdb", "create-db"}},
        {"no database",
         false,
         true,
         {"lacks the meter database db.mdb", "kelvanorm-create-db ."},
         {"B.DBF", "cp "}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        desktest::DataFolder folder(c.db, c.table_template);
        QProcessEnvironment env = NoDisplay();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        QProcess desk;
        desk.setProcessEnvironment(env);
        desk.setWorkingDirectory(folder.path());
        desk.start(QStringLiteral(DESK_PROGRAM), {});
        ASSERT_TRUE(desk.waitForStarted());
        const QString err =
            desktest::ReadUntil(desk, QProcess::StandardError, QStringLiteral("--home to work"), 20000);
        EXPECT_EQ(desk.state(), QProcess::Running) << "the window opens all the same";
        desk.kill();
        desk.waitForFinished();
        EXPECT_TRUE(err.contains(QStringLiteral("KELVANORMProgram: The folder %1 lacks").arg(folder.path())))
            << err.toStdString();
        for (const QString& s : c.said)
            EXPECT_TRUE(err.contains(s)) << s.toStdString() << "\n" << err.toStdString();
        const QString told = err.mid(err.indexOf(QLatin1String(" lacks ")));
        for (const QString& s : c.not_said) EXPECT_FALSE(told.contains(s)) << s.toStdString();
    }
}

// kelvanorm-create-db as installed (bin/ with the schema in ../share/kelvanorm) and as it lies in
// the source tree: usage, refusals, folders it cannot use and the database it makes.
TEST(CommandLine, CreateDbUsageRefusalsAndFolders) {
    QTemporaryDir root;
    const QDir prefix(root.path());
    ASSERT_TRUE(prefix.mkpath(QStringLiteral("bin")) && prefix.mkpath(QStringLiteral("share/kelvanorm")) &&
                prefix.mkpath(QStringLiteral("data")));
    const QString installed = prefix.filePath(QStringLiteral("bin/kelvanorm-create-db"));
    ASSERT_TRUE(QFile::copy(QStringLiteral(TARVIX_SOURCE_DIR "/scripts/create_db.sh"), installed));
    ASSERT_TRUE(QFile::copy(QStringLiteral(TARVIX_SOURCE_DIR "/scripts/meter_schema.sql"),
                            prefix.filePath(QStringLiteral("share/kelvanorm/meter_schema.sql"))));
    const QString a_file = prefix.filePath(QStringLiteral("data/notes.txt"));
    QFile(a_file).open(QIODevice::WriteOnly);
    const QString data = prefix.filePath(QStringLiteral("data"));
    const QString usage = QStringLiteral("Usage: kelvanorm-create-db [FOLDER]\n");

    struct Case {
        QStringList args;
        int status;
        QString out, err;  // the start of each
    };
    const Case cases[] = {
        {{"--help"}, 0, usage, {}},
        {{"-h"}, 0, usage, {}},
        {{"--force"}, 2, {}, QStringLiteral("kelvanorm-create-db: unknown option --force\n") + usage},
        {{data, data}, 2, {}, QStringLiteral("kelvanorm-create-db: one folder at most\n") + usage},
        {{""}, 2, {}, QStringLiteral("kelvanorm-create-db: the folder name is empty\n") + usage},
        {{"--"}, 2, {}, QStringLiteral("kelvanorm-create-db: -- needs a folder after it\n") + usage},
        {{prefix.filePath("none")},
         1,
         {},
         QStringLiteral("kelvanorm-create-db: no folder %1\n").arg(prefix.filePath("none"))},
        {{a_file}, 1, {}, QStringLiteral("kelvanorm-create-db: %1 is not a folder\n").arg(a_file)},
        // A folder no one may write in (not even root), and one whose writing fails only when tried.
        {{"/proc/self"}, 1, {}, QStringLiteral("kelvanorm-create-db: cannot write in /proc/self\n")},
        {{"/proc"}, 1, {}, QStringLiteral("kelvanorm-create-db: cannot write db.mdb in /proc\n")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        const Outcome o = RunCommand(installed, c.args, NoDisplay(), data);
        EXPECT_EQ(o.status, c.status) << o.err.toStdString();
        EXPECT_TRUE(c.out.isEmpty() ? o.out.isEmpty() : o.out.startsWith(c.out)) << o.out.toStdString();
        EXPECT_TRUE(c.err.isEmpty() ? o.err.isEmpty() : o.err.startsWith(c.err)) << o.err.toStdString();
        EXPECT_FALSE(o.err.contains(QLatin1String(".db.mdb"))) << "no word of the temporary";
        EXPECT_FALSE(QFile::exists(prefix.filePath(QStringLiteral("data/db.mdb"))));
    }

    // The database, in the current folder by default and in the folder named (after "--" too).
    ASSERT_TRUE(prefix.mkpath(QStringLiteral("-dashed")));
    const struct {
        QStringList args;
        QString folder;
    } makes[] = {{{}, data}, {{"--", prefix.filePath("-dashed")}, prefix.filePath("-dashed")}};
    for (const auto& m : makes) {
        SCOPED_TRACE(m.args.join(' ').toStdString());
        const Outcome made = RunCommand(installed, m.args, NoDisplay(), data);
        EXPECT_EQ(made.status, 0) << made.err.toStdString();
        EXPECT_TRUE(made.out.startsWith(QStringLiteral("kelvanorm-create-db: wrote ")))
            << made.out.toStdString();
        const QString db_path = QDir(m.folder).filePath(QStringLiteral("db.mdb"));
        {
            QSqlDatabase db =
                QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("create-db-test"));
            db.setDatabaseName(db_path);
            ASSERT_TRUE(db.open());
            QSqlQuery q(db);
            EXPECT_TRUE(q.exec(
                QStringLiteral("select NID, clientid, address, meterid, ROTER, lx, RESET from Meter")));
            db.close();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("create-db-test"));
        for (const QString& name : QDir(m.folder).entryList(QDir::Files | QDir::Hidden))
            EXPECT_FALSE(name.startsWith(QLatin1String(".db.mdb"))) << "the temporary was renamed in";
    }
    // An existing database is kept as it is.
    const QString db_path = QDir(data).filePath(QStringLiteral("db.mdb"));
    {
        QFile f(db_path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("the operator's meters");
    }
    const Outcome kept = RunCommand(installed, {data}, NoDisplay());
    EXPECT_EQ(kept.status, 0);
    EXPECT_EQ(kept.err, QStringLiteral("kelvanorm-create-db: %1/db.mdb exists; left unchanged\n").arg(data));
    QFile f(db_path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), "the operator's meters");

    // Run from the source tree it names itself as it was run.
    const Outcome source = RunCommand(QStringLiteral(TARVIX_SOURCE_DIR "/scripts/create_db.sh"),
                                      {QStringLiteral("--bogus")}, NoDisplay());
    EXPECT_EQ(source.status, 2);
    EXPECT_TRUE(source.err.startsWith(
        QStringLiteral("create_db.sh: unknown option --bogus\nUsage: create_db.sh [FOLDER]")))
        << source.err.toStdString();
}

}  // namespace
