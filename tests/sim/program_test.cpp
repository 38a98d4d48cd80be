// The hhsim program: options, the device link, the ready line, a served link test, a clean end.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "sim/core.h"
#include "tests/sim/pty_client.h"

namespace {

namespace fs = std::filesystem;

TEST(HhsimProgram, LinksTheDeviceAndServesUntilTerminated) {
    fs::path program = fs::path(TARVIX_TEST_BINARY_DIR) / ".." / "sim" / "hhsim";
    if (!fs::exists(program)) GTEST_SKIP() << "hhsim not built";
    fs::path dir = fs::temp_directory_path() / ("hhsim-program-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    fs::path link = dir / "COM1";
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        execl(program.c_str(), "hhsim", "--family", "byte", "--number", "PRG000001", "--link", link.c_str(),
              "--store", (dir / "store").c_str(), "--fault", "nak:at=1,command=15", nullptr);
        _exit(127);
    }
    close(out[1]);
    std::string text;
    char buf[256];
    pollfd p{out[0], POLLIN, 0};
    while (text.find("hhsim ready\n") == std::string::npos && ::poll(&p, 1, 5000) > 0) {
        ssize_t n = read(out[0], buf, sizeof buf);
        if (n <= 0) break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    ASSERT_NE(text.find("hhsim ready\n"), std::string::npos) << text;
    // The device is the line's own name for the pseudo-terminal's slave, and the link leads there.
    const std::size_t device_at = text.find("device: ");
    ASSERT_NE(device_at, std::string::npos) << text;
    const std::string device = text.substr(device_at + 8, text.find('\n', device_at) - device_at - 8);
    EXPECT_EQ(fs::canonical(device).string().rfind("/dev/pts/", 0), 0u) << device;
    ASSERT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(fs::canonical(link), fs::canonical(device));
    {
        simtest::PtyClient pc(link.string());
        ASSERT_TRUE(pc.ok());
        hhsim::Bytes block(23, 0);
        block[0] = 15;
        pc.Write(hhsim::bf::BuildFrame(0xFFFF, block.data(), block.size(), false));
        EXPECT_EQ(pc.ReadByte(1000), std::optional<std::uint8_t>(2));  // the planned refusal
        pc.Write(hhsim::bf::BuildFrame(0xFFFF, block.data(), block.size(), false));
        EXPECT_EQ(pc.ReadByte(1000), std::optional<std::uint8_t>(0));
    }
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_FALSE(fs::exists(link));
    EXPECT_FALSE(fs::exists(fs::path(device).parent_path()));  // the line's own name went with it
    EXPECT_TRUE(fs::is_directory(dir / "store"));
    close(out[0]);
    fs::remove_all(dir);
}

// SIGUSR2 restarts a handheld on its line only: on USB the program says why it did not and serves on,
// so a second signal is answered the same way.
TEST(HhsimProgram, ARestartOnUsbIsRefusedAndTheProgramServesOn) {
    fs::path program = fs::path(TARVIX_TEST_BINARY_DIR) / ".." / "sim" / "hhsim";
    if (!fs::exists(program)) GTEST_SKIP() << "hhsim not built";
    fs::path dir = fs::temp_directory_path() / ("hhsim-program-usb-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    int out[2];
    int err[2];
    ASSERT_EQ(pipe(out), 0);
    ASSERT_EQ(pipe(err), 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(out[0]);
        close(err[0]);
        execl(program.c_str(), "hhsim", "--family", "byte", "--usb", "1", "--usb-dir", (dir / "usb").c_str(),
              "--store", (dir / "store").c_str(), nullptr);
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    // What `fd` says until `wanted` is in it, or nothing more comes within 5 s.
    const auto read_until = [](int fd, std::string& text, const std::string& wanted) {
        char buf[256];
        pollfd p{fd, POLLIN, 0};
        while (text.find(wanted) == std::string::npos && ::poll(&p, 1, 5000) > 0) {
            ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0) break;
            text.append(buf, static_cast<std::size_t>(n));
        }
        return text.find(wanted) != std::string::npos;
    };
    std::string said;
    ASSERT_TRUE(read_until(out[0], said, "hhsim ready\n")) << said;
    const std::string refusal = "hhsim: restart: only the line can be restarted; USB has UsbUnplug\n";
    std::string complaints;
    kill(pid, SIGUSR2);
    EXPECT_TRUE(read_until(err[0], complaints, refusal)) << complaints;
    kill(pid, SIGUSR2);
    EXPECT_TRUE(read_until(err[0], complaints, refusal + refusal)) << complaints;
    EXPECT_EQ(said.find("hhsim restarted"), std::string::npos);
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    close(out[0]);
    close(err[0]);
    fs::remove_all(dir);
}

}  // namespace
