// Importing a 100 000-row meter workbook (.xlsx) into db.mdb, against openpyxl reading the same file
// in the same run:  desk_import_bench [ROWS]
// Prints the times of reading the sheet, of the whole import (read, convert, replace Meter in one
// transaction, pad the serials) and of fetching every row for the grid, and the ratio of the import
// to openpyxl's read-only pass over the same cells.
#include <xlsxwriter.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlQueryModel>
#include <QTemporaryDir>
#include <chrono>
#include <cstdio>

#include "meter_db.h"
#include "workbook.h"

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

bool WriteBook(const QString& path, int rows) {
    lxw_workbook* wb = workbook_new(QFile::encodeName(path).constData());
    lxw_worksheet* ws = workbook_add_worksheet(wb, nullptr);
    const char* heading[] = {"NID", "Cliente", "Direccion", "Medidor", "Ruta", "Tipo", "G",
                             "H",   "I",       "J",         "K",       "L",    "M",    "Reset"};
    for (int c = 0; c < 14; ++c)
        worksheet_write_string(ws, 0, static_cast<lxw_col_t>(c), heading[c], nullptr);
    char text[64];
    for (int r = 1; r <= rows; ++r) {
        const auto row = static_cast<lxw_row_t>(r);
        worksheet_write_number(ws, row, 0, r, nullptr);
        std::snprintf(text, sizeof text, "%07d", r * 13 % 9999991);
        worksheet_write_string(ws, row, 1, text, nullptr);
        std::snprintf(text, sizeof text, "Avenida Principal %d, barrio %d", r, r % 97);
        worksheet_write_string(ws, row, 2, text, nullptr);
        worksheet_write_number(ws, row, 3, 100000 + r * 7, nullptr);
        std::snprintf(text, sizeof text, "R%02d", r % 40);
        worksheet_write_string(ws, row, 4, text, nullptr);
        worksheet_write_string(ws, row, 5, r % 2 ? "T1" : "M3", nullptr);
        worksheet_write_string(ws, row, 6, "ignored", nullptr);
        worksheet_write_number(ws, row, 13, r % 5, nullptr);
    }
    return workbook_close(wb) == LXW_NO_ERROR;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int rows = argc > 1 ? std::atoi(argv[1]) : 100000;
    QTemporaryDir dir;
    const QString book = dir.filePath(QStringLiteral("meters.xlsx"));
    if (!WriteBook(book, rows)) return 1;

    // An empty db.mdb with the project's schema.
    QFile schema(QStringLiteral(TARVIX_SOURCE_DIR "/scripts/meter_schema.sql"));
    if (!schema.open(QIODevice::ReadOnly)) return 1;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("setup"));
        db.setDatabaseName(dir.filePath(QStringLiteral("db.mdb")));
        if (!db.open() || !QSqlQuery(db).exec(QString::fromUtf8(schema.readAll()))) return 1;
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("setup"));

    auto t0 = std::chrono::steady_clock::now();
    const desk::Sheet probe =
        desk::ReadFirstSheet(QFile::encodeName(book).toStdString(), desk::kImportColumns);
    const double read_only = Seconds(t0);

    double import = 0, grid = 0;
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
    const double openpyxl = py.readAllStandardOutput().split(' ').front().toDouble();

    std::printf("desk import of %d rows (%.1f MB .xlsx)\n", rows, QFileInfo(book).size() / 1e6);
    std::printf("  read sheet           %8.3f s\n", read_only);
    std::printf("  import into Meter    %8.3f s  (read, convert, replace, pad)\n", import);
    std::printf("  grid fetch           %8.3f s\n", grid);
    std::printf("  openpyxl read-only   %8.3f s\n", openpyxl);
    std::printf("  ratio import/openpyxl %7.3f\n", openpyxl > 0 ? import / openpyxl : 0.0);
    return probe.rowCount() == rows + 1 ? 0 : 1;
}
