#include "code_page.h"

#include <iconv.h>

#include <QLocale>
#include <cerrno>
#include <cstring>

#include "meter_db.h"

namespace desk {

std::string CodePageOfLanguageDriver(uint8_t driver) {
    // The dBase language-driver identifiers and the code pages they stand for.
    struct Entry {
        uint8_t id;
        const char* code_page;
    };
    static constexpr Entry kDrivers[] = {
        {0x01, "CP437"},  {0x02, "CP850"},  {0x03, "CP1252"}, {0x04, "MACINTOSH"}, {0x08, "CP865"},
        {0x09, "CP437"},  {0x0A, "CP850"},  {0x0B, "CP437"},  {0x0D, "CP437"},     {0x0E, "CP850"},
        {0x0F, "CP437"},  {0x10, "CP850"},  {0x11, "CP437"},  {0x12, "CP850"},     {0x13, "CP932"},
        {0x14, "CP850"},  {0x15, "CP437"},  {0x16, "CP850"},  {0x17, "CP865"},     {0x18, "CP437"},
        {0x19, "CP437"},  {0x1A, "CP850"},  {0x1B, "CP437"},  {0x1C, "CP863"},     {0x1D, "CP850"},
        {0x1F, "CP852"},  {0x22, "CP852"},  {0x23, "CP852"},  {0x24, "CP860"},     {0x25, "CP850"},
        {0x26, "CP866"},  {0x37, "CP850"},  {0x40, "CP852"},  {0x4D, "GBK"},       {0x4E, "CP949"},
        {0x4F, "BIG5"},   {0x50, "CP874"},  {0x57, "CP1252"}, {0x58, "CP1252"},    {0x59, "CP1252"},
        {0x64, "CP852"},  {0x65, "CP866"},  {0x66, "CP865"},  {0x67, "CP861"},     {0x6A, "CP737"},
        {0x6B, "CP857"},  {0x78, "BIG5"},   {0x79, "CP949"},  {0x7A, "GBK"},       {0x7B, "CP932"},
        {0x7C, "CP874"},  {0x7D, "CP1255"}, {0x7E, "CP1256"}, {0x87, "CP852"},     {0x88, "CP857"},
        {0xC8, "CP1250"}, {0xC9, "CP1251"}, {0xCA, "CP1254"}, {0xCB, "CP1253"},    {0xCC, "CP1257"},
    };
    for (const Entry& e : kDrivers)
        if (e.id == driver) return e.code_page;
    return {};
}

uint8_t LanguageDriverOfCodePage(const std::string& code_page) {
    // The code-page marks FoxPro writes for the Windows code pages (the one mark of each page).
    struct Entry {
        const char* code_page;
        uint8_t id;
    };
    static constexpr Entry kMarks[] = {
        {"CP1252", 0x03}, {"GBK", 0x7A},    {"BIG5", 0x78},   {"CP932", 0x7B},  {"CP949", 0x79},
        {"CP874", 0x7C},  {"CP1255", 0x7D}, {"CP1256", 0x7E}, {"CP1250", 0xC8}, {"CP1251", 0xC9},
        {"CP1254", 0xCA}, {"CP1253", 0xCB}, {"CP1257", 0xCC},
    };
    for (const Entry& e : kMarks)
        if (code_page == e.code_page) return e.id;
    return 0;
}

std::string AnsiCodePageOfLocale(const QString& locale_name) {
    // "zh_CN.UTF-8@euro" -> language "zh", territory "CN".
    QString name = locale_name.section(QLatin1Char('.'), 0, 0).section(QLatin1Char('@'), 0, 0);
    name.replace(QLatin1Char('-'), QLatin1Char('_'));
    const QString language = name.section(QLatin1Char('_'), 0, 0).toLower();
    const QString territory = name.section(QLatin1Char('_'), 1, 1).toUpper();
    if (language == QLatin1String("zh"))
        return territory == QLatin1String("TW") || territory == QLatin1String("HK") ||
                       territory == QLatin1String("MO")
                   ? "BIG5"
                   : "GBK";
    struct Entry {
        const char* languages;
        const char* code_page;
    };
    static constexpr Entry kAnsi[] = {
        {" ja ", "CP932"},
        {" ko ", "CP949"},
        {" th ", "CP874"},
        {" ru uk be bg mk sr kk ky tt mn ", "CP1251"},
        {" pl cs sk hu sl hr ro sq bs ", "CP1250"},
        {" el ", "CP1253"},
        {" tr az uz ", "CP1254"},
        {" he yi ", "CP1255"},
        {" ar fa ur ", "CP1256"},
        {" et lv lt ", "CP1257"},
        {" vi ", "CP1258"},
    };
    const std::string key = " " + language.toStdString() + " ";
    if (language.size() >= 2)
        for (const Entry& e : kAnsi)
            if (std::strstr(e.languages, key.c_str())) return e.code_page;
    return "CP1252";
}

std::string TableCodePage(uint8_t driver, const QString& locale_name) {
    std::string named = CodePageOfLanguageDriver(driver);
    return named.empty() ? AnsiCodePageOfLocale(locale_name) : named;
}

QString OperatorLanguage() {
    return QLocale::system().name();
}

struct CodePage::Converters {
    iconv_t to = reinterpret_cast<iconv_t>(-1);    // UTF-8 -> code page
    iconv_t from = reinterpret_cast<iconv_t>(-1);  // code page -> UTF-8
    ~Converters() {
        if (to != reinterpret_cast<iconv_t>(-1)) iconv_close(to);
        if (from != reinterpret_cast<iconv_t>(-1)) iconv_close(from);
    }
};

CodePage::CodePage(const std::string& name) : name_(name), cd_(std::make_unique<Converters>()) {
    cd_->to = iconv_open(name.c_str(), "UTF-8");
    cd_->from = iconv_open("UTF-8", name.c_str());
    if (cd_->to == reinterpret_cast<iconv_t>(-1) || cd_->from == reinterpret_cast<iconv_t>(-1))
        throw DeskError(
            QStringLiteral("Code page %1 is not available on this system").arg(QString::fromStdString(name)));
}

CodePage::~CodePage() = default;

std::string CodePage::Encode(const QString& text, size_t max_bytes) const {
    std::string out;
    out.reserve(std::min<size_t>(max_bytes, static_cast<size_t>(text.size())));
    const char16_t* p = reinterpret_cast<const char16_t*>(text.utf16());
    const char16_t* end = p + text.size();
    while (p < end) {
        char16_t unit = *p;
        // Every code page the tables name keeps ASCII as it is.
        if (unit < 0x80) {
            if (out.size() + 1 > max_bytes) break;
            out.push_back(static_cast<char>(unit));
            ++p;
            continue;
        }
        // One character (a surrogate pair is one) as UTF-8, converted on its own so that a
        // character is either written whole or not at all.
        char32_t code = unit;
        size_t units = 1;
        if (unit >= 0xD800 && unit < 0xDC00 && p + 1 < end && p[1] >= 0xDC00 && p[1] < 0xE000) {
            code = 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (p[1] - 0xDC00);
            units = 2;
        } else if (unit >= 0xD800 && unit < 0xE000) {
            code = 0xFFFD;  // a lone surrogate has no character to convert
        }
        p += units;
        char in[4];
        size_t in_len;
        if (code < 0x800) {
            in[0] = static_cast<char>(0xC0 | (code >> 6));
            in[1] = static_cast<char>(0x80 | (code & 0x3F));
            in_len = 2;
        } else if (code < 0x10000) {
            in[0] = static_cast<char>(0xE0 | (code >> 12));
            in[1] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            in[2] = static_cast<char>(0x80 | (code & 0x3F));
            in_len = 3;
        } else {
            in[0] = static_cast<char>(0xF0 | (code >> 18));
            in[1] = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            in[2] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            in[3] = static_cast<char>(0x80 | (code & 0x3F));
            in_len = 4;
        }
        char converted[16];
        char* in_p = in;
        char* out_p = converted;
        size_t in_left = in_len, out_left = sizeof converted;
        iconv(cd_->to, nullptr, nullptr, nullptr, nullptr);
        const size_t r = iconv(cd_->to, &in_p, &in_left, &out_p, &out_left);
        std::string_view bytes(converted, sizeof converted - out_left);
        if (r == static_cast<size_t>(-1) || in_left != 0 || bytes.empty()) bytes = "?";
        if (out.size() + bytes.size() > max_bytes) break;
        out.append(bytes);
    }
    return out;
}

QString CodePage::Decode(std::string_view bytes) const {
    bool ascii = true;
    for (char c : bytes)
        if (static_cast<unsigned char>(c) >= 0x80) {
            ascii = false;
            break;
        }
    if (ascii) return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));

    std::string out;
    out.resize(bytes.size() * 4 + 4);
    char* in_p = const_cast<char*>(bytes.data());
    size_t in_left = bytes.size();
    char* out_p = out.data();
    size_t out_left = out.size();
    iconv(cd_->from, nullptr, nullptr, nullptr, nullptr);
    while (in_left > 0) {
        if (iconv(cd_->from, &in_p, &in_left, &out_p, &out_left) != static_cast<size_t>(-1)) break;
        if (errno == E2BIG) break;  // cannot happen: four output bytes per input byte suffice
        // A byte the code page does not define, or a double-byte character cut at the end.
        if (out_left < 3) break;
        std::memcpy(out_p, "\xEF\xBF\xBD", 3);
        out_p += 3;
        out_left -= 3;
        ++in_p;
        --in_left;
        iconv(cd_->from, nullptr, nullptr, nullptr, nullptr);
    }
    return QString::fromUtf8(out.data(), static_cast<qsizetype>(out_p - out.data()));
}

}  // namespace desk
