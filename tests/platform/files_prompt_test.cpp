// PC files (case-insensitive look-ups, replacement only when complete) and the prompt service.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "platform/prompt.h"

namespace tarvix::platform {
namespace {

std::string Folder(const char* name) {
    std::string folder = ::testing::TempDir() + name;
    std::string cmd = "rm -rf '" + folder + "' && mkdir -p '" + folder + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
    return folder;
}

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(PcFiles, WindowsPathsAndCaseInsensitiveLookups) {
    EXPECT_EQ(PcPath(".\\A.DBF"), "./A.DBF");
    EXPECT_EQ(PcPath("dir\\sub\\x.txt"), "dir/sub/x.txt");
    EXPECT_EQ(PcPath(nullptr), "");

    const std::string folder = Folder("lookups");
    std::ofstream(folder + "/X.DBI") << "header";
    EXPECT_EQ(FindExisting(folder + "/X.DBI"), folder + "/X.DBI");
    EXPECT_EQ(FindExisting(folder + "/x.dbi"), folder + "/X.DBI");
    EXPECT_EQ(FindExisting(folder + "/X.DBi"), folder + "/X.DBI");
    EXPECT_FALSE(FindExisting(folder + "/Y.DBI").has_value());
    EXPECT_EQ(FileSize(folder + "/x.DbI"), 6u);
    File f;
    ASSERT_TRUE(f.Open(folder + "/x.dbi", "rb"));
    char buffer[6];
    EXPECT_EQ(f.Read(buffer, 6), 6u);
    f.Close();
    EXPECT_FALSE(f.Open(folder, "rb"));  // a folder is no file
    EXPECT_TRUE(RenameFile(folder + "/x.dbi", folder + "/moved"));
    EXPECT_TRUE(FileExists(folder + "/MOVED"));
    EXPECT_TRUE(RemoveFile(folder + "/Moved"));
    EXPECT_FALSE(FileExists(folder + "/moved"));
    EXPECT_TRUE(RemoveFile(folder + "/never-there"));
}

TEST(PcFiles, ReplacementTouchesTheTargetOnlyWhenCommitted) {
    const std::string folder = Folder("replace");
    const std::string target = folder + "/downa.dbf";
    std::ofstream(target) << "previous readings";
    {
        ReplacementFile r(target);
        ASSERT_TRUE(r.Open());
        r.file().Write("half", 4);
        // abandoned by leaving scope
    }
    EXPECT_EQ(Slurp(target), "previous readings");
    EXPECT_EQ(std::system(("test $(ls '" + folder + "' | wc -l) -eq 1").c_str()), 0);  // no temporary left
    {
        ReplacementFile r(folder + "/DOWNA.DBF");  // the existing file, whatever its case
        ASSERT_TRUE(r.Open());
        r.file().Write("new", 3);
        EXPECT_TRUE(r.Commit());
    }
    EXPECT_EQ(Slurp(target), "new");
    EXPECT_EQ(std::system(("test $(ls '" + folder + "' | wc -l) -eq 1").c_str()), 0);
}

TEST(Prompts, HandlerDefaultAndWorkerThreads) {
    SetPromptHandler({});
    EXPECT_EQ(ShowMessageBox("Delete file x", "Attention", TARVIX_MB_YESNO | TARVIX_MB_ICONQUESTION),
              TARVIX_ID_NO);
    EXPECT_EQ(ShowMessageBox("x not exist", "Attention", TARVIX_MB_OK), TARVIX_ID_OK);
    EXPECT_FALSE(AskYesNo("q", "c", TARVIX_MB_ICONQUESTION));

    struct Seen {
        std::string text, caption;
        uint32_t style;
    };
    std::vector<Seen> seen;
    std::mutex lock;
    int32_t answer = TARVIX_ID_YES;
    SetPromptHandler([&](const char* text, const char* caption, uint32_t style) {
        std::lock_guard<std::mutex> g(lock);
        seen.push_back({text, caption, style});
        return answer;
    });
    EXPECT_TRUE(AskYesNo("A.DBF existed,overwrite??", "Attention", TARVIX_MB_ICONQUESTION));
    std::thread worker(
        [] { ShowMessageBox("from a worker", "Attention", TARVIX_MB_OK | TARVIX_MB_ICONWARNING); });
    worker.join();
    answer = TARVIX_ID_OK + 100;  // a box that failed or answered anything else is no Yes
    EXPECT_FALSE(AskYesNo("q", "c", 0));
    SetPromptHandler({});
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].text, "A.DBF existed,overwrite??");
    EXPECT_EQ(seen[0].style, TARVIX_MB_YESNO | TARVIX_MB_ICONQUESTION);
    EXPECT_EQ(seen[1].caption, "Attention");
    EXPECT_EQ(seen[1].style, TARVIX_MB_OK | TARVIX_MB_ICONWARNING);
}

}  // namespace
}  // namespace tarvix::platform
