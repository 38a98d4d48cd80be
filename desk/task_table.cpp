#include "task_table.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <algorithm>
#include <array>
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

// The language-driver byte of the table file at path; 0 when it has none or cannot be read.
uint8_t StoredLanguageDriver(const QString& path) {
    QFile f(path);
    if (path.isEmpty() || !f.open(QIODevice::ReadOnly) || !f.seek(static_cast<qint64>(kLanguageDriverOffset)))
        return 0;
    char byte = 0;
    return f.getChar(&byte) ? static_cast<uint8_t>(byte) : 0;
}

// The texts of a record in the order the upload writes them.
struct NamedText {
    const char* field;
    const QString* text;
};
std::array<NamedText, 6> Texts(const TaskRecord& r) {
    return {{{"cid", &r.cid},
             {"addres", &r.addres},
             {"mid", &r.mid},
             {"roter", &r.roter},
             {"lx", &r.lx},
             {"reset", &r.reset}}};
}

}  // namespace

std::string RecordCodePage(const QString& path, const QString& operator_language) {
    QFile f(path);
    if (!f.open(QIODevice::ReadWrite)) throw DeskError(QStringLiteral("Cannot open %1").arg(path));
    QByteArray head = f.read(static_cast<qint64>(dbf::kTableHeaderSize));
    if (head.size() < static_cast<qsizetype>(dbf::kTableHeaderSize))
        throw DeskError(QStringLiteral("%1 is not a table").arg(path));
    const uint8_t stored = static_cast<uint8_t>(head[static_cast<qsizetype>(kLanguageDriverOffset)]);
    if (!CodePageOfLanguageDriver(stored).empty()) return CodePageOfLanguageDriver(stored);
    const std::string code_page = AnsiCodePageOfLocale(operator_language);
    const uint8_t mark = LanguageDriverOfCodePage(code_page);
    if (mark != 0 && stored == 0) {
        const char byte = static_cast<char>(mark);
        if (!f.seek(static_cast<qint64>(kLanguageDriverOffset)) || f.write(&byte, 1) != 1 || !f.flush())
            throw DeskError(QStringLiteral("Cannot write %1").arg(path));
    }
    return code_page;
}

TextChanges FindTextChanges(const QString& path, const std::vector<TaskRecord>& records,
                            const QString& operator_language) {
    dbf::Reader table;
    const dbf::Status s = table.Open(Local(path));
    if (!s) throw DeskError(QString::fromStdString(s.message));
    TextChanges changes;
    changes.code_page = TableCodePage(LanguageDriver(table.header()), operator_language);
    const CodePage code_page(changes.code_page);
    size_t widths[6];
    {
        const TaskRecord none;
        const auto texts = Texts(none);
        for (size_t i = 0; i < texts.size(); ++i) {
            const int f = table.FieldIndex(texts[i].field);
            widths[i] = f < 0 ? 255 : table.fields()[static_cast<size_t>(f)].length;
        }
    }
    for (const TaskRecord& r : records) {
        bool changed = false;
        const auto texts = Texts(r);
        for (size_t i = 0; i < texts.size(); ++i) {
            const QString& text = *texts[i].text;
            bool plain = true;
            for (QChar c : text)
                if (c.unicode() >= 0x80) {
                    plain = false;
                    break;
                }
            if (plain) {
                if (static_cast<size_t>(text.size()) > widths[i]) {
                    ++changes.cut;
                    changed = true;
                }
                continue;
            }
            const std::string whole = code_page.Encode(text, std::string::npos);
            if (code_page.Decode(whole) != text) {
                ++changes.replaced;
                changed = true;
            } else if (whole.size() > widths[i]) {
                ++changes.cut;
                changed = true;
            }
        }
        if (changed) {
            if (changes.records < kChangedMetersNamed) changes.meters << r.mid;
            ++changes.records;
        }
    }
    return changes;
}

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

QString FindFileNoCase(const QString& dir, const QString& name, QDir::Filters kinds) {
    QDir folder(dir);
    // The name as given, when it is of a kind listed: a file, a folder, or (with System) anything else.
    const QFileInfo given(folder.filePath(name));
    if (given.exists() && (given.isFile()  ? kinds.testFlag(QDir::Files)
                           : given.isDir() ? kinds.testFlag(QDir::Dirs)
                                           : kinds.testFlag(QDir::System)))
        return folder.filePath(name);
    const QStringList entries = folder.entryList(kinds);
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
    uint8_t driver = LanguageDriver(reader.header());
    if (driver == 0) driver = StoredLanguageDriver(FindFileNoCase(data_dir, QStringLiteral("A.DBF")));
    const CodePage code_page(TableCodePage(driver, operator_language));

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
