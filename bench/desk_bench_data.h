// The desk benches' district: a meter workbook of any size and an empty db.mdb.
#pragma once

#include <xlsxwriter.h>

#include <QDir>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <chrono>
#include <cstdio>

namespace deskbench {

inline double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Headings, then rows of NID, client, address, serial, route, type, a note, and the reset value.  Every
// seventh address carries a name beyond ASCII, as a real district's do.
inline bool WriteBook(const QString& path, int rows) {
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
        std::snprintf(text, sizeof text,
                      r % 7 ? "Avenida Principal %d, barrio %d"
                            : "Pasaje \xC3\x91"
                              "and\xC3\xBA %d, barrio %d",
                      r, r % 97);
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

// An empty db.mdb with the project's schema in dir.
inline bool MakeDatabase(const QString& dir) {
    QFile schema(QStringLiteral(TARVIX_SOURCE_DIR "/scripts/meter_schema.sql"));
    if (!schema.open(QIODevice::ReadOnly)) return false;
    bool ok;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("setup"));
        db.setDatabaseName(QDir(dir).filePath(QStringLiteral("db.mdb")));
        ok = db.open() && QSqlQuery(db).exec(QString::fromUtf8(schema.readAll()));
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("setup"));
    return ok;
}

}  // namespace deskbench
