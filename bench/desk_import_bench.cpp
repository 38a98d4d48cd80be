// Importing a 100 000-row meter workbook (.xlsx) into db.mdb, against openpyxl reading the same file
// in the same run:  desk_import_bench [ROWS]   (or --write BOOK [ROWS] / --import BOOK, below)
// Prints the times of reading the sheet, of the whole import (read, convert, replace Meter in one
// transaction, pad the serials), of the same with the progress bar following it, and of fetching every
// row for the grid, and the ratio of the import to openpyxl's read-only pass over the same cells.
#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProgressBar>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlQueryModel>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "desk_bench_data.h"
#include "meter_db.h"
#include "progress_pump.h"
#include "workbook.h"

using deskbench::Seconds;

int main(int argc, char** argv) {
    // Whole-process timing from outside: "--write BOOK [ROWS]" writes the workbook, "--import BOOK"
    // imports it into a fresh db.mdb and ends, as the window's command does its work (without a window:
    // the desk's is up before any import).
    if (argc >= 3 && (std::strcmp(argv[1], "--write") == 0 || std::strcmp(argv[1], "--import") == 0)) {
        QCoreApplication core(argc, argv);
        if (std::strcmp(argv[1], "--write") == 0)
            return deskbench::WriteBook(QString::fromLocal8Bit(argv[2]),
                                        argc > 3 ? std::atoi(argv[3]) : 100000)
                       ? 0
                       : 1;
        QTemporaryDir dir;
        if (!deskbench::MakeDatabase(dir.path())) return 1;
        QSqlDatabase db = desk::OpenMeterDatabase(dir.path(), QStringLiteral("bench"));
        desk::ImportMeters(db, desk::ReadFirstSheet(argv[2], desk::kImportColumns));
        return 0;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir dir;
    const int rows = argc > 1 ? std::atoi(argv[1]) : 100000;
    const QString book = dir.filePath(QStringLiteral("meters.xlsx"));
    if (!deskbench::WriteBook(book, rows) || !deskbench::MakeDatabase(dir.path())) return 1;

    auto t0 = std::chrono::steady_clock::now();
    const desk::Sheet probe =
        desk::ReadFirstSheet(QFile::encodeName(book).toStdString(), desk::kImportColumns);
    const double read_only = Seconds(t0);

    double import = 0, grid = 0, with_bar = 0, replace = 0;
    {
        QSqlDatabase db = desk::OpenMeterDatabase(dir.path(), QStringLiteral("bench"));
        t0 = std::chrono::steady_clock::now();
        const desk::Sheet sheet =
            desk::ReadFirstSheet(QFile::encodeName(book).toStdString(), desk::kImportColumns);
        desk::ImportMeters(db, sheet);
        import = Seconds(t0);
        t0 = std::chrono::steady_clock::now();
        QSqlQueryModel model;
        model.setQuery(QString::fromLatin1(desk::kGridQueryStatement), db);
        while (model.canFetchMore()) model.fetchMore();
        grid = Seconds(t0);

        // Replacing the full table, without and with the window's progress bar following it
        // (repainted every 50 ms), in turns; the best of three of each, as other work on the machine
        // only ever adds time.
        QProgressBar bar;
        bar.resize(793, 17);
        bar.show();
        replace = with_bar = 1e9;
        for (int turn = 0; turn < 3; ++turn) {
            t0 = std::chrono::steady_clock::now();
            desk::ImportMeters(
                db, desk::ReadFirstSheet(QFile::encodeName(book).toStdString(), desk::kImportColumns));
            replace = std::min(replace, Seconds(t0));

            t0 = std::chrono::steady_clock::now();
            const desk::Sheet again =
                desk::ReadFirstSheet(QFile::encodeName(book).toStdString(), desk::kImportColumns);
            bar.setRange(0, again.rowCount());
            desk::ProgressPump pump(&bar);
            desk::ImportMeters(db, again, [&pump](int k) { pump.set(k); });
            pump.flush();
            with_bar = std::min(with_bar, Seconds(t0));
        }
        if (model.rowCount() != rows) {
            std::fprintf(stderr, "desk_import_bench: the grid holds %d rows, not %d\n", model.rowCount(),
                         rows);
            return 1;
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bench"));

    // openpyxl's read-only pass over every cell of the same file.
    QProcess py;
    const QString script = QStringLiteral(
        "import sys,time,openpyxl\n"
        "t=time.monotonic()\n"
        "wb=openpyxl.load_workbook(sys.argv[1],read_only=True)\n"
        "n=sum(1 for _ in wb.worksheets[0].iter_rows(values_only=True))\n"
        "print(time.monotonic()-t, n)\n");
    py.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral("-c"), script, book});
    if (!py.waitForFinished(600000) || py.exitCode() != 0) {
        std::fprintf(stderr, "desk_import_bench: openpyxl failed: %s\n",
                     py.readAllStandardError().constData());
        return 1;
    }
    double openpyxl = py.readAllStandardOutput().split(' ').front().toDouble();
    // A second pass, the better one counting, as for the desk.
    py.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral("-c"), script, book});
    if (py.waitForFinished(600000) && py.exitCode() == 0)
        openpyxl = std::min(openpyxl, py.readAllStandardOutput().split(' ').front().toDouble());

    std::printf("desk import of %d rows (%.1f MB .xlsx)\n", rows, QFileInfo(book).size() / 1e6);
    std::printf("  read sheet           %8.3f s\n", read_only);
    std::printf("  import into Meter    %8.3f s  (read, convert, replace, pad)\n", import);
    std::printf("  grid fetch           %8.3f s\n", grid);
    std::printf("  openpyxl read-only   %8.3f s  (best of 2)\n", openpyxl);
    std::printf("  import, replacing    %8.3f s  (Meter full; best of 3)\n", replace);
    std::printf("  same, with progress  %8.3f s  (best of 3; %+.1f %% for the repainted bar)\n", with_bar,
                replace > 0 ? (with_bar / replace - 1) * 100 : 0.0);
    const double best = std::min(import, replace);
    std::printf("  ratio import/openpyxl %7.3f  (the import is %.1fx the speed of openpyxl)\n",
                openpyxl > 0 ? best / openpyxl : 0.0, best > 0 ? openpyxl / best : 0.0);
    return probe.rowCount() == rows + 1 ? 0 : 1;
}
