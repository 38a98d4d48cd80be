#include "task_table.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <algorithm>
#include <cmath>
#include <memory>
#include <numeric>

#include "code_page.h"
#include "linklib/tables/dbf.h"

namespace desk {

namespace dbf = tarvix::dbf;

const std::vector<dbf::FieldSpec>& TaskTableFields() {
    static const std::vector<dbf::FieldSpec> fields = {
        {"nid", 'N', 10, 0},   {"cid", 'C', 20, 0}, {"addres", 'C', 80, 0}, {"mid", 'C', 12, 0},
        {"roter", 'C', 10, 0}, {"lx", 'C', 10, 0},  {"reset", 'C', 20, 0},  {"PA", 'N', 12, 2},
        {"A1", 'N', 12, 2},    {"A2", 'N', 12, 2},  {"LE", 'N', 12, 2},     {"RE", 'N', 12, 2},
        {"RV", 'N', 10, 2},    {"RC", 'N', 10, 2},  {"RD", 'N', 12, 2},     {"RDS", 'N', 12, 2},
        {"CRQ", 'C', 10, 0},   {"CTM", 'C', 8, 0},  {"Reason", 'C', 40, 0},
    };
    return fields;
}

namespace {

std::string Local(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

// The language-driver byte of a table header (0, naming none, for a header too short to hold it).
uint8_t LanguageDriver(const dbf::Header& header) {
    return header.raw.size() > kLanguageDriverOffset ? header.raw[kLanguageDriverOffset] : 0;
}

}  // namespace

void WriteTaskTemplate(const QString& path) {
    dbf::Writer writer;
    dbf::Status s = writer.Create(Local(path), TaskTableFields());
    if (s) s = writer.Close();
    if (!s) throw DeskError(QString::fromStdString(s.message));
}

void AppendTaskRecords(const QString& path, const std::vector<TaskRecord>& records,
                       const QString& operator_language, const std::function<void(int)>& progress) {
    dbf::Writer table;
    dbf::Status s = table.OpenForAppend(Local(path));
    if (!s) throw DeskError(QString::fromStdString(s.message));
    std::unique_ptr<CodePage> code_page;
    try {
        code_page =
            std::make_unique<CodePage>(TableCodePage(LanguageDriver(table.header()), operator_language));
    } catch (const DeskError&) {
        table.Abandon();
        throw;
    }
    // Text goes in the table's code page; a text longer than its field is cut before the first
    // character that does not fit whole.
    auto fit = [&table, &code_page](std::string_view field, const QString& text) {
        const int i = table.FieldIndex(field);
        size_t room = 255;
        if (i >= 0) room = table.header().fields[static_cast<size_t>(i)].length;
        return code_page->Encode(text, room);
    };
    int written = 0;
    for (const TaskRecord& r : records) {
        if (progress) progress(++written);
        const std::string nid = std::to_string(r.nid);
        const std::string cid = fit("cid", r.cid), addres = fit("addres", r.addres), mid = fit("mid", r.mid),
                          roter = fit("roter", r.roter), lx = fit("lx", r.lx), reset = fit("reset", r.reset);
        const std::pair<std::string_view, std::string_view> values[] = {
            {"nid", nid},     {"cid", cid}, {"addres", addres}, {"mid", mid},
            {"roter", roter}, {"lx", lx},   {"reset", reset},
        };
        s = table.Append(values);
        if (!s) {
            // The table is closed on this path too; none of this run's records stay in it.
            table.Abandon();
            throw DeskError(QString::fromStdString(s.message));
        }
    }
    s = table.Close();
    if (!s) {
        table.Abandon();
        throw DeskError(QString::fromStdString(s.message));
    }
}

LocalSelect ParseLocalSelect(const QString& statement) {
    static const QRegularExpression form(
        QStringLiteral(
            R"(^\s*select\s+(.+?)\s+from\s+([^\s]+)\s+order\s+by\s+([A-Za-z_][A-Za-z0-9_]*)\s*;?\s*$)"),
        QRegularExpression::CaseInsensitiveOption | QRegularExpression::DotMatchesEverythingOption);
    const QRegularExpressionMatch m = form.match(statement);
    if (!m.hasMatch()) throw DeskError(QStringLiteral("Invalid use of keyword: %1").arg(statement));
    LocalSelect select;
    for (const QString& f : m.captured(1).split(QLatin1Char(','))) {
        const QString name = f.trimmed();
        if (name.isEmpty() || name.contains(QRegularExpression(QStringLiteral("[^A-Za-z0-9_]"))))
            throw DeskError(QStringLiteral("Invalid field name in statement: %1").arg(statement));
        select.fields << name;
    }
    select.table_file = m.captured(2);
    select.order_by = m.captured(3);
    return select;
}

QString FindFileNoCase(const QString& dir, const QString& name) {
    QDir folder(dir);
    if (folder.exists(name) && QFileInfo(folder.filePath(name)).isFile()) return folder.filePath(name);
    const QStringList entries = folder.entryList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& e : entries)
        if (e.compare(name, Qt::CaseInsensitive) == 0) return folder.filePath(e);
    return {};
}

std::vector<QStringList> RunLocalSelect(const QString& data_dir, const QString& statement,
                                        const QString& operator_language) {
    const LocalSelect select = ParseLocalSelect(statement);
    const QString path = FindFileNoCase(data_dir, select.table_file);
    if (path.isEmpty())
        throw DeskError(QStringLiteral("Table does not exist. File: %1")
                            .arg(QDir(data_dir).absoluteFilePath(select.table_file)));

    dbf::Reader reader;
    dbf::Status s = reader.Open(Local(path));
    if (!s) throw DeskError(QString::fromStdString(s.message));

    std::vector<int> indexes;
    for (const QString& f : select.fields) {
        const int i = reader.FieldIndex(f.toStdString());
        if (i < 0) throw DeskError(QStringLiteral("Field '%1' not found in table %2.").arg(f, path));
        indexes.push_back(i);
    }
    const int key = reader.FieldIndex(select.order_by.toStdString());
    if (key < 0)
        throw DeskError(QStringLiteral("Field '%1' not found in table %2.").arg(select.order_by, path));
    const char key_type = reader.fields()[static_cast<size_t>(key)].type;
    const bool numeric_key = key_type == 'N' || key_type == 'F';
    const CodePage code_page(TableCodePage(LanguageDriver(reader.header()), operator_language));

    struct Row {
        QStringList values;
        QString key;
        double number;
    };
    std::vector<Row> rows;
    while (reader.Next()) {
        if (reader.deleted()) continue;
        Row row;
        for (int i : indexes) row.values << code_page.Decode(reader.Text(static_cast<size_t>(i)));
        row.key = code_page.Decode(reader.Text(static_cast<size_t>(key)));
        bool ok = false;
        row.number = row.key.toDouble(&ok);
        if (!ok) row.number = -HUGE_VAL;  // a blank number sorts first, as a null does
        rows.push_back(std::move(row));
    }
    if (!reader.status()) throw DeskError(QString::fromStdString(reader.status().message));

    std::stable_sort(rows.begin(), rows.end(), [numeric_key](const Row& a, const Row& b) {
        return numeric_key ? a.number < b.number : a.key < b.key;
    });
    std::vector<QStringList> out;
    out.reserve(rows.size());
    for (Row& r : rows) out.push_back(std::move(r.values));
    return out;
}

}  // namespace desk
