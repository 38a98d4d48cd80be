// Both families over a noisy line: round trips (upload, then download) of random files of up to
// 20 KB through the library against the simulated handheld, whose line flips, drops or adds bytes at
// a given rate.  For each family and rate it counts the round trips that succeed, that fail, and that
// report success with other bytes than were sent (there must be none), beside what the family's
// attempts allow: for every frame of the same round trip on a clean line, the chance that one of its
// attempts (the frame and its one-byte answer) crosses the line unharmed, multiplied over the frames.
// The chances are printed as the expected share of round trips that succeed.
//
//   noise_rates [round trips at 1e-4] [round trips at 1e-3]      (defaults 60 and 40)
//
// With NOISE_RATES_EVENTS set it prints the handheld's events and the frames on the line of every
// failed round trip; NOISE_RATES_FAMILY (text or byte) runs one family only, NOISE_RATES_ROUND only
// that round trip of each rate (to look at one failure again: the noise is seeded per round trip).
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "api/start.h"
#include "sim/hhsim.h"
#include "tarvix.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

constexpr size_t kLargest = 20000;

Bytes ReadAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const fs::path& p, const Bytes& data) {
    std::ofstream(p, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

// One frame of a round trip: its length on the line and the sends its family allows it.
struct FrameCost {
    size_t length;
    int attempts;
};

// The chance that a round trip whose frames were `frames` (each answered by one byte) gets every
// frame through within its attempts, each byte spoiled with `rate`.
double AllowedChance(const std::vector<FrameCost>& frames, double rate) {
    double chance = 1.0;
    for (const FrameCost& f : frames) {
        const double spoiled = 1.0 - std::pow(1.0 - rate, static_cast<double>(f.length + 1));
        chance *= 1.0 - std::pow(spoiled, f.attempts);
    }
    return chance;
}

struct Tally {
    int succeeded = 0;
    int failed = 0;
    int wrong = 0;
    double allowed = 0;  // sum of the per-round-trip chances
    std::vector<int> errors;
};

class Bench {
  public:
    Bench(hhsim::Family family, const fs::path& work) : family_(family), work_(work) {
        hhsim::Config config;
        config.family = family;
        config.baud = 115200;
        sim_ = std::make_unique<hhsim::Simulator>(config);
        std::string error;
        if (!sim_->Start(&error)) {
            std::fprintf(stderr, "simulator: %s\n", error.c_str());
            std::exit(1);
        }
        setenv("TARVIX_COM1", sim_->SlavePath().c_str(), 1);
    }
    ~Bench() { sim_->Stop(); }

    const char* Name() const { return family_ == hhsim::Family::ByteFrame ? "byte-frame" : "text-frame"; }

    // The sends a frame gets: 5 in the byte-frame family, 3 in the text-frame family, but the link
    // tests that open an operation have fewer: the byte-frame probe (link test and number query) 2,
    // the text-frame link test of the detection 1 (the one of the file information is not counted).
    int Attempts(const hhsim::FrameRecord& f) const {
        const auto& p = f.payload;
        if (family_ == hhsim::Family::ByteFrame) {
            const bool probe_command = f.inbound && p.size() == 23 && f.number == 0xFFFF &&
                                       (p[0] == 15 || (p[0] == 80 && p[1] == 25));
            const bool number_reply = !f.inbound && f.command == 80 && f.sub == 25;
            return probe_command || number_reply ? 2 : 5;
        }
        const bool link_test = f.inbound && p.size() == 24 && f.number == 0xFFFFFFFFu && p[0] == 15;
        return link_test ? 1 : 3;
    }

    // The text-frame file information opens with a link test whose outcome it does not look at (it
    // is the one followed by the name of the file): it costs nothing when it fails.
    bool IgnoredLinkTest(const std::vector<hhsim::FrameRecord>& records, size_t i) const {
        if (family_ != hhsim::Family::TextFrame || i + 1 >= records.size()) return false;
        const hhsim::FrameRecord& f = records[i];
        const hhsim::FrameRecord& next = records[i + 1];
        const bool link_test =
            f.inbound && f.payload.size() == 24 && f.number == 0xFFFFFFFFu && f.payload[0] == 15;
        const bool set_name = next.inbound && next.payload.size() == 24 && next.number == 0xFFFFFFFFu &&
                              next.payload[0] == 80 && next.payload[1] == 1;
        return link_test && set_name;
    }

    // One round trip; with `frames`, the lengths of the frames that crossed the line.
    enum Outcome { kSucceeded, kFailed, kWrong };
    Outcome RoundTrip(const Bytes& content, int* error, std::vector<FrameCost>* frames = nullptr) {
        const std::string name = "\\N" + std::to_string(++serial_) + ".BIN";
        const fs::path stored = sim_->StorePath() / name.substr(1);
        WriteAll(work_ / "up.bin", content);
        std::error_code ec;
        fs::remove(work_ / "down.bin", ec);
        if (frames != nullptr) sim_->ClearRecords();
        Outcome outcome = kSucceeded;
        if (SendFileToHc(0, 0, name.c_str(), ".\\up.bin", 0, 1) != 0) {
            *error = GetLastErrCode();
            outcome = kFailed;
        } else if (ReadAll(stored) != content) {
            outcome = kWrong;
        } else if (GetHcFile(0, 0, name.c_str(), ".\\down.bin", 1) != 0) {
            *error = GetLastErrCode();
            outcome = kFailed;
        } else if (ReadAll(work_ / "down.bin") != content) {
            outcome = kWrong;
        }
        if (frames != nullptr) {
            frames->clear();
            const std::vector<hhsim::FrameRecord> records = sim_->Frames();
            for (size_t i = 0; i < records.size(); ++i) {
                if (IgnoredLinkTest(records, i)) continue;
                frames->push_back({records[i].raw.size(), Attempts(records[i])});
            }
        }
        fs::remove(stored, ec);
        return outcome;
    }

    Tally Run(double rate, int rounds, std::uint32_t seed) {
        Tally tally;
        std::mt19937 rng(seed);
        std::uniform_int_distribution<size_t> size(1, kLargest);
        for (int round = 0; round < rounds; ++round) {
            Bytes content(size(rng));
            for (auto& b : content) b = static_cast<unsigned char>(rng());
            if (only_round_ >= 0 && round != only_round_) continue;
            // The same round trip on a clean line tells which frames the noisy one has to carry.
            sim_->SetPlan({});
            std::vector<FrameCost> frames;
            int error = 0;
            // A handheld still busy with what the noisy round before left behind may miss the first
            // clean probe; it settles within its own waits.
            int tries = 0;
            while (RoundTrip(content, &error, &frames) != kSucceeded) {
                if (++tries == 3) {
                    std::fprintf(stderr, "%s: a round trip failed on a clean line (error %d)\n", Name(),
                                 error);
                    std::exit(1);
                }
                std::this_thread::sleep_for(std::chrono::seconds(2));
            }
            tally.allowed += AllowedChance(frames, rate);
            hhsim::FaultPlan plan;
            plan.noise_rate = rate;
            plan.noise_seed = seed * 1000 + static_cast<std::uint32_t>(round);
            sim_->ClearRecords();
            sim_->SetPlan(plan);
            switch (RoundTrip(content, &error)) {
                case kSucceeded:
                    ++tally.succeeded;
                    break;
                case kFailed:
                    ++tally.failed;
                    tally.errors.push_back(error);
                    if (getenv("NOISE_RATES_EVENTS") != nullptr) {
                        std::printf("  failed round trip %d (%zu bytes, error %d), the handheld's events:",
                                    round, content.size(), error);
                        for (const std::string& e : sim_->Events()) std::printf(" %s", e.c_str());
                        std::printf(
                            "\n  the frames on the line (> to the handheld, < from it, ! check failed):");
                        for (const hhsim::FrameRecord& f : sim_->Frames()) {
                            std::printf(" %s%zu", f.inbound ? ">" : "<", f.raw.size());
                            if (!f.check_ok) std::printf("!");
                            if (f.inbound && !f.payload.empty()) std::printf("(%d)", f.payload[0]);
                            if (!f.inbound) std::printf("#%d", static_cast<int>(f.number));
                        }
                        std::printf("\n");
                    }
                    break;
                case kWrong:
                    ++tally.wrong;
                    break;
            }
        }
        sim_->SetPlan({});
        return tally;
    }

  private:
    hhsim::Family family_;
    fs::path work_;
    // NOISE_RATES_ROUND: run only that round trip of each rate (to look at one failure again).
    int only_round_ = getenv("NOISE_RATES_ROUND") != nullptr ? std::atoi(getenv("NOISE_RATES_ROUND")) : -1;
    std::unique_ptr<hhsim::Simulator> sim_;
    int serial_ = 0;
};

void Report(const char* family, double rate, int rounds, const Tally& t, double seconds) {
    std::printf(
        "%-10s noise %.0e  %3d round trips  succeeded %3d (%5.1f %%)  failed %3d  wrong %d  "
        "attempts allow %5.1f %%  (%.0f s)\n",
        family, rate, rounds, t.succeeded, 100.0 * t.succeeded / rounds, t.failed, t.wrong,
        100.0 * t.allowed / rounds, seconds);
    if (!t.errors.empty()) {
        std::printf("%-10s   error codes of the failures:", "");
        for (int e : t.errors) std::printf(" %d", e);
        std::printf("\n");
    }
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const int light = argc > 1 ? std::atoi(argv[1]) : 60;
    const int heavy = argc > 2 ? std::atoi(argv[2]) : 40;
    const fs::path work = fs::temp_directory_path() / ("tarvix-bench-noise-" + std::to_string(getpid()));
    fs::create_directories(work);
    fs::current_path(work);
    for (int n = 1; n <= 4; ++n) setenv(("TARVIX_COM" + std::to_string(n)).c_str(), "/nonexistent/tty", 1);
    tarvix::LibraryAttach();

    int status = 0;
    // NOISE_RATES_FAMILY=text or byte: only that family.
    const char* only_family = getenv("NOISE_RATES_FAMILY");
    for (hhsim::Family family : {hhsim::Family::ByteFrame, hhsim::Family::TextFrame}) {
        if (only_family != nullptr &&
            (family == hhsim::Family::TextFrame) != (std::string(only_family) == "text")) {
            continue;
        }
        Bench bench(family, work);
        for (auto [rate, rounds] : {std::pair{1e-4, light}, std::pair{1e-3, heavy}}) {
            if (rounds <= 0) continue;
            auto start = std::chrono::steady_clock::now();
            Tally t = bench.Run(rate, rounds, rate < 5e-4 ? 1 : 2);
            double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            Report(bench.Name(), rate, rounds, t, seconds);
            if (t.wrong != 0) status = 1;
        }
    }

    tarvix::LibraryDetach();
    fs::current_path(fs::temp_directory_path());
    fs::remove_all(work);
    return status;
}
