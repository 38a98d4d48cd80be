// The 8-bit code page of the task table's text fields.  The handheld shows single-byte (or Far-East
// double-byte) text and the table's field widths count bytes, so the desk's Unicode text is converted
// on the way into A.DBF and back out of downa.dbf.
#pragma once

#include <QString>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace desk {

// Offset of the language-driver byte in a dBase table header.
inline constexpr size_t kLanguageDriverOffset = 29;

// The code page (an iconv name) a dBase language-driver byte names; empty for 0 or an unknown byte.
std::string CodePageOfLanguageDriver(uint8_t driver);

// The language-driver byte that dBase and FoxPro readers take for the code page (an iconv name as
// AnsiCodePageOfLocale gives it); 0 for a code page that has none.
uint8_t LanguageDriverOfCodePage(const std::string& code_page);

// The Windows ANSI code page of a language, from a locale name such as "zh_CN", "es_AR.UTF-8" or
// "ru": GBK for simplified Chinese, Windows-1252 for Western languages and every language not known.
std::string AnsiCodePageOfLocale(const QString& locale_name);

// The table's code page: the one its language-driver byte names, else (byte 0, or a byte no reader
// knows) the operator's ANSI code page.
std::string TableCodePage(uint8_t driver, const QString& locale_name);

// The operator's language as the system names it (the desk's default for the rule above).
QString OperatorLanguage();

// Converts between the desk's text and one code page.  Not shared between threads.
class CodePage {
  public:
    // Raises DeskError when the system cannot convert to or from the code page.
    explicit CodePage(const std::string& name);
    ~CodePage();
    CodePage(const CodePage&) = delete;
    CodePage& operator=(const CodePage&) = delete;

    const std::string& name() const { return name_; }

    // The text in the code page, at most max_bytes long: a character the code page lacks becomes "?",
    // and the text is cut before the first character that would not fit whole.
    std::string Encode(const QString& text, size_t max_bytes) const;
    // The text of bytes in the code page; a byte sequence that is not valid there becomes U+FFFD.
    QString Decode(std::string_view bytes) const;

  private:
    struct Converters;
    std::string name_;
    std::unique_ptr<Converters> cd_;
};

}  // namespace desk
