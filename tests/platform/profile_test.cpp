// The profile reader keeps the rules the library relies on.
#include "platform/profile.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>

#include "platform/locale.h"

namespace tarvix::platform {
namespace {

struct ProfileCase {
    const char* section;
    const char* key;
    size_t size;
    const char* expected;
};

TEST(Profile, LookupRules) {
    const std::string path = ::testing::TempDir() + "profile_rules.ini";
    std::ofstream(path) << "; comment\n"
                           "[Info]\r\n"
                           "Language = chinese \r\n"
                           "empty=\n"
                           "dup=first\n"
                           "dup=second\n"
                           "quoted=\"a b\"\n"
                           "long=0123456789abcdef\n"
                           "[other]\n"
                           "only=here\n"
                           "[INFO]\n"
                           "late=ignored\n";
    const ProfileCase cases[] = {
        {"INFO", "language", 20, "chinese"},  // section and key without regard to case, blanks trimmed
        {"info", "EMPTY", 20, ""},            // present but empty: the empty text, not the default
        {"INFO", "missing", 20, "default"},  {"INFO", "dup", 20, "first"},  // the first match wins
        {"INFO", "quoted", 20, "a b"},       {"INFO", "long", 5, "0123"},   // cut to the buffer less one
        {"INFO", "late", 20, "default"},  // only the first section of a name counts
        {"nosuch", "key", 20, "default"},    {"other", "only", 20, "here"}, {"INFO", "only", 20, "default"},
    };
    for (const ProfileCase& c : cases) {
        char buffer[64];
        std::memset(buffer, 'X', sizeof buffer);
        size_t n = GetProfileString(path, c.section, c.key, "default", buffer, c.size);
        EXPECT_STREQ(buffer, c.expected) << c.section << "/" << c.key;
        EXPECT_EQ(n, std::strlen(c.expected));
    }
    char buffer[8];
    EXPECT_EQ(GetProfileString(path + ".none", "INFO", "language", "dflt", buffer, sizeof buffer), 4u);
    EXPECT_STREQ(buffer, "dflt");
    // The file is read afresh at every call.
    std::ofstream(path) << "[INFO]\nlanguage=english\n";
    GetProfileString(path, "INFO", "language", "", buffer, sizeof buffer);
    EXPECT_STREQ(buffer, "english");
}

TEST(Locale, ChineseOnlyForZhCn) {
    const std::pair<const char*, const char*> cases[] = {
        {"zh_CN", "00000804"},
        {"zh_CN.UTF-8", "00000804"},
        {"zh_CN.GBK@mod", "00000804"},
        {"zh_TW.UTF-8", "00000409"},
        {"en_US.UTF-8", "00000409"},
        {"C", "00000409"},
        {"", "00000409"},
    };
    for (const auto& [name, id] : cases) EXPECT_EQ(LocaleIdFromName(name), id) << name;

    setenv("TARVIX_LOCALE", "zh_CN.UTF-8", 1);
    EXPECT_EQ(UserLocaleId(), "00000804");
    setenv("TARVIX_LOCALE", "00000409", 1);
    EXPECT_EQ(UserLocaleId(), "00000409");
    unsetenv("TARVIX_LOCALE");
    setenv("LC_ALL", "zh_CN.UTF-8", 1);
    setenv("LANG", "en_US.UTF-8", 1);
    EXPECT_EQ(UserLocaleId(), "00000804");  // LC_ALL before LANG
    unsetenv("LC_ALL");
    setenv("LC_MESSAGES", "en_GB", 1);
    setenv("LANG", "zh_CN", 1);
    EXPECT_EQ(UserLocaleId(), "00000409");  // LC_MESSAGES before LANG
    unsetenv("LC_MESSAGES");
    EXPECT_EQ(UserLocaleId(), "00000804");
    unsetenv("LANG");
}

}  // namespace
}  // namespace tarvix::platform
