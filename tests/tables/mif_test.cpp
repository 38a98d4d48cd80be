// The MIF file reader: sections, keys, values, comments and line ends as package files hold them.
#include "common/mif.h"

#include <gtest/gtest.h>

#include <string>

#include "tables/table_files.h"

using namespace tablestest;

namespace {

class MifTest : public TableDir {
  protected:
    // Writes `content` as a MIF file and reads one value from it.
    std::string Read(const std::string& content, const char* section, const char* key, const char* def,
                     size_t max_length, int32_t* result) {
        Spill(At("p.mif"), Of(content));
        std::string out(max_length + 1, '#');
        *result = tarvix::ReadIniValue(section, key, def, out.data(), max_length, At("p.mif").c_str());
        EXPECT_NE(out.find('\0'), std::string::npos);  // terminated within max_length + 1 bytes
        return out.c_str();
    }
};

TEST_F(MifTest, ValuesAsTheReaderSeesThem) {
    struct Case {
        const char* what;
        std::string content;
        std::string section;
        std::string key;
        const char* def;
        size_t max_length;
        std::string value;
    };
    const std::string overlong(250, 'v');
    const Case cases[] = {
        {"plain entry", "[send]\r\nhcpath=\\APP\r\n", "send", "hcpath", nullptr, 64, "\\APP"},
        {"section and key in any case", "[SEND]\nHcPath=\\APP\n", "send", "HCPATH", nullptr, 64, "\\APP"},
        {"lower-case section asked in capitals", "[Send]\nhcpath=x\n", "SEND", "hcpath", nullptr, 64, "x"},
        {"blanks inside the brackets", "[ send ]\nhcpath=x\n", "send", "hcpath", "dflt", 64, "dflt"},
        {"blanks around =", "[send]\nhcpath = \\APP ; comment\n", "send", "hcpath", nullptr, 64, "\\APP"},
        {"key and value without =", "[send]\nhcpath \\APP\n", "send", "hcpath", nullptr, 64, "\\APP"},
        {"comment inside the value", "[send]\nhcpath=\\APP;comment\n", "send", "hcpath", nullptr, 64,
         "\\APP"},
        {"value ends at a blank", "[send]\npcpath=c:\\my data\n", "send", "pcpath", nullptr, 64, "c:\\my"},
        {"value cut to the length", "[send]\napplication=VERYLONGNAME.AXE\n", "send", "application", nullptr,
         12, "VERYLONGNAME"},
        {"value keeps its case", "[send]\nmsg=MiXeD.Txt\n", "send", "msg", nullptr, 12, "MiXeD.Txt"},
        {"empty value, CR LF", "[send]\r\nhcpath=\r\nnext=1\r\n", "send", "hcpath", "dflt", 64, ""},
        {"empty value, LF", "[send]\nhcpath=\nnext=1\n", "send", "hcpath", "dflt", 64, ""},
        {"value on the next line, CR LF", "[send]\r\nhcpath\r\n\\APP\r\n", "send", "hcpath", "dflt", 64, ""},
        {"value on the next line, LF", "[send]\nhcpath\n\\APP\n", "send", "hcpath", "dflt", 64, ""},
        {"value on the next line, CR", "[send]\rhcpath\r\\APP\r", "send", "hcpath", "dflt", 64, ""},
        {"key ended by a comment", "[send]\nhcpath;note\n\\APP\n", "send", "hcpath", "dflt", 64, ""},
        {"key at the end of the file", "[send]\nhcpath", "send", "hcpath", "dflt", 64, ""},
        {"value at the end of the file", "[send]\nhcpath=\\APP", "send", "hcpath", nullptr, 64, "\\APP"},
        {"value taken for a key", "[send]\napplication=file1\nfile1=TASK.DBF\n", "send", "file1", "dflt", 12,
         ""},
        {"key only in a later section of the name", "[send]\na=1\n[receive]\nb=2\n[send]\nfile1=X\n", "send",
         "file1", "dflt", 12, "dflt"},
        {"key of another section", "[receive]\npcpath=c:\\in\n[send]\nhcpath=\\A\n", "send", "pcpath", "dflt",
         64, "dflt"},
        {"second section", "[send]\npcpath=a\n[receive]\npcpath=c:\\in\n", "receive", "pcpath", nullptr, 64,
         "c:\\in"},
        {"tab between key and =", "[send]\nhcpath\t=\\APP\n", "send", "hcpath", "dflt", 64, "dflt"},
        {"missing key, null default", "[send]\nhcpath=\\APP\n", "send", "msg", nullptr, 12, ""},
        {"missing section", "[receive]\nmsg=m.txt\n", "send", "msg", "NULL", 12, "NULL"},
        {"default cut to the length", "", "send", "msg", "0123456789", 4, "0123"},
        {"commented-out section", ";[send]\nhcpath=x\n", "send", "hcpath", "dflt", 64, "dflt"},
        {"commented-out entry", "[send]\n;hcpath=x\nhcpath=y\n", "send", "hcpath", nullptr, 64, "y"},
        {"NUL byte ends the search", std::string("[send]\n\0hcpath=x\n", 17), "send", "hcpath", "dflt", 64,
         "dflt"},
        {"overlong value keeps 199 characters", "[send]\npcpath=" + overlong + "\n", "send", "pcpath",
         nullptr, 260, std::string(199, 'v')},
        {"overlong token never matches a key", "[send]\n" + std::string(199, 'K') + "X=1\n", "send",
         std::string(199, 'K'), "dflt", 12, "dflt"},
        {"overlong token never matches a section", "[" + std::string(197, 's') + "]xyz\nk=1\n",
         std::string(197, 's'), "k", "dflt", 12, "dflt"},
        {"reading goes on past an overlong token", "[send]\nz=" + overlong + "\nfile2=B.DBF\n", "send",
         "file2", nullptr, 12, "B.DBF"},
        {"token of 199 characters matches", "[send]\n" + std::string(199, 'K') + "=1\n", "send",
         std::string(199, 'K'), "dflt", 12, "1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        int32_t result = -1;
        const std::string value =
            Read(c.content, c.section.c_str(), c.key.c_str(), c.def, c.max_length, &result);
        EXPECT_EQ(value, c.value);
        // Only a value read from the file counts; the default and the empty value give 0.
        const bool from_file =
            value != "" && (c.def == nullptr || value != std::string(c.def).substr(0, c.max_length));
        EXPECT_EQ(result, from_file ? static_cast<int32_t>(value.size()) : 0);
    }
}

TEST_F(MifTest, MissingFileGivesTheDefault) {
    char out[13];
    EXPECT_EQ(tarvix::ReadIniValue("send", "autorun", "0", out, 2, At("none.mif").c_str()), 0);
    EXPECT_STREQ(out, "0");
    EXPECT_EQ(tarvix::ReadIniValue("send", "autorun", nullptr, out, 2, At("none.mif").c_str()), 0);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(tarvix::ReadIniValue("send", "autorun", nullptr, out, 2, nullptr), 0);
}

TEST_F(MifTest, FileNameWithoutRegardToCaseAndStringForm) {
    Spill(At("PACK.MIF"), Of("[send]\nfile1=A.AXE\n"));
    EXPECT_EQ(tarvix::ReadIniValue("send", "file1", "", 12, At("pack.mif")), "A.AXE");
    EXPECT_EQ(tarvix::ReadIniValue("send", "file2", "none", 12, At("pack.mif")), "none");
}

TEST(MifToken, TokensSeparatorsAndStops) {
    const std::string path = ::testing::TempDir() + "mif_token_" + std::to_string(::getpid());
    Spill(path, Of("  key=val\tue ;c\r\n[x]\nab"));
    tarvix::platform::File f;
    ASSERT_TRUE(f.Open(path, "rb"));
    tarvix::IniReader in(f);
    tarvix::IniToken t;
    EXPECT_EQ(tarvix::ReadIniToken(t, '\0', '\0', in), 3u);
    EXPECT_STREQ(t.text, "key");
    EXPECT_EQ(t.end, tarvix::IniTokenEnd::Separator);
    EXPECT_EQ(tarvix::ReadIniToken(t, '\r', '\n', in), 6u);
    EXPECT_STREQ(t.text, "val\tue");
    EXPECT_EQ(tarvix::ReadIniToken(t, '\r', '\n', in), 0u);  // the comment ran to the line end: LF stops
    EXPECT_EQ(t.end, tarvix::IniTokenEnd::Stop);
    EXPECT_EQ(tarvix::ReadIniToken(t, '[', '\0', in), 0u);
    EXPECT_EQ(t.end, tarvix::IniTokenEnd::Stop);
    EXPECT_EQ(tarvix::ReadIniToken(t, '\0', '\0', in), 2u);
    EXPECT_STREQ(t.text, "x]");
    tarvix::SkipIniLine(in);
    EXPECT_EQ(tarvix::ReadIniToken(t, '\0', '\0', in), 0u);
    EXPECT_EQ(t.end, tarvix::IniTokenEnd::EndOfFile);
    std::remove(path.c_str());
}

}  // namespace
