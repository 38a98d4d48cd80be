// Office Open XML workbooks: the parts are read straight out of the zip container and parsed as a
// stream, so a sheet of a hundred thousand rows never sits in memory as text.
#include <expat.h>
#include <zip.h>

#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "workbook.h"

namespace desk {
namespace {

std::string_view LocalName(const char* name) {
    std::string_view n(name);
    auto colon = n.rfind(':');
    return colon == std::string_view::npos ? n : n.substr(colon + 1);
}

const char* Attribute(const char** attrs, std::string_view local) {
    for (int i = 0; attrs[i]; i += 2)
        if (LocalName(attrs[i]) == local) return attrs[i + 1];
    return nullptr;
}

struct ZipArchive {
    zip_t* z = nullptr;
    ~ZipArchive() {
        if (z) zip_discard(z);
    }
};

// Streams one part of the archive through a SAX handler.  False when the part does not exist.
class PartParser {
  public:
    using Start = std::function<void(std::string_view, const char**)>;
    using End = std::function<void(std::string_view)>;
    using Text = std::function<void(const char*, int)>;

    Start on_start = [](std::string_view, const char**) {};
    End on_end = [](std::string_view) {};
    Text on_text = [](const char*, int) {};

    bool Parse(zip_t* z, const std::string& part) {
        zip_int64_t index = zip_name_locate(z, part.c_str(), ZIP_FL_NOCASE);
        if (index < 0) return false;
        std::unique_ptr<zip_file_t, decltype(&zip_fclose)> file(
            zip_fopen_index(z, static_cast<zip_uint64_t>(index), 0), &zip_fclose);
        if (!file) throw WorkbookError("A part of the workbook cannot be read: " + part);
        std::unique_ptr<XML_ParserStruct, decltype(&XML_ParserFree)> parser(XML_ParserCreate(nullptr),
                                                                            &XML_ParserFree);
        XML_SetUserData(parser.get(), this);
        parser_ = parser.get();
        XML_SetElementHandler(
            parser.get(),
            [](void* self, const XML_Char* name, const XML_Char** attrs) {
                auto* me = static_cast<PartParser*>(self);
                me->Guard([&] { me->on_start(LocalName(name), attrs); });
            },
            [](void* self, const XML_Char* name) {
                auto* me = static_cast<PartParser*>(self);
                me->Guard([&] { me->on_end(LocalName(name)); });
            });
        XML_SetCharacterDataHandler(parser.get(), [](void* self, const XML_Char* s, int len) {
            auto* me = static_cast<PartParser*>(self);
            me->Guard([&] { me->on_text(s, len); });
        });
        std::vector<char> buffer(1 << 16);
        for (;;) {
            zip_int64_t got = zip_fread(file.get(), buffer.data(), buffer.size());
            if (got < 0) throw WorkbookError("A part of the workbook is damaged: " + part);
            if (XML_Parse(parser.get(), buffer.data(), static_cast<int>(got), got == 0) == XML_STATUS_ERROR) {
                // An error raised by a handler stopped the parser; it is the one to report.
                if (failure_) std::rethrow_exception(failure_);
                throw WorkbookError("A part of the workbook is not well-formed: " + part + ": " +
                                    XML_ErrorString(XML_GetErrorCode(parser.get())));
            }
            if (got == 0) break;
        }
        return true;
    }

  private:
    // Exceptions must not cross the C parser: a handler's error stops it and is raised afterwards.
    template <typename F>
    void Guard(F&& f) {
        if (failure_) return;
        try {
            f();
        } catch (...) {
            failure_ = std::current_exception();
            XML_StopParser(parser_, XML_FALSE);
        }
    }
    XML_Parser parser_ = nullptr;
    std::exception_ptr failure_;
};

constexpr int kMaxRows = 1048576;
constexpr int kMaxColumns = 16384;

// Built-in number formats that show a date or a time.
bool BuiltinDateFormat(int id) {
    return (id >= 14 && id <= 22) || (id >= 27 && id <= 36) || (id >= 45 && id <= 47) ||
           (id >= 50 && id <= 58);
}

// A custom format shows a date when it holds a date or time letter outside quotes, escapes and
// bracketed parts (colours, conditions; "[h]" elapsed hours count as a time).
bool CustomDateFormat(std::string_view code) {
    bool quoted = false;
    for (size_t i = 0; i < code.size(); ++i) {
        char ch = code[i];
        if (quoted) {
            if (ch == '"') quoted = false;
            continue;
        }
        if (ch == '"') {
            quoted = true;
        } else if (ch == '\\' || ch == '_' || ch == '*') {
            ++i;
        } else if (ch == '[') {
            auto close = code.find(']', i);
            std::string_view inner = code.substr(i + 1, close == std::string_view::npos ? 0 : close - i - 1);
            if (inner == "h" || inner == "hh" || inner == "m" || inner == "mm" || inner == "s" ||
                inner == "ss")
                return true;
            if (close == std::string_view::npos) break;
            i = close;
        } else if (ch == ';') {
            break;  // only the first section decides
        } else {
            char lower = static_cast<char>(ch | 0x20);
            if (lower == 'd' || lower == 'm' || lower == 'y' || lower == 'h' || lower == 's') return true;
        }
    }
    return false;
}

// "B12" -> row 12, column 2.  False when the reference is malformed.
bool ParseReference(const char* ref, int& row, int& column) {
    int c = 0, r = 0;
    const char* p = ref;
    while (*p >= 'A' && *p <= 'Z') {
        c = c * 26 + (*p - 'A' + 1);
        if (c > kMaxColumns) return false;
        ++p;
    }
    if (p == ref) return false;
    const char* digits = p;
    while (*p >= '0' && *p <= '9') {
        r = r * 10 + (*p - '0');
        if (r > kMaxRows) return false;
        ++p;
    }
    if (p == digits || *p || r == 0) return false;
    row = r;
    column = c;
    return true;
}

bool ParseNumber(const std::string& text, double& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return end && *end == '\0';
}

// ISO 8601 date-time of a cell of type "d".
bool ParseIsoDate(const std::string& text, double& serial) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0;
    double s = 0;
    int n = std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%lf", &y, &mo, &d, &h, &mi, &s);
    if (n < 3) return false;
    serial = DateSerial(y, mo, d, h, mi, s);
    return true;
}

}  // namespace

Sheet ReadXlsx(const std::string& path, const std::vector<int>& columns) {
    ZipArchive archive;
    int err = 0;
    archive.z = zip_open(path.c_str(), ZIP_RDONLY, &err);
    if (!archive.z) throw WorkbookError("The workbook cannot be opened as a zip container: " + path);

    // The first sheet of the workbook and the part that holds it.
    std::string first_sheet_rel;
    bool date1904 = false;  // serials counted from 1904-01-01 instead of 1900
    {
        PartParser p;
        bool in_sheets = false;
        p.on_start = [&](std::string_view name, const char** attrs) {
            if (name == "sheets") in_sheets = true;
            if (name == "workbookPr") {
                const char* d1904 = Attribute(attrs, "date1904");
                date1904 = d1904 && (std::strcmp(d1904, "1") == 0 || std::strcmp(d1904, "true") == 0);
            }
            if (in_sheets && name == "sheet" && first_sheet_rel.empty()) {
                const char* id = Attribute(attrs, "id");
                first_sheet_rel = id ? id : "";
            }
        };
        p.on_end = [&](std::string_view name) {
            if (name == "sheets") in_sheets = false;
        };
        if (!p.Parse(archive.z, "xl/workbook.xml"))
            throw WorkbookError("The file is not a workbook: " + path);
    }
    if (first_sheet_rel.empty()) throw WorkbookError("The workbook has no worksheet: " + path);
    std::string sheet_part;
    {
        PartParser p;
        p.on_start = [&](std::string_view name, const char** attrs) {
            if (name != "Relationship") return;
            const char* id = Attribute(attrs, "Id");
            const char* target = Attribute(attrs, "Target");
            if (id && target && first_sheet_rel == id) sheet_part = target;
        };
        p.Parse(archive.z, "xl/_rels/workbook.xml.rels");
    }
    if (sheet_part.empty()) throw WorkbookError("The first worksheet of the workbook is missing: " + path);
    if (sheet_part[0] == '/')
        sheet_part.erase(0, 1);
    else
        sheet_part = "xl/" + sheet_part;

    // Which cell styles show dates.
    std::vector<bool> date_style;
    {
        std::map<int, bool> custom;
        PartParser p;
        bool in_xfs = false;
        p.on_start = [&](std::string_view name, const char** attrs) {
            if (name == "numFmt") {
                const char* id = Attribute(attrs, "numFmtId");
                const char* code = Attribute(attrs, "formatCode");
                if (id && code) custom[std::atoi(id)] = CustomDateFormat(code);
            } else if (name == "cellXfs") {
                in_xfs = true;
            } else if (in_xfs && name == "xf") {
                const char* id = Attribute(attrs, "numFmtId");
                int fmt = id ? std::atoi(id) : 0;
                auto it = custom.find(fmt);
                date_style.push_back(it != custom.end() ? it->second : BuiltinDateFormat(fmt));
            }
        };
        p.on_end = [&](std::string_view name) {
            if (name == "cellXfs") in_xfs = false;
        };
        p.Parse(archive.z, "xl/styles.xml");
    }

    // Shared strings: the text of each <si>, its runs joined, phonetic hints left out.
    std::vector<std::string> shared;
    {
        PartParser p;
        bool in_t = false;
        int phonetic = 0;
        std::string current;
        p.on_start = [&](std::string_view name, const char**) {
            if (name == "si") current.clear();
            if (name == "rPh") ++phonetic;
            if (name == "t" && phonetic == 0) in_t = true;
        };
        p.on_end = [&](std::string_view name) {
            if (name == "t") in_t = false;
            if (name == "rPh") --phonetic;
            if (name == "si") shared.push_back(current);
        };
        p.on_text = [&](const char* s, int len) {
            if (in_t) current.append(s, static_cast<size_t>(len));
        };
        p.Parse(archive.z, "xl/sharedStrings.xml");
    }

    Sheet sheet(columns);
    {
        PartParser p;
        int row = 0, column = 0;
        std::string type, text;
        int style = 0;
        bool in_value = false, in_inline_t = false, in_cell = false, wanted = false;
        int phonetic = 0;
        std::string bad_reference;
        p.on_start = [&](std::string_view name, const char** attrs) {
            if (name == "row") {
                const char* r = Attribute(attrs, "r");
                row = r ? std::atoi(r) : row + 1;
                if (row < 1 || row > kMaxRows) throw WorkbookError("The worksheet holds a row out of range");
                column = 0;
            } else if (name == "c") {
                in_cell = true;
                const char* r = Attribute(attrs, "r");
                if (r) {
                    int rr = 0, cc = 0;
                    if (!ParseReference(r, rr, cc)) {
                        bad_reference = r;
                        rr = row;
                        cc = column + 1;
                    }
                    row = rr;
                    column = cc;
                } else {
                    ++column;
                    if (column > kMaxColumns)
                        throw WorkbookError("The worksheet holds a column out of range");
                }
                const char* t = Attribute(attrs, "t");
                type = t ? t : "n";
                const char* s = Attribute(attrs, "s");
                style = s ? std::atoi(s) : 0;
                text.clear();
                wanted = true;
            } else if (in_cell && name == "v") {
                in_value = true;
            } else if (in_cell && name == "rPh") {
                ++phonetic;
            } else if (in_cell && name == "t" && phonetic == 0) {
                in_inline_t = true;
            }
        };
        p.on_text = [&](const char* s, int len) {
            if (in_value || in_inline_t) text.append(s, static_cast<size_t>(len));
        };
        p.on_end = [&](std::string_view name) {
            if (name == "v") in_value = false;
            if (name == "t") in_inline_t = false;
            if (name == "rPh") --phonetic;
            if (name != "c" || !wanted) return;
            in_cell = false;
            wanted = false;
            CellValue value;
            double number = 0;
            if (type == "s") {
                char* end = nullptr;
                long index = std::strtol(text.c_str(), &end, 10);
                if (!text.empty() && *end == '\0' && index >= 0 &&
                    static_cast<size_t>(index) < shared.size()) {
                    if (!shared[static_cast<size_t>(index)].empty())
                        value = CellValue::Text(shared[static_cast<size_t>(index)]);
                } else {
                    throw WorkbookError("A cell refers to a shared text that does not exist");
                }
            } else if (type == "str" || type == "inlineStr" || type == "e") {
                if (!text.empty()) value = CellValue::Text(text);
            } else if (type == "b") {
                if (!text.empty()) value = CellValue::Boolean(text != "0");
            } else if (type == "d") {
                if (ParseIsoDate(text, number))
                    value = CellValue::Date(number);
                else if (!text.empty())
                    value = CellValue::Text(text);
            } else if (ParseNumber(text, number)) {
                bool is_date = style >= 0 && static_cast<size_t>(style) < date_style.size() &&
                               date_style[static_cast<size_t>(style)];
                value =
                    is_date ? CellValue::Date(date1904 ? number + 1462 : number) : CellValue::Number(number);
            }
            sheet.put(row, column, std::move(value));
        };
        if (!p.Parse(archive.z, sheet_part))
            throw WorkbookError("The first worksheet of the workbook is missing: " + path);
        if (!bad_reference.empty())
            throw WorkbookError("The worksheet holds a malformed cell reference: " + bad_reference);
    }
    return sheet;
}

}  // namespace desk
