// A text-frame handheld simulated behind a real pseudo-terminal, reached through the library's
// exports.  COMn names the simulator's line or a device that does not exist; the waits of the family
// are cut short so that no test sits out a real protocol time-out.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "api/link_state.h"
#include "api/start.h"
#include "common/codes.h"
#include "platform/prompt.h"
#include "platform/usb.h"
#include "sim/hhsim.h"
#include "tarvix.h"
#include "textframe/link_status.h"
#include "textframe/timing.h"

namespace tarvix::tftest {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// The library as a loading program gets it: started once for the whole test program.
class LibraryEnvironment : public ::testing::Environment {
  public:
    void SetUp() override { LibraryAttach(); }
    void TearDown() override { LibraryDetach(); }
};

inline Bytes RandomBytes(size_t size, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes bytes(size);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng());
    return bytes;
}

inline void WriteFile(const fs::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline Bytes ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline const char* kNoDevice = "/nonexistent/tarvix-tty";

// A sanitizer build runs library and handheld several times slower, and on a loaded machine a short
// wait of either side would turn a slow answer into a failure: their waits grow alike.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr uint32_t kWaitScale = 3;
#else
inline constexpr uint32_t kWaitScale = 1;
#endif

class SimTest : public ::testing::Test {
  protected:
    static constexpr uint32_t kUsbReplyTimeoutMs = 10000;  // the library's own wait for a USB reply

    // Waits short enough to keep failing paths quick, long enough for a loaded machine.
    static tf::Timing TestTiming() {
        tf::Timing t;
        t.default_timeout_ms = 400 * kWaitScale;
        t.byte_timeout_ms = 200 * kWaitScale;
        t.status_reply_timeout_ms = 400 * kWaitScale;
        t.link_test_timeout_ms = 250 * kWaitScale;
        return t;
    }

    void SetUp() override {
        old_cwd_ = fs::current_path();
        work_ = fs::temp_directory_path() / ("tarvix-tf-" + std::to_string(::getpid()) + "-" +
                                             ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(work_);
        fs::create_directories(work_);
        fs::current_path(work_);
        tf::SetTiming(TestTiming());
        ResetLinkState();
        tf::LinkStatus& s = tf::Status();
        s.status.store(StatusIdle);
        s.last_error.store(0);
        s.worker_refused.store(0);
        for (int n = 1; n <= 4; ++n) SetPort(n, kNoDevice);
        platform::SetPromptHandler([this](const char* text, const char* caption, uint32_t style) {
            std::lock_guard<std::mutex> lock(prompt_mutex_);
            prompts_.push_back(std::string(caption) + "|" + text);
            styles_.push_back(style);
            return answer_ ? answer_(text) : TARVIX_ID_NO;
        });
    }

    void TearDown() override {
        WaitWorker();
        ComRelease();
        platform::SetPromptHandler({});
        if (sim_ != nullptr) sim_->Stop();
        sim_.reset();
        for (int n = 1; n <= 4; ++n) unsetenv(("TARVIX_COM" + std::to_string(n)).c_str());
        unsetenv("TARVIX_USB_DIR");
        platform::usb::SetReplyTimeoutMs(kUsbReplyTimeoutMs);
        DeviceKind = 4;
        tf::ResetTiming();
        fs::current_path(old_cwd_);
        fs::remove_all(work_);
    }

    static void SetPort(int n, const std::string& device) {
        setenv(("TARVIX_COM" + std::to_string(n)).c_str(), device.c_str(), 1);
    }

    // Starts the handheld and puts it on COMn.
    hhsim::Simulator& StartSim(int com = 1, hhsim::Config config = {}) {
        config.family = hhsim::Family::TextFrame;
        // The handheld sends again before the library gives up waiting, as a real one does.
        config.ack_timeout_ms = 150 * kWaitScale;
        sim_ = std::make_unique<hhsim::Simulator>(config);
        std::string error;
        EXPECT_TRUE(sim_->Start(&error)) << error;
        SetPort(com, sim_->SlavePath());
        return *sim_;
    }

    // Starts the handheld on USB only, offering the interface of `kind` (7: both), with the
    // application folder; the library's USB replies are awaited for 3 s instead of its 10 s.
    hhsim::Simulator& StartUsbSim(int kind = 4, hhsim::Config config = {}) {
        config.family = hhsim::Family::TextFrame;
        config.usb = kind;
        config.data_timeout_ms = 2000;
        sim_ = std::make_unique<hhsim::Simulator>(config);
        std::string error;
        EXPECT_TRUE(sim_->Start(&error)) << error;
        setenv("TARVIX_USB_DIR", sim_->UsbDir().c_str(), 1);
        platform::usb::SetReplyTimeoutMs(3000);
        fs::create_directories(Store() / "KELVANHB");
        return *sim_;
    }

    hhsim::Simulator& sim() { return *sim_; }
    fs::path Store() const { return sim_->StorePath(); }

    void Plan(std::initializer_list<hhsim::Fault> faults) {
        hhsim::FaultPlan plan;
        plan.faults = faults;
        sim().SetPlan(plan);
    }

    // The files of the work folder, sorted: a failed call leaves no temporary beside its target.
    std::vector<std::string> WorkFiles() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(work_)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    // Waits (bounded) until no background worker runs.
    static void WaitWorker() {
        for (int i = 0; i < 3000 && thrdQueryStatus() == StatusBusy; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    std::vector<std::string> Prompts() {
        std::lock_guard<std::mutex> lock(prompt_mutex_);
        return prompts_;
    }
    // The box styles, in the order of Prompts().
    std::vector<uint32_t> Styles() {
        std::lock_guard<std::mutex> lock(prompt_mutex_);
        return styles_;
    }

    // The answer the next message boxes get (default: the safe No / OK of a box that failed).
    void Answer(std::function<int32_t(const char*)> answer) { answer_ = std::move(answer); }
    void AnswerAlways(int32_t id) {
        answer_ = [id](const char*) { return id; };
    }

    fs::path work_;
    fs::path old_cwd_;
    std::unique_ptr<hhsim::Simulator> sim_;
    std::mutex prompt_mutex_;
    std::vector<std::string> prompts_;
    std::vector<uint32_t> styles_;
    std::function<int32_t(const char*)> answer_;
};

}  // namespace tarvix::tftest
