// Office Open XML workbooks: the parts are read straight out of the zip container and parsed as a
// stream, so a sheet of a hundred thousand rows never sits in memory as text.
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

std::string_view LocalName(std::string_view n) {
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
//
// The parts are machine-written XML without a document type; this scanner reads exactly that: elements
// with attributes, character data with the five named and the numeric character references, CDATA
// sections, comments and processing instructions, with end tags matched to their start tags.  It works
// on the decompressed bytes in place (names and values are terminated and references decoded where
// they lie), which makes the sheet of a large district several times quicker to read than through a
// general parser.
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
        part_ = &part;
        file_ = file.get();
        buffer_.assign(1 << 16, '\0');
        begin_ = end_ = 0;
        eof_ = false;
        first_ = true;
        Run();
        return true;
    }

  private:
    [[noreturn]] void Malformed(const char* why) const {
        throw WorkbookError("A part of the workbook is not well-formed: " + *part_ + ": " + why);
    }

    // Keeps the unread bytes, makes room and reads more.  False at the end of the part.
    bool Fill() {
        if (eof_) return false;
        if (begin_ > 0) {
            std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
            end_ -= begin_;
            begin_ = 0;
        }
        if (end_ + 4096 > buffer_.size()) buffer_.resize(buffer_.size() * 2);
        const zip_int64_t got = zip_fread(file_, buffer_.data() + end_, buffer_.size() - end_);
        if (got < 0) throw WorkbookError("A part of the workbook is damaged: " + *part_);
        if (got == 0) eof_ = true;
        end_ += static_cast<size_t>(got);
        if (first_ && end_ - begin_ >= 3) {
            first_ = false;
            if (std::memcmp(buffer_.data() + begin_, "\xEF\xBB\xBF", 3) == 0) begin_ += 3;  // byte-order mark
        }
        return got > 0;
    }

    // Offset of `what` at or after `from` in the unread bytes, reading more as needed; npos when the
    // part ends first.  Offsets stay valid across reads as they count from begin_.
    size_t Find(size_t from, std::string_view what) {
        for (;;) {
            std::string_view unread(buffer_.data() + begin_, end_ - begin_);
            const size_t at = unread.find(what, from);
            if (at != std::string_view::npos) return at;
            from = unread.size() >= what.size() ? unread.size() - what.size() + 1 : 0;
            if (!Fill()) return std::string_view::npos;
        }
    }

    // Decodes references in place and normalises line ends (attribute values: every blank to a space);
    // the decoded length.
    size_t Decode(char* p, size_t n, bool attribute) const {
        size_t out = 0;
        for (size_t i = 0; i < n; ++i) {
            char ch = p[i];
            if (ch == '\r') {
                if (i + 1 < n && p[i + 1] == '\n') ++i;
                p[out++] = attribute ? ' ' : '\n';
            } else if (attribute && (ch == '\n' || ch == '\t')) {
                p[out++] = ' ';
            } else if (ch == '&') {
                const char* semi = static_cast<const char*>(std::memchr(p + i, ';', n - i));
                if (!semi) Malformed("a reference without its ';'");
                const std::string_view ref(p + i + 1, static_cast<size_t>(semi - (p + i + 1)));
                i = static_cast<size_t>(semi - p);
                if (ref == "amp") {
                    p[out++] = '&';
                } else if (ref == "lt") {
                    p[out++] = '<';
                } else if (ref == "gt") {
                    p[out++] = '>';
                } else if (ref == "quot") {
                    p[out++] = '"';
                } else if (ref == "apos") {
                    p[out++] = '\'';
                } else if (ref.size() >= 2 && ref[0] == '#') {
                    const bool hex = ref[1] == 'x';
                    const std::string digits(ref.substr(hex ? 2 : 1));
                    char* end = nullptr;
                    const unsigned long code = std::strtoul(digits.c_str(), &end, hex ? 16 : 10);
                    if (digits.empty() || *end || code == 0 || code > 0x10FFFF ||
                        (code >= 0xD800 && code < 0xE000))
                        Malformed("a character reference to no character");
                    // UTF-8 is never longer than the reference it replaces ("&#N;" is at least 4 bytes).
                    if (code < 0x80) {
                        p[out++] = static_cast<char>(code);
                    } else if (code < 0x800) {
                        p[out++] = static_cast<char>(0xC0 | (code >> 6));
                        p[out++] = static_cast<char>(0x80 | (code & 0x3F));
                    } else if (code < 0x10000) {
                        p[out++] = static_cast<char>(0xE0 | (code >> 12));
                        p[out++] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
                        p[out++] = static_cast<char>(0x80 | (code & 0x3F));
                    } else {
                        p[out++] = static_cast<char>(0xF0 | (code >> 18));
                        p[out++] = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
                        p[out++] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
                        p[out++] = static_cast<char>(0x80 | (code & 0x3F));
                    }
                } else {
                    Malformed("a reference to an unknown entity");
                }
            } else {
                p[out++] = ch;
            }
        }
        return out;
    }

    static bool Blank(char ch) { return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r'; }

    void Run() {
        Fill();
        std::string open;            // names of the open elements, one after the other
        std::vector<size_t> starts;  // where each begins in `open`
        bool root_seen = false;
        std::vector<const char*> attrs;
        for (;;) {
            if (begin_ == end_ && !Fill()) break;
            char* base = buffer_.data();
            if (base[begin_] != '<') {
                // Character data up to the next markup.
                size_t lt = Find(0, "<");
                base = buffer_.data();
                const size_t n = lt == std::string_view::npos ? end_ - begin_ : lt;
                char* text = base + begin_;
                if (starts.empty()) {
                    for (size_t i = 0; i < n; ++i)
                        if (!Blank(text[i])) Malformed("text outside the document's element");
                } else {
                    const size_t len = Decode(text, n, false);
                    if (len > 0) on_text(text, static_cast<int>(len));
                }
                begin_ += n;
                continue;
            }
            // Markup: make sure it is whole in the buffer first.
            if (end_ - begin_ < 9) Fill();
            base = buffer_.data();
            std::string_view head(base + begin_, std::min<size_t>(9, end_ - begin_));
            if (head.substr(0, 4) == "<!--") {
                const size_t close = Find(4, "-->");
                if (close == std::string_view::npos) Malformed("an unended comment");
                begin_ += close + 3;
                continue;
            }
            if (head.substr(0, 2) == "<?") {
                const size_t close = Find(2, "?>");
                if (close == std::string_view::npos) Malformed("an unended processing instruction");
                begin_ += close + 2;
                continue;
            }
            if (head == "<![CDATA[") {
                const size_t close = Find(9, "]]>");
                if (close == std::string_view::npos) Malformed("an unended CDATA section");
                if (starts.empty()) Malformed("text outside the document's element");
                if (close > 9) on_text(buffer_.data() + begin_ + 9, static_cast<int>(close - 9));
                begin_ += close + 3;
                continue;
            }
            if (head.substr(0, 2) == "<!") Malformed("a document type declaration");
            // A tag: its '>' is the first one outside quoted attribute values.
            size_t close = 1;
            char quote = 0;
            for (;;) {
                base = buffer_.data();
                while (begin_ + close < end_) {
                    const char ch = base[begin_ + close];
                    if (quote) {
                        if (ch == quote) quote = 0;
                    } else if (ch == '"' || ch == '\'') {
                        quote = ch;
                    } else if (ch == '>') {
                        break;
                    } else if (ch == '<') {
                        Malformed("a '<' inside a tag");
                    }
                    ++close;
                }
                if (begin_ + close < end_) break;
                if (!Fill()) Malformed("an unended tag");
            }
            base = buffer_.data();
            char* tag = base + begin_;
            const size_t tag_len = close;  // from '<' up to, not including, '>'
            begin_ += close + 1;
            if (tag[1] == '/') {
                size_t e = tag_len;
                while (e > 2 && Blank(tag[e - 1])) --e;
                const std::string_view name(tag + 2, e - 2);
                if (starts.empty() || std::string_view(open).substr(starts.back()) != name)
                    Malformed("an end tag that ends no open element");
                open.resize(starts.back());
                starts.pop_back();
                on_end(LocalName(name));
                continue;
            }
            bool empty = tag[tag_len - 1] == '/';
            const size_t limit = empty ? tag_len - 1 : tag_len;
            size_t i = 1;
            while (i < limit && !Blank(tag[i])) ++i;
            if (i == 1) Malformed("a tag without a name");
            const std::string_view name(tag + 1, i - 1);
            if (starts.empty() && root_seen) Malformed("a second document element");
            attrs.clear();
            while (i < limit) {
                while (i < limit && Blank(tag[i])) ++i;
                if (i >= limit) break;
                const size_t name_at = i;
                while (i < limit && tag[i] != '=' && !Blank(tag[i])) ++i;
                const size_t name_end = i;
                while (i < limit && Blank(tag[i])) ++i;
                if (i >= limit || tag[i] != '=' || name_end == name_at)
                    Malformed("an attribute without a value");
                ++i;
                while (i < limit && Blank(tag[i])) ++i;
                if (i >= limit || (tag[i] != '"' && tag[i] != '\'')) Malformed("an unquoted attribute value");
                const char q = tag[i++];
                const size_t value_at = i;
                while (i < limit && tag[i] != q) ++i;
                if (i >= limit) Malformed("an unended attribute value");
                const size_t value_len = Decode(tag + value_at, i - value_at, true);
                tag[value_at + value_len] = '\0';
                tag[name_end] = '\0';
                ++i;
                attrs.push_back(tag + name_at);
                attrs.push_back(tag + value_at);
            }
            attrs.push_back(nullptr);
            root_seen = true;
            const std::string_view local = LocalName(name);
            if (!empty) {
                starts.push_back(open.size());
                open.append(name);
            }
            on_start(local, attrs.data());
            if (empty) on_end(local);
        }
        if (!starts.empty()) Malformed("an element that is not ended");
        if (!root_seen) Malformed("no document element");
    }

    const std::string* part_ = nullptr;
    zip_file_t* file_ = nullptr;
    std::vector<char> buffer_;
    size_t begin_ = 0, end_ = 0;
    bool eof_ = false, first_ = true;
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
