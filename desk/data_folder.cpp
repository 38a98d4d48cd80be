#include "data_folder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>
#include <cstdio>

#include "meter_db.h"

namespace desk {

namespace {

constexpr const char* kTemplate = "B.DBF";
constexpr const char* kSchema = "meter_schema.sql";

bool HoldsSharedFiles(const QDir& dir) {
    return QFileInfo(dir.filePath(QLatin1String(kTemplate))).isFile() &&
           QFileInfo(dir.filePath(QLatin1String(kSchema))).isFile();
}

void RenameIntoPlace(const QString& temp, const QString& target) {
    if (std::rename(QFile::encodeName(temp).constData(), QFile::encodeName(target).constData()) != 0) {
        QFile::remove(temp);
        throw DeskError(QStringLiteral("Cannot write %1").arg(target));
    }
}

void CreateDatabase(const QString& target, const QString& schema_path) {
    QFile schema(schema_path);
    if (!schema.open(QIODevice::ReadOnly)) throw DeskError(QStringLiteral("Cannot read %1").arg(schema_path));
    const QString statements = QString::fromUtf8(schema.readAll());
    const QString temp = QFileInfo(target).dir().filePath(QStringLiteral(".db.mdb.part"));
    QFile::remove(temp);
    const QString connection = QStringLiteral("data-folder-") + QUuid::createUuid().toString(QUuid::Id128);
    QString why;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        db.setDatabaseName(temp);
        if (!db.open()) {
            why = db.lastError().text();
        } else {
            // The driver runs one statement per call; comments go first, as they may hold a ";".
            QString text;
            for (const QString& line : statements.split(QLatin1Char('\n')))
                if (!line.trimmed().startsWith(QLatin1String("--"))) text += line + QLatin1Char('\n');
            for (const QString& statement : text.split(QLatin1Char(';'))) {
                if (statement.trimmed().isEmpty()) continue;
                QSqlQuery q(db);
                if (!q.exec(statement)) {
                    why = q.lastError().text();
                    break;
                }
            }
            db.close();
        }
    }
    QSqlDatabase::removeDatabase(connection);
    if (!why.isEmpty()) {
        QFile::remove(temp);
        throw DeskError(QStringLiteral("Cannot make %1: %2").arg(target, why));
    }
    RenameIntoPlace(temp, target);
}

}  // namespace

QString SharedFilesDir(const QString& program_dir) {
    const QDir beside(program_dir);
    if (HoldsSharedFiles(beside)) return beside.absolutePath();
    const QDir installed(QDir(program_dir).filePath(QStringLiteral("../share/kelvanorm")));
    if (HoldsSharedFiles(installed)) return installed.absolutePath();
    return {};
}

QString UserDataDir() {
    const QByteArray chosen = qgetenv("KELVANORM_DATA");
    if (!chosen.isEmpty()) return QFile::decodeName(chosen);
    return QDir::home().filePath(QStringLiteral("KELVANORM"));
}

void PrepareDataFolder(const QString& folder, const QString& shared_dir) {
    if (!QDir().mkpath(folder)) throw DeskError(QStringLiteral("Cannot make the data folder %1").arg(folder));
    const QDir dir(folder);
    const QString db = dir.filePath(QStringLiteral("db.mdb"));
    if (!QFileInfo::exists(db)) CreateDatabase(db, QDir(shared_dir).filePath(QLatin1String(kSchema)));
    const QString template_path = dir.filePath(QLatin1String(kTemplate));
    if (!QFileInfo::exists(template_path)) {
        const QString temp = dir.filePath(QStringLiteral(".B.DBF.part"));
        QFile::remove(temp);
        if (!QFile::copy(QDir(shared_dir).filePath(QLatin1String(kTemplate)), temp)) {
            QFile::remove(temp);
            throw DeskError(QStringLiteral("Cannot copy the template to %1").arg(template_path));
        }
        // The copy keeps the installed file's read-only mode; the operator's copy is theirs.
        QFile::setPermissions(temp, QFile::permissions(temp) | QFile::WriteOwner);
        RenameIntoPlace(temp, template_path);
    }
}

}  // namespace desk
