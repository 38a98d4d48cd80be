#include "meter_db.h"

#include <QDir>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QUrl>
#include <cfenv>
#include <cmath>

namespace desk {

QString NumberText(double value) {
    if (value == 0) return QStringLiteral("0");  // also -0
    // Whole numbers (serials, client numbers) are most cells: the integer form is the same text and
    // much cheaper than the general formatting.
    if (std::fabs(value) < 1e15 && value == std::trunc(value))
        return QString::number(static_cast<qint64>(value));
    return QString::number(value, 'g', 15);
}

namespace {

QString DateText(double serial) {
    // Serial days from 1899-12-30; the fraction is the time of day.
    double whole = std::floor(serial);
    qint64 seconds = std::llround((serial - whole) * 86400.0);
    if (seconds >= 86400) {
        whole += 1;
        seconds -= 86400;
    }
    const QDate date = QDate(1899, 12, 30).addDays(static_cast<qint64>(whole));
    const QTime time = QTime(0, 0).addSecs(static_cast<int>(seconds));
    if (serial >= 0 && serial < 1) return time.toString(QStringLiteral("hh:mm:ss"));
    if (seconds == 0) return date.toString(QStringLiteral("yyyy-MM-dd"));
    return date.toString(QStringLiteral("yyyy-MM-dd")) + QLatin1Char(' ') +
           time.toString(QStringLiteral("hh:mm:ss"));
}

bool NumberForField(double value, FieldType type, QVariant& out, QString& why) {
    if (!std::isfinite(value)) {
        why = QStringLiteral("the value is not a number");
        return false;
    }
    if (type == FieldType::Real) {
        out = value;
        return true;
    }
    // Whole-number fields round half to even, as the old data layer did.
    const double rounded = std::nearbyint(value);
    if (rounded < -2147483648.0 || rounded > 2147483647.0) {
        why = QStringLiteral("the number is too large for a whole-number field");
        return false;
    }
    out = static_cast<qint64>(rounded);
    return true;
}

}  // namespace

bool ConvertCell(const CellValue& cell, FieldType type, QVariant& out, QString& why) {
    using K = CellValue::Kind;
    out = QVariant();
    switch (cell.kind) {
        case K::Empty:
            return true;
        case K::Text: {
            const QString text = QString::fromStdString(cell.text);
            if (type == FieldType::Text) {
                out = text;
                return true;
            }
            bool ok = false;
            const double v = text.trimmed().toDouble(&ok);
            if (!ok) {
                why = QStringLiteral("the text \"%1\" is not a number").arg(text);
                return false;
            }
            return NumberForField(v, type, out, why);
        }
        case K::Number:
            if (type == FieldType::Text) {
                out = NumberText(cell.number);
                return true;
            }
            return NumberForField(cell.number, type, out, why);
        case K::Boolean:
            if (type == FieldType::Text) {
                out = cell.boolean ? QStringLiteral("True") : QStringLiteral("False");
                return true;
            }
            return NumberForField(cell.boolean ? -1 : 0, type, out, why);
        case K::Date:
            if (type == FieldType::Text) {
                out = DateText(cell.number);
                return true;
            }
            return NumberForField(cell.number, type, out, why);
    }
    return true;
}

QSqlDatabase OpenMeterDatabase(const QString& data_dir, const QString& connection_name) {
    const QString path = QDir(data_dir).absoluteFilePath(QStringLiteral("db.mdb"));
    if (!QFileInfo(path).isFile()) throw DeskError(QStringLiteral("Could not find file '%1'.").arg(path));
    QSqlDatabase db = QSqlDatabase::contains(connection_name)
                          ? QSqlDatabase::database(connection_name, false)
                          : QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection_name);
    if (!db.isValid()) throw DeskError(QStringLiteral("The database driver QSQLITE is not available."));
    db.close();
    // Opened read-write without the create flag, so a database that vanished is never made anew.
    QUrl url = QUrl::fromLocalFile(path);
    url.setQuery(QStringLiteral("mode=rw"));
    db.setDatabaseName(url.toString(QUrl::FullyEncoded));
    db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=2000"));
    if (!db.open())
        throw DeskError(
            QStringLiteral("The database '%1' cannot be opened: %2").arg(path, db.lastError().text()));
    // A file that is no database opens lazily; the first statement tells.
    QSqlQuery probe(db);
    if (!probe.exec(QStringLiteral("SELECT count(*) FROM sqlite_master"))) {
        const QString why = probe.lastError().text();
        db.close();
        throw DeskError(QStringLiteral("The database '%1' cannot be opened: %2").arg(path, why));
    }
    return db;
}

namespace {

struct MeterColumn {
    QString name;
    FieldType type;
};

std::vector<MeterColumn> MeterColumns(QSqlDatabase& db, bool need_all = true) {
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("PRAGMA table_info(Meter)")))
        throw DeskError(QStringLiteral("The table Meter cannot be read: %1").arg(q.lastError().text()));
    std::vector<MeterColumn> columns;
    while (q.next()) {
        const QString declared = q.value(2).toString().toUpper();
        FieldType type = FieldType::Real;
        if (declared.contains(QLatin1String("INT")))
            type = FieldType::Integer;
        else if (declared.contains(QLatin1String("CHAR")) || declared.contains(QLatin1String("TEXT")) ||
                 declared.contains(QLatin1String("CLOB")) || declared.isEmpty())
            type = FieldType::Text;
        columns.push_back({q.value(1).toString(), type});
    }
    if (columns.empty()) throw DeskError(QStringLiteral("The database has no table Meter."));
    if (need_all && static_cast<int>(columns.size()) < kMeterMinColumns)
        throw DeskError(QStringLiteral("The table Meter has %1 columns; the import needs at least %2.")
                            .arg(columns.size())
                            .arg(kMeterMinColumns));
    return columns;
}

}  // namespace

bool ConvertEdit(const QString& text, FieldType type, QVariant& out, QString& why) {
    if (text.isEmpty()) {
        out = type == FieldType::Text ? QVariant(QMetaType::fromType<QString>())
                                      : QVariant(QMetaType::fromType<double>());
        return true;
    }
    if (!ConvertCell(CellValue::Text(text.toStdString()), type, out, why)) return false;
    if (type == FieldType::Text) out = text;
    return true;
}

std::vector<FieldType> MeterFieldTypes(QSqlDatabase& db, const QSqlRecord& fields) {
    const std::vector<MeterColumn> columns = MeterColumns(db, /*need_all=*/false);
    std::vector<FieldType> types;
    for (int i = 0; i < fields.count(); ++i) {
        FieldType type = FieldType::Text;
        for (const MeterColumn& c : columns)
            if (c.name.compare(fields.fieldName(i), Qt::CaseInsensitive) == 0) type = c.type;
        types.push_back(type);
    }
    return types;
}

namespace {

QString ColumnLetter(int column) {
    QString s;
    while (column > 0) {
        s.prepend(QChar('A' + (column - 1) % 26));
        column = (column - 1) / 26;
    }
    return s;
}

QString Quoted(const QString& name) {
    return QLatin1Char('"') + QString(name).replace('"', "\"\"") + QLatin1Char('"');
}

}  // namespace

void ImportMeters(QSqlDatabase& db, const Sheet& sheet, const std::function<void(int)>& progress) {
    const std::vector<MeterColumn> columns = MeterColumns(db);
    const int fields = static_cast<int>(kImportColumns.size());

    // Every row is converted before Meter is touched, into blocks of rows that are written one by one
    // with the progress told between them, so a window following it stays painted.
    constexpr int kBlock = 8192;
    const int rows = std::max(0, sheet.rowCount() - 1);
    std::vector<std::vector<QVariantList>> blocks;
    for (int r = 2; r <= sheet.rowCount(); ++r) {
        if ((r - 2) % kBlock == 0) {
            blocks.emplace_back(static_cast<size_t>(fields));
            for (auto& list : blocks.back()) list.reserve(std::min(kBlock, rows - (r - 2)));
        }
        std::vector<QVariantList>& values = blocks.back();
        for (int f = 0; f < fields; ++f) {
            const MeterColumn& column = columns[static_cast<size_t>(kImportPositions[f])];
            QVariant v;
            QString why;
            if (!ConvertCell(sheet.cell(r, kImportColumns[static_cast<size_t>(f)]), column.type, v, why))
                throw DeskError(
                    QStringLiteral("Row %1, column %2: the field %3 cannot take this value: %4.")
                        .arg(r)
                        .arg(ColumnLetter(kImportColumns[static_cast<size_t>(f)]), column.name, why));
            if (v.isNull()) {
                // A typed null, so that the driver binds NULL whatever the field.
                v = column.type == FieldType::Text ? QVariant(QMetaType::fromType<QString>())
                                                   : QVariant(QMetaType::fromType<double>());
            }
            values[static_cast<size_t>(f)].append(std::move(v));
        }
        if (progress) progress(r - 1);
    }

    QStringList names, marks;
    for (int f = 0; f < fields; ++f) {
        names << Quoted(columns[static_cast<size_t>(kImportPositions[f])].name);
        marks << QStringLiteral("?");
    }
    const QString insert = QStringLiteral("INSERT INTO Meter (%1) VALUES (%2)")
                               .arg(names.join(QLatin1Char(',')), marks.join(QLatin1Char(',')));

    if (!db.transaction())
        throw DeskError(QStringLiteral("The table Meter cannot be changed: %1").arg(db.lastError().text()));
    auto fail = [&](const QString& what, const QSqlQuery& q) {
        const QString text = QStringLiteral("%1: %2").arg(what, q.lastError().text());
        db.rollback();
        throw DeskError(text);
    };
    {
        QSqlQuery q(db);
        if (!q.exec(QStringLiteral("DELETE FROM Meter")))
            fail(QStringLiteral("The table Meter cannot be emptied"), q);
        if (rows > 0) {
            if (!q.prepare(insert)) fail(QStringLiteral("The meter rows cannot be written"), q);
            for (const std::vector<QVariantList>& block : blocks) {
                for (int f = 0; f < fields; ++f) q.bindValue(f, block[static_cast<size_t>(f)]);
                if (!q.execBatch()) fail(QStringLiteral("The meter rows cannot be written"), q);
                if (progress) progress(rows);
            }
        }
        if (!q.exec(QString::fromLatin1(kPadMeterIdsStatement)))
            fail(QStringLiteral("The meter serials cannot be padded"), q);
    }
    if (!db.commit()) {
        const QString text =
            QStringLiteral("The table Meter cannot be changed: %1").arg(db.lastError().text());
        db.rollback();
        throw DeskError(text);
    }
}

}  // namespace desk
