// Byte-frame family over a paced serial line: the payload rate of a 1 MiB upload and download against
// the simulated handheld at 115200 8N1, with the sum check and with the CRC, as a share of the
// protocol's ceiling, and the CPU time the library spends while a receive waits out its time-out.
//
//   byteframe_rates [bytes]      (default 1048576)
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
// The protocol's ceiling for the benchmark's content: its bytes over the line time of every byte its
// frames put on the wire ('#', 4 header bytes, the escaped payload, '$', 1 check byte with the sum or 2
// with the CRC) and of the one-byte answer to each.
std::vector<char> g_content;
double Ceiling(bool crc) {
    double wire = 0;
    const auto* data = reinterpret_cast<const std::uint8_t*>(g_content.data());
    for (size_t off = 0; off < g_content.size() || off == 0; off += 256) {
        const size_t n = std::min<size_t>(256, g_content.size() - off);
        wire += static_cast<double>(hhsim::bf::BuildFrame(1, data + off, n, crc).size() + 1);
        if (g_content.empty()) break;
    }
    return kBaud / kBitsPerByte * static_cast<double>(g_content.size()) / wire;
}

double CpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double WallSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::vector<char> ReadAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Report(const char* what, bool crc, size_t bytes, double seconds, double cpu) {
    const double rate = static_cast<double>(bytes) / seconds;
    std::printf("%-8s %-3s %8zu bytes  %7.2f s  %8.0f B/s  %5.1f %% of the ceiling (%.0f B/s)  CPU %.2f s\n",
                what, crc ? "crc" : "sum", bytes, seconds, rate, 100.0 * rate / Ceiling(crc), Ceiling(crc),
                cpu);
}

// One upload and one download of `content`; false when either failed.
bool Measure(const std::vector<char>& content, const fs::path& work, bool crc) {
    const size_t size = content.size();
    double t0 = WallSeconds(), c0 = CpuSeconds();
    int32_t r = SendFileToHc(0, 0, "\\BENCH.BIN", ".\\up.bin", 0, 1);
    double t1 = WallSeconds(), c1 = CpuSeconds();
    if (r != 0) {
        std::fprintf(stderr, "upload failed: %d (error %d)\n", r, GetLastErrCode());
        return false;
    }
    Report("upload", crc, size, t1 - t0, c1 - c0);
    t0 = WallSeconds();
    c0 = CpuSeconds();
    r = GetHcFile(0, 0, "\\BENCH.BIN", ".\\down.bin", 1);
    t1 = WallSeconds();
    c1 = CpuSeconds();
    if (r != 0 || ReadAll(work / "down.bin") != content) {
        std::fprintf(stderr, "download failed: %d (error %d)\n", r, GetLastErrCode());
        return false;
    }
    Report("download", crc, size, t1 - t0, c1 - c0);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const size_t size = argc > 1 ? static_cast<size_t>(std::strtoull(argv[1], nullptr, 10)) : (1u << 20);
    const fs::path work = fs::temp_directory_path() / ("tarvix-bench-bf-" + std::to_string(getpid()));
    fs::create_directories(work);
    fs::current_path(work);
    for (int n = 1; n <= 4; ++n) setenv(("TARVIX_COM" + std::to_string(n)).c_str(), "/nonexistent/tty", 1);
    tarvix::LibraryAttach();

    // Payload of plain bytes: a frame then has its shortest form on the line, as the ceiling assumes.
    std::vector<char> content(size);
    std::mt19937 rng(1);
    for (char& c : content) {
        do c = static_cast<char>(rng());
        while (c == '#' || c == '$' || c == '@');
    }
    std::ofstream(work / "up.bin", std::ios::binary)
        .write(content.data(), static_cast<std::streamsize>(size));
    g_content = content;

    int status = 0;
    for (bool crc : {false, true}) {
        hhsim::Config config;
        config.family = hhsim::Family::ByteFrame;
        config.baud = 115200;
        config.pace = true;
        config.version = crc ? "BFHH-V 61" : "BFHH-V 59";
        hhsim::Simulator sim(config);
        std::string error;
        if (!sim.Start(&error)) {
            std::fprintf(stderr, "simulator: %s\n", error.c_str());
            return 1;
        }
        setenv("TARVIX_COM1", sim.SlavePath().c_str(), 1);
        if (!Measure(content, work, crc)) status = 1;

        if (crc) {
            // A receive on a line where nothing comes waits out its time-outs: the library sleeps in
            // poll() meanwhile instead of spinning.
            ComInit(1, 115200);
            HcSetExitTime(500, 500);
            char buffer[64];
            int32_t received = 0;
            double t0 = WallSeconds(), c0 = CpuSeconds();
            Receive_Data(buffer, sizeof buffer, &received);
            double t1 = WallSeconds(), c1 = CpuSeconds();
            std::printf("idle wait %.2f s, CPU %.1f ms (%.2f %% of one core)\n", t1 - t0, (c1 - c0) * 1000.0,
                        100.0 * (c1 - c0) / (t1 - t0));
            // A line whose far end is gone (the handheld's side of the pseudo-terminal closed): the
            // receive ends at once instead of polling a line that reports itself readable.
            sim.Stop();
            t0 = WallSeconds();
            c0 = CpuSeconds();
            Receive_Data(buffer, sizeof buffer, &received);
            t1 = WallSeconds();
            c1 = CpuSeconds();
            std::printf("hung-up line: receive ended after %.3f s, CPU %.1f ms\n", t1 - t0,
                        (c1 - c0) * 1000.0);
            ComRelease();
        }
        sim.Stop();
    }

    tarvix::LibraryDetach();
    fs::current_path(fs::temp_directory_path());
    fs::remove_all(work);
    return status;
}
