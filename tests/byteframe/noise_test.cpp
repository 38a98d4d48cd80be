// Big files and noisy lines: a transfer either delivers the very bytes or reports a failure.
#include "bf_fixture.h"

namespace bftest {
namespace {

using namespace tarvix;
using namespace tarvix::bf;

class Noise : public SimFixture {
  protected:
    // Uploads and downloads `data`; true when both reported success.  A success must carry the bytes.
    bool RoundTrip(const Bytes& data) {
        Spill("up.bin", data);
        std::error_code ec;
        fs::remove("down.bin", ec);
        if (bf_.SendFileToHc(1, 115200, "\\BIG.BIN", ".\\up.bin", 0, 1) != ResultOk) {
            return false;
        }
        EXPECT_EQ(Slurp(Store("BIG.BIN")), data) << "upload reported success with other bytes";
        if (bf_.GetHcFile(1, 115200, "\\BIG.BIN", ".\\down.bin", 1) != ResultOk) {
            EXPECT_FALSE(fs::exists("down.bin"));
            return false;
        }
        EXPECT_EQ(Slurp("down.bin"), data) << "download reported success with other bytes";
        return true;
    }
};

TEST_F(Noise, OneMebibyteRoundTrip) {
    StartSim();
    EXPECT_TRUE(RoundTrip(AnyBytes(1 << 20, 11)));
}

TEST_F(Noise, NoisyLineNeverDeliversAWrongFile) {
    hhsim::Config config = ByteFrameConfig();
    config.ack_timeout_ms = 100;
    StartSim(config);
    Tune().wait_cap_ms.store(150);
    int successes = 0;
    // The handheld gives a transfer up after ten bad frames in all, so the noise stays at a few hits
    // per transfer.
    for (uint32_t seed = 1; seed <= 8; ++seed) {
        hhsim::FaultPlan plan;
        plan.noise_rate = 0.0003;
        plan.noise_seed = seed;
        sim_->SetPlan(plan);
        successes += RoundTrip(AnyBytes(8 * 1024, seed)) ? 1 : 0;
    }
    RecordProperty("successes", successes);
    EXPECT_GE(successes, 1);
}

TEST_F(Noise, OneMebibyteOverALightlyNoisyLine) {
    hhsim::Config config = ByteFrameConfig();
    config.ack_timeout_ms = 100;
    StartSim(config);
    Tune().wait_cap_ms.store(150);
    hhsim::FaultPlan plan;
    plan.noise_rate = 0.000005;
    plan.noise_seed = 99;
    sim_->SetPlan(plan);
    RecordProperty("delivered", RoundTrip(AnyBytes(1 << 20, 12)) ? 1 : 0);
}

}  // namespace
}  // namespace bftest
