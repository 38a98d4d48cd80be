// The detection order: the family of LinkMode first, then the other one; the text-frame link opened
// again after its scan; the link state written only by a scan that found a handheld.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "api/link_state.h"
#include "common/codes.h"
#include "fake_families.h"
#include "tarvix.h"

namespace tarvix::testing {
namespace {

using ::testing::_;
using ::testing::Invoke;
using ::testing::Return;

struct DetectionCase {
    const char* name;
    uint8_t mode_before;
    bool tf_answers;  // text-frame scan finds port 2 at 57600
    bool bf_answers;  // byte-frame scan finds port 3 at 38400, mode 2
    bool tf_reopens;
    int32_t result;
    std::vector<std::string> calls;  // families scanned, in order ("tf", "bf", "tf-open")
    int32_t port_after, rate_after;
    uint8_t mode_after;
    const char* no_link_family;  // which family a detecting export tells of ErrNoLink ("" none)
};

class DetectionOrder : public FamiliesTest, public ::testing::WithParamInterface<DetectionCase> {};

TEST_P(DetectionOrder, ScansWritesStateAndReportsNoLink) {
    const DetectionCase& c = GetParam();
    LinkMode = c.mode_before;
    std::vector<std::string> calls;
    ON_CALL(tf, DetectLink).WillByDefault(Invoke([&](int32_t* p, int32_t* r, uint8_t* m) {
        calls.push_back("tf");
        if (!c.tf_answers) return 1;
        *p = 2, *r = 57600, *m = 3;
        return 0;
    }));
    ON_CALL(bf, DetectLink).WillByDefault(Invoke([&](int32_t* p, int32_t* r, uint8_t* m) {
        calls.push_back("bf");
        if (!c.bf_answers) return 1;
        *p = 3, *r = 38400, *m = 2;
        return 0;
    }));
    ON_CALL(tf, ComInit).WillByDefault(Invoke([&](int32_t port, int32_t rate) {
        calls.push_back("tf-open");
        EXPECT_EQ(port, 2);
        EXPECT_EQ(rate, 57600);
        return c.tf_reopens ? 1 : 0;
    }));

    int32_t port = -7, rate = -7;
    uint8_t mode = 77;
    EXPECT_EQ(AdPortAndRateAndMode(&port, &rate, &mode), c.result);
    EXPECT_EQ(calls, c.calls);
    EXPECT_EQ(LinkPort, c.port_after);
    EXPECT_EQ(LinkRate, c.rate_after);
    EXPECT_EQ(LinkMode, c.mode_after);
    if (c.result == 0) {
        EXPECT_EQ(port, c.port_after);
        EXPECT_EQ(rate, c.rate_after);
        EXPECT_EQ(mode, c.mode_after);
    } else {
        EXPECT_EQ(port, -7);  // outputs untouched on failure
        EXPECT_EQ(rate, -7);
        EXPECT_EQ(mode, 77);
    }

    // The same situation through a detecting export: the failure is told to the family LinkMode
    // names afterwards, and the family operation runs only after a success.
    ResetLinkState();
    LinkMode = c.mode_before;
    calls.clear();
    const std::string family = c.no_link_family;
    EXPECT_CALL(tf, SetNoLinkError()).Times(family == "tf" ? 1 : 0);
    EXPECT_CALL(bf, SetError(ErrNoLink, false)).Times(family == "bf" ? 1 : 0);
    EXPECT_CALL(tf, HcMakeDir(_)).Times(c.result == 0 && c.mode_after == 3 ? 1 : 0);
    EXPECT_CALL(bf, HcMakeDir(3, 38400, _)).Times(c.result == 0 && c.mode_after < 3 ? 1 : 0);
    EXPECT_EQ(HcMakeDir(0, 0, "\\X"), c.result == 0 ? ResultOk : ResultFailed);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DetectionOrder,
    ::testing::Values(
        DetectionCase{"TextFrameFirstAnswers", 3, true, false, true, 0, {"tf", "tf-open"}, 2, 57600, 3, ""},
        DetectionCase{
            "TextFrameNoneByteFrameAnswers", 3, false, true, true, 0, {"tf", "bf"}, 3, 38400, 2, ""},
        DetectionCase{"NothingFromTextFrameMode", 3, false, false, true, 1, {"tf", "bf"}, 1, 115200, 3, "tf"},
        DetectionCase{"ByteFrameFirstAnswers", 1, false, true, true, 0, {"bf"}, 3, 38400, 2, ""},
        DetectionCase{"ByteFrameNoneTextFrameAnswers",
                      2,
                      true,
                      false,
                      true,
                      0,
                      {"bf", "tf", "tf-open"},
                      2,
                      57600,
                      3,
                      ""},
        DetectionCase{"NothingFromByteFrameMode", 1, false, false, true, 1, {"bf", "tf"}, 1, 115200, 1, "bf"},
        // A text-frame handheld that answered but whose link would not open again: the pair and mode 3
        // are recorded, the other family is not tried.
        DetectionCase{"TextFrameReopenFails", 3, true, true, false, 1, {"tf", "tf-open"}, 2, 57600, 3, "tf"},
        DetectionCase{"ReopenFailsAfterByteFrameScan",
                      1,
                      true,
                      false,
                      false,
                      1,
                      {"bf", "tf", "tf-open"},
                      2,
                      57600,
                      3,
                      "tf"}),
    [](const ::testing::TestParamInfo<DetectionCase>& info) { return std::string(info.param.name); });

TEST_F(FamiliesTest, BackgroundStartersMarkTheByteFrameStatusFailed) {
    LinkMode = 1;
    EXPECT_CALL(bf, SetError(ErrNoLink, true)).Times(5);
    EXPECT_EQ(thrdSendFileToHc(0, 0, "\\A", "a", 0, 1), ResultFailed);
    EXPECT_EQ(thrdGetHcFile(0, 0, "\\A", "a", 1), ResultFailed);
    EXPECT_EQ(thrdSendMifToHc(0, 0, "a.mif", 0, 1), ResultFailed);
    EXPECT_EQ(thrdGetHcMif(0, 0, "\\a.mif", 1), ResultFailed);
    EXPECT_EQ(HcRescue(0, 0, "dump"), ResultFailed);
    EXPECT_CALL(bf, SetError(ErrNoLink, false)).Times(1);
    EXPECT_EQ(SendFileToHc(0, 0, "\\A", "a", 0, 1), ResultFailed);
}

TEST_F(FamiliesTest, NullOutputsAreNotWrittenAndTwoPointerFormMatches) {
    ON_CALL(tf, DetectLink).WillByDefault(Invoke(Answers(4, 9600, 3)));
    int32_t port = 0;
    EXPECT_EQ(AdPortAndRate(&port, nullptr), 0);
    EXPECT_EQ(port, 4);
    EXPECT_EQ(AdPortAndRate(nullptr, nullptr), 0);
    EXPECT_EQ(AdPortAndRateAndMode(nullptr, nullptr, nullptr), 0);
}

TEST_F(FamiliesTest, TheReopenGetsTheLow16BitsOfThePort) {
    ON_CALL(tf, DetectLink).WillByDefault(Invoke(Answers(0x10002, 115200, 3)));
    EXPECT_CALL(tf, ComInit(2, 115200)).WillOnce(Return(1));
    EXPECT_EQ(AdPortAndRateAndMode(nullptr, nullptr, nullptr), 0);
}

// A detecting export while a background transfer runs would pull the link from under it: refused,
// nothing probed; the byte-frame family also records that it is busy.
// While a worker of either family holds the link, every export that would detect or use the port is
// refused before it reaches a family: mode 3 answers its busy value, modes 1 and 2 answer their failure
// value and store ErrBusy in the byte-frame family.
struct RefusedExport {
    const char* name;
    std::function<int32_t()> call;
    int32_t text_frame;  // result in mode 3
    int32_t byte_frame;  // result in modes 1 and 2
};

TEST_F(FamiliesTest, LinkExportsAreRefusedWhileAWorkerRuns) {
    static char number[16];
    static uint8_t byte;
    static uint8_t buffer[8];
    static int32_t received;
    static HcFileEntry entry;
    const std::vector<RefusedExport> exports = {
        {"SendFileToHc", [] { return SendFileToHc(0, 0, "\\A", "a", 0, 1); }, ResultBusy, ResultFailed},
        {"thrdGetHcFile", [] { return thrdGetHcFile(0, 0, "\\A", "a", 1); }, ResultBusy, ResultFailed},
        {"thrdGetHcNum", [] { return thrdGetHcNum(0, 0, number); }, ResultBusy, ResultFailed},
        {"GetHcFileInfo", [] { return GetHcFileInfo(0, 0, "*.*", &entry); }, ResultBusy, ResultFailed},
        {"GetHcNextFileInfo", [] { return GetHcNextFileInfo(0, 0, &entry); }, ResultBusy, ResultFailed},
        {"AdPortAndRateAndMode", [] { return AdPortAndRateAndMode(nullptr, nullptr, nullptr); }, 1, 1},
        {"TestHcLink", [] { return TestHcLink(); }, ResultBusy, ResultFailed},
        {"ComInit", [] { return ComInit(1, 115200); }, 0, -1},
        {"ComRelease", [] { return ComRelease(); }, 0, 0},
        {"Send_Data", [] { return Send_Data("ab", 2); }, ResultBusy, ResultFailed},
        {"Receive_Data", [] { return Receive_Data(buffer, sizeof buffer, &received); }, ResultBusy,
         ResultFailed},
        {"SendCmd", [] { return SendCmd(80, 1, 0); }, ResultBusy, ResultFailed},
        {"Send_Byte", [] { return Send_Byte(0x41); }, 1, 0},
        {"Receive_Byte", [] { return Receive_Byte(&byte); }, 1, 1},
    };
    for (uint8_t mode : {uint8_t{3}, uint8_t{1}, uint8_t{2}}) {
        for (bool tf_worker : {true, false}) {
            for (const RefusedExport& e : exports) {
                SCOPED_TRACE(std::string(e.name) + " mode " + std::to_string(mode) +
                             (tf_worker ? " text-frame worker" : " byte-frame worker"));
                LinkMode = mode;
                ON_CALL(tf, WorkerRunning).WillByDefault(Return(tf_worker));
                ON_CALL(bf, WorkerRunning).WillByDefault(Return(!tf_worker));
                EXPECT_CALL(tf, DetectLink).Times(0);
                EXPECT_CALL(bf, DetectLink).Times(0);
                EXPECT_CALL(tf, ComInit).Times(0);
                EXPECT_CALL(bf, ComInit).Times(0);
                EXPECT_CALL(tf, ComRelease).Times(0);
                EXPECT_CALL(bf, ComRelease).Times(0);
                EXPECT_CALL(tf, SendData).Times(0);
                EXPECT_CALL(bf, SendData).Times(0);
                EXPECT_CALL(tf, ReceiveData).Times(0);
                EXPECT_CALL(bf, ReceiveData).Times(0);
                EXPECT_CALL(tf, SendCmd).Times(0);
                EXPECT_CALL(bf, SendCommandBlock).Times(0);
                EXPECT_CALL(bf, SendByte).Times(0);
                EXPECT_CALL(bf, ReceiveByte).Times(0);
                EXPECT_CALL(tf, GetHcNextFileInfo).Times(0);
                EXPECT_CALL(bf, GetHcNextFileInfo).Times(0);
                EXPECT_CALL(bf, SetError(ErrBusy, false)).Times(mode < 3 ? 1 : 0);
                std::strcpy(number, "untouched");
                EXPECT_EQ(e.call(), mode < 3 ? e.byte_frame : e.text_frame);
                EXPECT_STREQ(number, "untouched");
                ::testing::Mock::VerifyAndClearExpectations(&tf);
                ::testing::Mock::VerifyAndClearExpectations(&bf);
            }
        }
    }
}

}  // namespace
}  // namespace tarvix::testing
