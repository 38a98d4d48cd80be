// Text-frame family over a paced serial line: the payload rate of a 1 MiB upload and download
// against the simulated handheld at 115200 8N1, as a share of the protocol's ceiling, and the CPU
// time the library spends while a receive waits out its time-out.
//
//   textframe_rates [bytes]      (default 1048576)
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "api/start.h"
#include "sim/core.h"
#include "sim/hhsim.h"
#include "tarvix.h"

namespace {

namespace fs = std::filesystem;

constexpr double kBaud = 115200.0;
constexpr double kBitsPerByte = 10.0;  // 8N1: start, 8 data, stop
// The protocol's ceiling for `content`: its bytes over the line time of every byte its frames put on
// the wire ('#', 8 digits, the escaped payload, '$', 4 digits) and of the one-byte answer to each.
double Ceiling(const std::vector<char>& content) {
    double wire = 0;
    const auto* data = reinterpret_cast<const std::uint8_t*>(content.data());
    for (size_t off = 0; off < content.size() || off == 0; off += 256) {
        const size_t n = std::min<size_t>(256, content.size() - off);
        wire += static_cast<double>(hhsim::tf::BuildFrame(1, data + off, n).size() + 1);
        if (content.empty()) break;
    }
    return kBaud / kBitsPerByte * static_cast<double>(content.size()) / wire;
}
double g_ceiling = 0;  // of the benchmark's content

// The library works on its caller's thread: that thread's CPU time is the library's (the simulated
// handheld runs on threads of its own in this process).
double CpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double WallSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::vector<char> ReadAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Report(const char* what, size_t bytes, double seconds, double cpu) {
    const double rate = static_cast<double>(bytes) / seconds;
    std::printf("%-9s %8zu bytes  %7.2f s  %8.0f B/s  %5.1f %% of the ceiling (%.0f B/s)  CPU %.2f s\n", what,
                bytes, seconds, rate, 100.0 * rate / g_ceiling, g_ceiling, cpu);
}

}  // namespace

int main(int argc, char** argv) {
    const size_t size = argc > 1 ? static_cast<size_t>(std::strtoull(argv[1], nullptr, 10)) : (1u << 20);
    const fs::path work = fs::temp_directory_path() / ("tarvix-bench-tf-" + std::to_string(getpid()));
    fs::create_directories(work);
    fs::current_path(work);

    hhsim::Config config;
    config.family = hhsim::Family::TextFrame;
    config.baud = 115200;
    config.pace = true;
    hhsim::Simulator sim(config);
    std::string error;
    if (!sim.Start(&error)) {
        std::fprintf(stderr, "simulator: %s\n", error.c_str());
        return 1;
    }
    for (int n = 1; n <= 4; ++n) setenv(("TARVIX_COM" + std::to_string(n)).c_str(), "/nonexistent/tty", 1);
    setenv("TARVIX_COM1", sim.SlavePath().c_str(), 1);
    tarvix::LibraryAttach();

    std::vector<char> content(size);
    std::mt19937 rng(1);
    for (char& c : content) c = static_cast<char>(rng());
    g_ceiling = Ceiling(content);
    std::ofstream(work / "up.bin", std::ios::binary)
        .write(content.data(), static_cast<std::streamsize>(size));

    int status = 0;
    double t0 = WallSeconds(), c0 = CpuSeconds();
    int32_t r = SendFileToHc(0, 0, "\\BENCH.BIN", ".\\up.bin", 0, 1);
    double t1 = WallSeconds(), c1 = CpuSeconds();
    if (r != 0) {
        std::fprintf(stderr, "upload failed: %d (error %d)\n", r, GetLastErrCode());
        status = 1;
    } else {
        Report("upload", size, t1 - t0, c1 - c0);
    }

    t0 = WallSeconds();
    c0 = CpuSeconds();
    r = GetHcFile(0, 0, "\\BENCH.BIN", ".\\down.bin", 1);
    t1 = WallSeconds();
    c1 = CpuSeconds();
    if (r != 0 || ReadAll(work / "down.bin") != content) {
        std::fprintf(stderr, "download failed: %d (error %d)\n", r, GetLastErrCode());
        status = 1;
    } else {
        Report("download", size, t1 - t0, c1 - c0);
    }

    // A receive on a line where nothing comes waits out its time-out (3 attempts of 1000 ms): the
    // library should sleep in poll() meanwhile, not spin.
    ComInit(1, 115200);
    char buffer[64];
    int32_t received = 0;
    t0 = WallSeconds();
    c0 = CpuSeconds();
    Receive_Data(buffer, sizeof buffer, &received);
    t1 = WallSeconds();
    c1 = CpuSeconds();
    std::printf("idle wait %.2f s, CPU %.1f ms (%.2f %% of one core)\n", t1 - t0, (c1 - c0) * 1000.0,
                100.0 * (c1 - c0) / (t1 - t0));

    // A line whose far end is gone (the handheld's side of the pseudo-terminal closed): the receive
    // ends at once instead of polling a line that reports itself readable.
    sim.Stop();
    t0 = WallSeconds();
    c0 = CpuSeconds();
    Receive_Data(buffer, sizeof buffer, &received);
    t1 = WallSeconds();
    c1 = CpuSeconds();
    std::printf("hung-up line: receive ended after %.3f s, CPU %.1f ms\n", t1 - t0, (c1 - c0) * 1000.0);
    ComRelease();

    tarvix::LibraryDetach();
    fs::current_path(fs::temp_directory_path());
    fs::remove_all(work);
    return status;
}
