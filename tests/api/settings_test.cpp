// tarvix.ini: where it lies and what section INFO sets.
#include "api/settings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "textframe/link_status.h"

namespace tarvix {
namespace {

struct CommandLineCase {
    std::string command_line;
    std::string path;
};

TEST(IniLocation, CommandLineRule) {
    const CommandLineCase cases[] = {
        {"\"C:\\Apps\\Desk\\prog.exe\" /x /y", "C:\\Apps\\Desk\\tarvix.ini"},
        {"\"C:\\Apps\\Desk\\prog.exe\"", "C:\\Apps\\Desk\\tarvix.ini"},
        {"C:\\Apps\\Desk\\prog.exe /x", "tarvix.ini"},                 // no leading quote: bare name
        {"\"prog.exe\" arg", "prog.exe\\tarvix.ini"},                  // no backslash: a relative name
        {"\"C:\\Apps\\Desk\\prog.exe", "C:\\Apps\\Desk\\tarvix.ini"},  // no closing quote
        {"", "tarvix.ini"},
        {"\"C:\\" + std::string(600, 'a') + "\\p.exe\"", "tarvix.ini"},  // longer than the 512-byte buffer
        {"\"C:\\" + std::string(500, 'a') + "\\p.exe\"", "tarvix.ini"},  // fits, but the result would not
    };
    for (const CommandLineCase& c : cases) {
        EXPECT_EQ(IniPathFromCommandLine(c.command_line), c.path) << c.command_line.substr(0, 40);
    }
}

TEST(IniLocation, EnvironmentVariableWins) {
    setenv("TARVIX_INI", "/some/where/tarvix.ini", 1);
    EXPECT_EQ(IniPath(), "/some/where/tarvix.ini");
    unsetenv("TARVIX_INI");
    const std::string path = IniPath();
    EXPECT_EQ(path.substr(path.size() - 11), "/tarvix.ini");  // beside the test program
}

struct SettingsCase {
    const char* ini;  // nullptr: no file
    int32_t authority, autopak;
    uint32_t adapttime;
};

TEST(IniSettings, InfoSection) {
    const SettingsCase cases[] = {
        {nullptr, 0, 0, 50},
        {"[INFO]\n", 0, 0, 50},
        {"[INFO]\nauthority=1\nautopak=1\nadapttime=200\n", 1, 1, 200},
        {"[info]\nAUTHORITY=1\nAdaptTime=200\n", 1, 0, 200},  // names without regard to case
        {"[INFO]\nauthority=yes\nautopak=01\n", 0, 0, 50},
        {"[INFO]\nauthority=2\nadapttime=\n", 0, 0, 50},
        {"[INFO]\nadapttime=0\n", 0, 0, 50},
        {"[INFO]\nadapttime=abc\n", 0, 0, 50},
        {"[INFO]\nadapttime=-5\n", 0, 0, 50},  // would be days unsigned: bounded
        {"[INFO]\nadapttime=4000000000\n", 0, 0, 50},
        {"[INFO]\nadapttime=60000\n", 0, 0, 60000},
        {"[INFO]\nadapttime=120ms\n", 0, 0, 120},  // leading digits
        {"[OTHER]\nauthority=1\n[INFO]\nautopak=1\n", 0, 1, 50},
        {"[INFO]\nautopak=1\n[INFO]\nauthority=1\n", 0, 1, 50},  // the first section wins
    };
    const std::string path = ::testing::TempDir() + "settings_tarvix.ini";
    setenv("TARVIX_INI", path.c_str(), 1);
    for (const SettingsCase& c : cases) {
        std::remove(path.c_str());
        if (c.ini != nullptr) std::ofstream(path) << c.ini;
        tf::LoadSettings();
        EXPECT_EQ(tf::Status().authority.load(), c.authority) << (c.ini ? c.ini : "(no file)");
        EXPECT_EQ(tf::Status().autopak.load(), c.autopak) << (c.ini ? c.ini : "(no file)");
        EXPECT_EQ(tf::Status().adapttime.load(), c.adapttime) << (c.ini ? c.ini : "(no file)");
    }
    unsetenv("TARVIX_INI");
    std::remove(path.c_str());
}

}  // namespace
}  // namespace tarvix
