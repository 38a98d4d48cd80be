// The byte-frame family against the simulated handheld over a real pseudo-terminal: a scratch
// folder as the current folder, COM1 on the handheld and COM2 to COM4 on devices that do not exist,
// short protocol waits, and message boxes answered by the test.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "byteframe/byteframe.h"
#include "byteframe/operations.h"
#include "byteframe/protocol.h"
#include "byteframe/transfer_status.h"
#include "common/codes.h"
#include "common/messages.h"
#include "platform/prompt.h"
#include "sim/hhsim.h"
#include "textframe/timing.h"

namespace bftest {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

inline Bytes Slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

inline void Spill(const fs::path& p, const Bytes& bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Random bytes without the frame markers, so that every frame has its plain length on the line.
inline Bytes PlainBytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes out(n);
    for (auto& b : out) {
        do b = static_cast<uint8_t>(rng());
        while (b == '#' || b == '$' || b == '@');
    }
    return out;
}

inline Bytes AnyBytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes out(n);
    for (auto& b : out) b = static_cast<uint8_t>(rng());
    return out;
}

// The thread sanitizer slows the library and the simulated handheld alike: the short waits of the
// link probe are stretched there.
#if defined(__SANITIZE_THREAD__)
constexpr uint32_t kWaitScale = 10;
#else
constexpr uint32_t kWaitScale = 1;
#endif

inline void ResetByteFrame() {
    using namespace tarvix::bf;
    g_stop_flag.store(false);
    SetErrorCode(tarvix::ErrNone);
    SetStatusValue(tarvix::StatusIdle);
    Proto().HcSetExitTime(500, 3000);
    Proto().SetAttempts(5);
    Proto().SetCrcMode(0);
    Tune().retry_pause_ms.store(10);
    Tune().find_pause_ms.store(0);
    Tune().poll_pause_ms.store(5);
    Tune().delete_poll_limit_ms.store(5000);
    Tune().fixed_delete_wait_ms.store(0);
    Tune().wait_cap_ms.store(0);
    Tune().upload_check_limit_ms.store(18000);
    Tune().probe_wait_ms.store(kWaitScale == 1 ? 0 : 50 * kWaitScale);
}

class SimFixture : public ::testing::Test {
  protected:
    // The text-frame family's waits, short enough that its scan of a port with a byte-frame handheld
    // (or nothing) on it never waits out a real time-out.
    static void ShortenTextFrameWaits() {
        tarvix::tf::Timing timing;
        timing.default_timeout_ms = 300 * kWaitScale;
        timing.byte_timeout_ms = 200 * kWaitScale;
        timing.status_reply_timeout_ms = 300 * kWaitScale;
        timing.link_test_timeout_ms = 100 * kWaitScale;
        tarvix::tf::SetTiming(timing);
    }

    static hhsim::Config ByteFrameConfig() {
        hhsim::Config config;
        config.family = hhsim::Family::ByteFrame;
        config.baud = 0;
        config.number = "BF0000042";
        config.ack_timeout_ms = 300;
        config.data_timeout_ms = 2000;
        return config;
    }

    void SetUp() override {
        old_dir_ = fs::current_path();
        char pattern[] = "/tmp/bftest-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        fs::current_path(dir_);
        for (const char* name : {"TARVIX_COM2", "TARVIX_COM3", "TARVIX_COM4"})
            setenv(name, "/nonexistent/tty", 1);
        ResetByteFrame();
        setenv("TARVIX_LOCALE", "en_US", 1);
        tarvix::bf::LoadMessages();
        tarvix::platform::SetPromptHandler([this](const char* text, const char* caption, uint32_t style) {
            std::lock_guard<std::mutex> lock(prompt_lock_);
            prompts_.push_back(std::string(caption) + "|" + text);
            if ((style & 0xF) == TARVIX_MB_YESNO) return answer_yes_ ? TARVIX_ID_YES : TARVIX_ID_NO;
            return TARVIX_ID_OK;
        });
    }

    void TearDown() override {
        tarvix::bf::Proto().line().ComRelease();
        if (sim_) sim_->Stop();
        sim_.reset();
        tarvix::platform::SetPromptHandler({});
        ResetByteFrame();
        fs::current_path(old_dir_);
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    void StartSim(hhsim::Config config, const char* com = "TARVIX_COM1") {
        sim_ = std::make_unique<hhsim::Simulator>(config);
        std::string error;
        ASSERT_TRUE(sim_->Start(&error)) << error;
        setenv(com, sim_->SlavePath().c_str(), 1);
    }
    void StartSim() { StartSim(ByteFrameConfig()); }

    fs::path Store(const std::string& relative = "") const { return sim_->StorePath() / relative; }

    // The names in the working folder, sorted: what a call left beside its files shows here.
    std::vector<std::string> LocalFiles() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    std::vector<std::string> Prompts() {
        std::lock_guard<std::mutex> lock(prompt_lock_);
        return prompts_;
    }

    std::string FirstPrompt() {
        std::lock_guard<std::mutex> lock(prompt_lock_);
        return prompts_.empty() ? std::string("(no box)") : prompts_.front();
    }

    int CommandsOf(int command, int sub) const {
        int n = 0;
        for (const auto& c : sim_->Commands())
            n += (c.command == command && (sub < 0 || c.sub == sub)) ? 1 : 0;
        return n;
    }

    tarvix::bf::ByteFrame bf_;
    std::unique_ptr<hhsim::Simulator> sim_;
    fs::path dir_;
    fs::path old_dir_;
    std::mutex prompt_lock_;
    std::vector<std::string> prompts_;
    bool answer_yes_ = true;
};

}  // namespace bftest
