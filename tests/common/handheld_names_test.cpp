// Names and folders a handheld gives for PC files: plain names, and folders below their base.
#include "common/handheld_names.h"

#include <gtest/gtest.h>

namespace tarvix {
namespace {

TEST(HandheldNames, PlainNames) {
    struct Case {
        const char* name;
        bool plain;
    } cases[] = {
        {"A.DBF", true}, {"a.b.c", true},      {".profile", true}, {"x", true},
        {"", false},     {"..", false},        {".", true},        {"...", false},
        {"a..b", false}, {"..\\E.TXT", false}, {"sub/a", false},   {"sub\\a", false},
        {"/abs", false}, {"c:x", false},       {"a:b", false},     {"C:\\x", false},
    };
    for (const Case& c : cases) EXPECT_EQ(IsPlainName(c.name), c.plain) << c.name;
}

TEST(HandheldNames, FoldersBelowTheBase) {
    struct Case {
        const char* folder;
        bool below;
    } cases[] = {
        {"", true},          {".\\", true},       {"out", true},          {"out\\sub\\", true},
        {"./out/./x", true}, {"..", false},       {"..\\escaped", false}, {"out\\..\\..\\x", false},
        {"out/..", false},   {"\\tmp\\x", false}, {"/abs", false},        {"c:\\x", false},
        {"c:x", false},      {"out\\c:", false},  {"a\\...\\b", false},
    };
    for (const Case& c : cases) EXPECT_EQ(IsFolderBelowBase(c.folder), c.below) << c.folder;
}

}  // namespace
}  // namespace tarvix
