// Part files left by a desk that ended mid-write: removed once their process no longer runs, kept
// while it does, and no other file touched; an earlier table held aside is never lost.
#include "temporaries.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTableWidget>
#include <QTemporaryDir>

#include "helpers.h"
#include "linklib/tables/dbf.h"
#include "processes.h"

namespace {

// The id of a process that has ended (and been reaped).
long long EndedProcess() {
    QProcess p;
    p.start(QStringLiteral("/bin/true"), {});
    EXPECT_TRUE(p.waitForStarted());
    const long long pid = p.processId();
    EXPECT_TRUE(p.waitForFinished());
    return pid;
}

void Touch(const QString& path, const QByteArray& bytes = "part") {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << path.toStdString();
    f.write(bytes);
}

TEST(Temporaries, NamesOfTheDesksOwnPartFiles) {
    struct Case {
        const char* name;
        long long owner;  // 0: not one of the desk's
    };
    const Case cases[] = {
        {"downa.dbf.part123-0", 123},
        {"DOWNA.DBF.part123-7", 123},
        {"downa.dbf.part123-0.previous", 123},
        {"downa.dbi.part9-1", 9},
        {"A.DBC.part45-0", 45},
        {"a.dbi.part45-2", 45},
        {".report1.xlsx.part77-0", 77},
        {".Informe de junio.xls.part77-3", 77},
        {"downa.dbf.part123", 0},
        {"downa.dbf.part-0", 0},
        {"downa.dbf.part123-0.bak", 0},
        {"downa.dbf.part123-0.previous.1", 0},
        {"xdowna.dbf.part123-0", 0},
        {"B.DBF.part123-0", 0},
        {"A.DBF.part123-0", 0},
        {"report1.xlsx.part77-0", 0},
        {".report1.xlsx.part", 0},
        {".report1.csv.part77-0", 0},
        {".report1.xlsx.part77-0~", 0},
        {"downa.dbf.part0-0", 0},
        {"downa.dbf.part12345678901-0", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::optional<long long> owner = desk::TemporaryFileOwner(QString::fromUtf8(c.name));
        if (c.owner == 0)
            EXPECT_FALSE(owner.has_value());
        else
            EXPECT_EQ(owner.value_or(-1), c.owner);
    }
    // The report's own part file is one of them, named after this process.
    const QString report = desk::ReportTemporaryName(QStringLiteral("informe.xlsx"));
    EXPECT_EQ(desk::TemporaryFileOwner(report).value_or(-1), QCoreApplication::applicationPid());
    EXPECT_TRUE(report.startsWith(QStringLiteral(".informe.xlsx.part")));
}

TEST(Temporaries, ProcessGoneOnlyWhenItCannotHaveWrittenTheFile) {
    const QDateTime now = QDateTime::currentDateTime();
    EXPECT_TRUE(desk::ProcessGone(EndedProcess(), now));
    EXPECT_FALSE(desk::ProcessGone(QCoreApplication::applicationPid(), now.addYears(-5)));
    QProcess running;
    running.start(QStringLiteral("/bin/sleep"), {QStringLiteral("60")});
    ASSERT_TRUE(running.waitForStarted());
    EXPECT_FALSE(desk::ProcessGone(running.processId(), now.addSecs(1)));
    // The id now names a process that started after the file was last written: another process.
    EXPECT_TRUE(desk::ProcessGone(running.processId(), now.addSecs(-3600)));
    running.kill();
    running.waitForFinished();
}

TEST(Temporaries, StaleFilesGoLiveOnesAndOthersStay) {
    QTemporaryDir dir;
    const QDir folder(dir.path());
    const long long dead = EndedProcess();
    QProcess running;
    running.start(QStringLiteral("/bin/sleep"), {QStringLiteral("60")});
    ASSERT_TRUE(running.waitForStarted());
    const long long live = running.processId();
    auto part = [](const char* pattern, long long pid) { return QString::fromUtf8(pattern).arg(pid); };

    const QStringList stale = {part("downa.dbf.part%1-0", dead), part("DOWNA.DBF.part%1-3", dead),
                               part("A.DBC.part%1-1", dead), part("A.DBI.part%1-0", dead),
                               part(".report1.xlsx.part%1-0", dead)};
    const QStringList kept = {part("downa.dbf.part%1-0", live),
                              part(".report1.xlsx.part%1-1", live),
                              part("downa.dbf.part%1-0", QCoreApplication::applicationPid()),
                              part("downa.dbf.part%1", dead),
                              part("downa.dbf.part%1-0.bak", dead),
                              part("xdowna.dbf.part%1-0", dead),
                              part("report1.xlsx.part%1-0", dead),
                              part(".report1.csv.part%1-0", dead),
                              part("B.DBF.part%1-0", dead),
                              QStringLiteral(".report1.xlsx.part"),
                              QStringLiteral("downa.dbf"),
                              QStringLiteral("A.DBF"),
                              QStringLiteral(".A.DBF.part")};
    for (const QString& name : stale + kept) Touch(folder.filePath(name));
    // A live process's id given again to a process started after the file was written.
    const QString reused = part("downa.dbi.part%1-4", live);
    Touch(folder.filePath(reused));
    {
        QFile f(folder.filePath(reused));
        ASSERT_TRUE(f.open(QIODevice::ReadWrite));
        ASSERT_TRUE(
            f.setFileTime(QDateTime::currentDateTime().addSecs(-3600), QFileDevice::FileModificationTime));
    }
    // Not a regular file of the pattern: a folder, and a link to a file elsewhere.
    const QString folder_name = part("downa.dbf.part%1-1", dead);
    ASSERT_TRUE(folder.mkdir(folder_name));
    QTemporaryDir elsewhere;
    const QString outside = QDir(elsewhere.path()).filePath(QStringLiteral("keep.txt"));
    Touch(outside);
    const QString link = part("downa.dbf.part%1-2", dead);
    ASSERT_TRUE(QFile::link(outside, folder.filePath(link)));

    EXPECT_EQ(desk::RemoveStaleTemporaries(dir.path()), stale.size() + 1);
    for (const QString& name : stale) EXPECT_FALSE(folder.exists(name)) << name.toStdString();
    EXPECT_FALSE(folder.exists(reused));
    for (const QString& name : kept) EXPECT_TRUE(folder.exists(name)) << name.toStdString();
    EXPECT_TRUE(QFileInfo(folder.filePath(folder_name)).isDir());
    EXPECT_TRUE(QFileInfo(folder.filePath(link)).isSymLink());
    EXPECT_TRUE(QFileInfo::exists(outside));
    running.kill();
    running.waitForFinished();
}

// Table files as a download may leave them under downa.dbf.
struct TableFiles {
    QByteArray complete, packed, malformed, cut;
};
TableFiles MakeTableFiles(const QDir& scratch) {
    TableFiles t;
    const QString table = scratch.filePath(QStringLiteral("table.dbf"));
    desktest::WriteTaskTable(table, {{{"nid", "1"}}, {{"nid", "2"}}, {{"nid", "3"}}});
    t.complete = desktest::FileBytes(table);
    // A packed table as the handheld sends it: date, blanks, 1 record of 2 bytes, 1 field "nid" N(3).
    t.packed = QByteArray("\x7E\x0C\x0B", 3) + QByteArray(8, ' ') + QByteArray("\x01\x00\x02\x00\x01", 5) +
               QByteArray("nid\0\0\0\0\0\0\0N\x02\x03\x00\x00\x00", 16) + QByteArray("\xD1\x23", 2);
    // A table header whose record length disagrees with its fields.
    t.malformed = t.complete.left(static_cast<qsizetype>(
        tarvix::dbf::StoredHeaderLength({reinterpret_cast<const uint8_t*>(t.complete.constData()), 32})));
    t.malformed[10] = '\x05';
    t.malformed[11] = '\x00';
    // The table cut after its first record: the header counts three.
    const qsizetype record =
        static_cast<uint8_t>(t.complete[10]) | (static_cast<uint8_t>(t.complete[11]) << 8);
    t.cut = t.complete.left(t.complete.size() - 1 - 2 * record);
    return t;
}

TEST(Temporaries, CompleteTablesAreToldFromPackedCutAndMalformedOnes) {
    QTemporaryDir dir;
    const QDir folder(dir.path());
    const TableFiles t = MakeTableFiles(folder);
    const std::pair<const char*, QByteArray> cases[] = {
        {"complete", t.complete},
        {"complete without its end marker", t.complete.chopped(1)},
        {"packed", t.packed},
        {"malformed", t.malformed},
        {"cut", t.cut},
        {"empty", QByteArray()},
        {"text", "not a table at all"},
        {"header only", t.complete.left(32)},
    };
    for (const auto& [what, bytes] : cases) {
        const QString path = folder.filePath(QString::fromUtf8(what));
        Touch(path, bytes);
        EXPECT_EQ(desk::IsCompleteTable(path), std::string(what).starts_with("complete")) << what;
    }
    EXPECT_FALSE(desk::IsCompleteTable(folder.filePath(QStringLiteral("none"))));
}

// The earlier file a download held aside is never lost: it comes back unless a complete new table
// took its place, and a download that was not yet (or could not be) unpacked goes to downa.db$.
TEST(Temporaries, EarlierFileHeldAsideComesBackUnlessACompleteTableTookItsPlace) {
    QTemporaryDir scratch;
    const TableFiles t = MakeTableFiles(QDir(scratch.path()));
    const QByteArray earlier = t.complete + "earlier";  // the operator's earlier table, byte for byte
    const QByteArray older_packed = "packed table of an earlier failed download";
    const QByteArray none;  // no such file
    struct Case {
        const char* what;
        const char* target;  // the name the file was held aside from
        QByteArray under_target;
        QByteArray aside_before;  // under downa.db$
        bool live;                // the process that held it aside still runs
        QByteArray target_after, aside_after;
        bool held_gone;
    };
    const Case cases[] = {
        {"nothing took its place", "downa.dbf", none, none, false, earlier, none, true},
        {"packed download renamed in place", "downa.dbf", t.packed, none, false, earlier, t.packed, true},
        {"malformed download left in place", "downa.dbf", t.malformed, none, false, earlier, t.malformed,
         true},
        {"table cut short", "downa.dbf", t.cut, none, false, earlier, t.cut, true},
        {"downa.db$ taken", "downa.dbf", t.packed, older_packed, false, earlier, older_packed, true},
        {"complete new table in place", "downa.dbf", t.complete, none, false, t.complete, none, true},
        {"side file", "downa.dbi", "side file of the new table", none, false, earlier, none, true},
        {"process still running", "downa.dbf", t.packed, none, true, t.packed, none, false},
    };
    QProcess running;
    running.start(QStringLiteral("/bin/sleep"), {QStringLiteral("60")});
    ASSERT_TRUE(running.waitForStarted());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QTemporaryDir dir;
        const QDir folder(dir.path());
        const QString target = folder.filePath(QString::fromLatin1(c.target));
        const QString aside = folder.filePath(QStringLiteral("downa.db$"));
        const QString held =
            target + QStringLiteral(".part%1-0.previous").arg(c.live ? running.processId() : EndedProcess());
        Touch(held, earlier);
        if (!c.under_target.isNull()) Touch(target, c.under_target);
        if (!c.aside_before.isNull()) Touch(aside, c.aside_before);

        EXPECT_EQ(desk::RemoveStaleTemporaries(dir.path()), c.held_gone ? 1 : 0);
        EXPECT_EQ(QFileInfo::exists(held), !c.held_gone);
        EXPECT_EQ(QFileInfo::exists(target), !c.target_after.isNull());
        EXPECT_EQ(desktest::FileBytes(target), c.target_after);
        EXPECT_EQ(QFileInfo::exists(aside), !c.aside_after.isNull());
        EXPECT_EQ(desktest::FileBytes(aside), c.aside_after);
        EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(),
                  !c.held_gone + !c.target_after.isNull() + !c.aside_after.isNull());
    }
    running.kill();
    running.waitForFinished();
}

// A folder under the table's name is nothing the desk wrote: it and the earlier table stay.
TEST(Temporaries, EarlierTableStaysWhenSomethingElseHoldsItsName) {
    QTemporaryDir dir;
    const QDir folder(dir.path());
    ASSERT_TRUE(folder.mkdir(QStringLiteral("downa.dbf")));
    const QString held = folder.filePath(QStringLiteral("downa.dbf.part%1-0.previous").arg(EndedProcess()));
    Touch(held, "earlier table");
    EXPECT_EQ(desk::RemoveStaleTemporaries(dir.path()), 0);
    EXPECT_EQ(desktest::FileBytes(held), "earlier table");
    EXPECT_TRUE(QFileInfo(folder.filePath(QStringLiteral("downa.dbf"))).isDir());
}

// The download clears the data folder before its transfer, the export the report's folder.
TEST(Temporaries, DownloadAndExportClearTheirFolders) {
    desktest::Desk d;
    const long long dead = EndedProcess();
    const QString download_part = d.data.file(QStringLiteral("downa.dbf.part%1-0").arg(dead));
    const QString report_part = d.data.file(QStringLiteral(".informe.xlsx.part%1-0").arg(dead));
    Touch(download_part);
    bool gone_before_transfer = false;
    d.hc.on_get = [&] {
        gone_before_transfer = !QFileInfo::exists(download_part);
        Touch(report_part);  // the desk that ended while writing a report
        desktest::WriteTaskTable(d.data.file(QStringLiteral("downa.dbf")), {{{"nid", "1"}}});
    };
    d.form->DownloadfromHHU1Click();
    EXPECT_TRUE(gone_before_transfer);
    ASSERT_EQ(d.form->ListView2->rowCount(), 1);
    ASSERT_TRUE(QFileInfo::exists(report_part));

    d.ui.save_answers.push_back(desk::SaveChoice{d.data.file(QStringLiteral("informe")), 2});
    d.form->Exportdatatoexcel2Click();
    ASSERT_TRUE(d.ui.last().startsWith(QStringLiteral("Data has been successfully exported to\uFF1A")));
    EXPECT_FALSE(QFileInfo::exists(report_part));
    EXPECT_TRUE(QFileInfo::exists(d.data.file(QStringLiteral("informe.xlsx"))));
    for (const QString& name : QDir(d.data.path()).entryList(QDir::Files | QDir::Hidden))
        EXPECT_FALSE(name.contains(QStringLiteral(".part"))) << name.toStdString();
}

}  // namespace
