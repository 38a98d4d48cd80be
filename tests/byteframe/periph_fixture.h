// The public exports with a byte-frame handheld found on COM1, for the background work and the
// handheld's system functions.
#pragma once

#include <chrono>
#include <cstring>
#include <thread>

#include "api/link_state.h"
#include "bf_fixture.h"
#include "tables/dbf.h"
#include "tarvix.h"
#include "textframe/link_status.h"
#include "textframe/timing.h"

namespace bftest {

class PeriphExports : public SimFixture {
  protected:
    void SetUp() override {
        SimFixture::SetUp();
        ShortenTextFrameWaits();
        tarvix::ResetLinkState();
        tarvix::tf::Status().status.store(tarvix::StatusIdle);
        tarvix::tf::Status().last_error.store(0);
        tarvix::bf::g_rescue_percent.store(0);
        setenv("TARVIX_COM1", "/nonexistent/tty", 1);
    }
    void TearDown() override {
        // A worker left running by a failed check must not outlive the handheld it talks to.
        WaitIdle();
        ComRelease();
        tarvix::tf::ResetTiming();
        tarvix::ResetLinkState();
        SimFixture::TearDown();
    }
    // A byte-frame handheld on COM1, found by a first detection.
    void Attach(hhsim::Config config) {
        StartSim(config);
        uint8_t mode = 0;
        ASSERT_EQ(AdPortAndRateAndMode(nullptr, nullptr, &mode), 0);
        ASSERT_EQ(mode, 2);
    }
    void Attach() { Attach(ByteFrameConfig()); }

    // Polls the status until the background work has ended (bounded); the status it ended with.
    static int32_t WaitIdle(std::chrono::milliseconds limit = std::chrono::seconds(30)) {
        auto until = std::chrono::steady_clock::now() + limit;
        while (thrdQueryStatus() == tarvix::StatusBusy && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return thrdQueryStatus();
    }

    // The final record, which also frees the slot.
    static TransferStatus Finish() {
        TransferStatus record;
        std::memset(&record, 0xAB, sizeof record);
        thrdQueryStatusEx(&record);
        return record;
    }

    // A task table with a date field: its header goes into a side file when it is packed.
    static void WriteDatedTable(const std::string& path, int records) {
        tarvix::dbf::Writer writer;
        ASSERT_TRUE(
            writer.Create(path, {{"NID", 'N', 6, 0}, {"ADDRES", 'C', 20, 0}, {"CRQ", 'D', 8, 0}}).ok());
        writer.SetUpdateDate(2026, 12, 10);
        for (int i = 0; i < records; ++i) {
            std::string nid = std::to_string(i), addr = "Street " + std::to_string(i), day = "20261210";
            std::pair<std::string_view, std::string_view> values[] = {
                {"NID", nid}, {"ADDRES", addr}, {"CRQ", day}};
            ASSERT_TRUE(writer.Append(values).ok());
        }
        ASSERT_TRUE(writer.Close().ok());
    }
};

}  // namespace bftest
