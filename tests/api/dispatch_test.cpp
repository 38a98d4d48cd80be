// The export layer: which exports detect, which family operation they reach with which arguments,
// the record conversions (only on success), the fixed answers of mode 3, and that no exception
// leaves the library.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "api/link_state.h"
#include "common/codes.h"
#include "fake_families.h"
#include "tarvix.h"

namespace tarvix::testing {
namespace {

// Packed fields may be misaligned: compare copies, never references to them.
template <typename T>
T Val(T value) {
    return value;
}

using ::testing::_;
using ::testing::DoAll;
using ::testing::ElementsAreArray;
using ::testing::Invoke;
using ::testing::Return;
using ::testing::StrEq;

struct Named {
    const char* name;
    std::function<void()> call;
};

std::vector<Named> DetectingExports() {
    static char buffer[300];
    static HcFileEntry entry;
    static HcFileRecord record;
    static HcDate date;
    static HcTime time;
    static TransferStatus status;
    static int32_t count, total;
    (void)status;
    return {
        {"GetHcFileInfo", [] { GetHcFileInfo(0, 0, "*.*", &entry); }},
        {"GetHcDirInfo", [] { GetHcDirInfo(0, 0, "*.*", "list.txt", &count, &total, 0); }},
        {"SendFileToHc", [] { SendFileToHc(0, 0, "\\A", "a", 0, 1); }},
        {"GetHcFile", [] { GetHcFile(0, 0, "\\A", "a", 1); }},
        {"DelHcFile", [] { DelHcFile(0, 0, "\\A", 0); }},
        {"SetHcDateTime", [] { SetHcDateTime(0, 0, &date, &time); }},
        {"thrdSendFileToHc", [] { thrdSendFileToHc(0, 0, "\\A", "a", 0, 1); }},
        {"thrdGetHcFile", [] { thrdGetHcFile(0, 0, "\\A", "a", 1); }},
        {"GetHcSysInfo", [] { GetHcSysInfo(0, 0, "info.txt", buffer); }},
        {"HcShowInfo", [] { HcShowInfo(0, 0, "hello"); }},
        {"HcMakeDir", [] { HcMakeDir(0, 0, "\\D"); }},
        {"HcDelDir", [] { HcDelDir(0, 0, "\\D"); }},
        {"HcSetDir", [] { HcSetDir(0, 0, "\\D"); }},
        {"HcGetCurDir", [] { HcGetCurDir(0, 0, buffer); }},
        {"HcRescue", [] { HcRescue(0, 0, "dump"); }},
        {"thrdGetHcNum", [] { thrdGetHcNum(0, 0, buffer); }},
        {"thrdSendMifToHc", [] { thrdSendMifToHc(0, 0, "a.mif", 0, 1); }},
        {"thrdGetHcMif", [] { thrdGetHcMif(0, 0, "\\a.mif", 1); }},
        {"DelHcMif", [] { DelHcMif(0, 0, "\\a.mif", 0); }},
        {"GetHcDateTime", [] { GetHcDateTime(0, 0, buffer); }},
        {"FormatHcDisk", [] { FormatHcDisk(0, 0); }},
        {"ResetHc", [] { ResetHc(0, 0); }},
        {"GetMessUsb", [] { GetMessUsb(0, 0, "m.txt"); }},
        {"GetHcFileInfoEx", [] { GetHcFileInfoEx(0, 0, "*.*", &record); }},
        {"SendMsgToHc", [] { SendMsgToHc(0, 0, "m.txt"); }},
        {"GetHcMsg", [] { GetHcMsg(0, 0, "m.txt"); }},
        {"GetHcDirInfoEx", [] { GetHcDirInfoEx(0, 0, "*.*", "list.txt", &count, &total, 0); }},
    };
}

std::vector<Named> NonDetectingExports() {
    static uint8_t byte;
    static char buffer[300];
    static HcFileEntry entry;
    static HcFileRecord record;
    static TransferStatus status;
    static int32_t count;
    return {
        {"Receive_Byte", [] { Receive_Byte(&byte); }},
        {"Send_Byte", [] { Send_Byte(1); }},
        {"ComInit", [] { ComInit(1, 115200); }},
        {"ComRelease", [] { ComRelease(); }},
        {"IsComInited", [] { IsComInited(); }},
        {"Send_Data", [] { Send_Data("ab", 2); }},
        {"Receive_Data", [] { Receive_Data(buffer, 10, &count); }},
        {"HcSetExitTime", [] { HcSetExitTime(10, 10); }},
        {"SendCmd", [] { SendCmd(15, 0, 0); }},
        {"SendCmdUsb", [] { SendCmdUsb(15, 0, nullptr, 0); }},
        {"Get_Update_Count", [] { Get_Update_Count(0); }},
        {"TestHcLink", [] { TestHcLink(); }},
        {"GetHcNextFileInfo", [] { GetHcNextFileInfo(0, 0, &entry); }},
        {"GetHcNextFileInfoEx", [] { GetHcNextFileInfoEx(0, 0, &record); }},
        {"thrdQueryStatus", [] { thrdQueryStatus(); }},
        {"thrdQueryCurFile", [] { thrdQueryCurFile(); }},
        {"thrdQueryPercent", [] { thrdQueryPercent(); }},
        {"thrdQueryPercent_Ex", [] { thrdQueryPercent_Ex(); }},
        {"thrdQueryStatusEx", [] { thrdQueryStatusEx(&status); }},
        {"thrdStop", [] { thrdStop(0); }},
        {"thrdQueryTime", [] { thrdQueryTime(); }},
        {"GetErrorMsg", [] { GetErrorMsg(0, buffer); }},
        {"GetLastErrCode", [] { GetLastErrCode(); }},
        {"ConvertLanguage", [] { ConvertLanguage(); }},
    };
}

TEST_F(FamiliesTest, ExactlyTheDetectingExportsScanBothFamilies) {
    EXPECT_EQ(DetectingExports().size(), 27u);
    for (uint8_t mode : {uint8_t{3}, uint8_t{2}}) {
        for (const Named& e : DetectingExports()) {
            LinkMode = mode;
            EXPECT_CALL(tf, DetectLink).Times(1);
            EXPECT_CALL(bf, DetectLink).Times(1);
            e.call();
            EXPECT_TRUE(::testing::Mock::VerifyAndClearExpectations(&tf)) << e.name << " mode " << int(mode);
            EXPECT_TRUE(::testing::Mock::VerifyAndClearExpectations(&bf)) << e.name << " mode " << int(mode);
            ON_CALL(tf, DetectLink).WillByDefault(Return(1));
            ON_CALL(bf, DetectLink).WillByDefault(Return(1));
        }
        for (const Named& e : NonDetectingExports()) {
            LinkMode = mode;
            EXPECT_CALL(tf, DetectLink).Times(0);
            EXPECT_CALL(bf, DetectLink).Times(0);
            e.call();
            EXPECT_TRUE(::testing::Mock::VerifyAndClearExpectations(&tf)) << e.name;
            EXPECT_TRUE(::testing::Mock::VerifyAndClearExpectations(&bf)) << e.name;
        }
    }
}

class DispatchTest : public FamiliesTest {
  protected:
    // A handheld that answers in the given mode; byte-frame on port 3 at 38400.
    void Attached(uint8_t mode) {
        LinkMode = mode;
        if (mode < 3) {
            ON_CALL(bf, DetectLink).WillByDefault(Invoke(Answers(3, 38400, mode)));
        } else {
            ON_CALL(tf, DetectLink).WillByDefault(Invoke(Answers(2, 57600, 3)));
        }
    }
};

TEST_F(DispatchTest, ByteFrameOperationsGetTheDetectedPortAndRateNotTheCallers) {
    Attached(1);
    int32_t count = 0, total = 0;
    EXPECT_CALL(bf, SendFileToHc(3, 38400, StrEq("\\KELVANHB\\A.DBF"), StrEq(".\\A.DBF"), 9, 1))
        .WillOnce(Return(0));
    EXPECT_EQ(SendFileToHc(0, 0, "\\KELVANHB\\A.DBF", ".\\A.DBF", 9, 1), 0);
    EXPECT_CALL(bf, GetHcFile(3, 38400, StrEq("\\H"), StrEq("p"), 4)).WillOnce(Return(1));
    EXPECT_EQ(GetHcFile(77, 88, "\\H", "p", 4), 1);
    EXPECT_CALL(bf, GetHcDirInfoEx(3, 38400, StrEq("*.*"), StrEq("l"), &count, &total, 1))
        .WillOnce(Return(0));
    EXPECT_EQ(GetHcDirInfoEx(0, 0, "*.*", "l", &count, &total, 1), 0);
    EXPECT_CALL(bf, ThrdSendMifToHc(3, 38400, StrEq("m.mif"), 5, 2)).WillOnce(Return(2));
    EXPECT_EQ(thrdSendMifToHc(0, 0, "m.mif", 5, 2), 2);
    EXPECT_CALL(bf, TestHcLink(3, 38400)).WillOnce(Return(0));
    EXPECT_EQ(HcMakeDir(0, 0, "\\D"), 0);  // detection leaves LinkPort 3
    EXPECT_EQ(TestHcLink(), 0);
    EXPECT_CALL(bf, ProbeLink(3, 38400, _)).WillOnce(Return(2));
    char number[16];
    EXPECT_EQ(thrdGetHcNum(1, 2, number), 2);
}

TEST_F(DispatchTest, TextFrameOperationsLeaveOutPortRateAndReserved) {
    Attached(3);
    EXPECT_CALL(tf, SendFileToHc(StrEq("\\A"), StrEq("a"), 7)).WillOnce(Return(0));
    EXPECT_EQ(SendFileToHc(0, 0, "\\A", "a", 99, 7), 0);
    EXPECT_CALL(tf, ThrdSendMifToHc(StrEq("m"), 3)).WillOnce(Return(3));
    EXPECT_EQ(thrdSendMifToHc(0, 0, "m", 99, 3), 3);
    int32_t count, total;
    EXPECT_CALL(tf, GetHcDirInfo(StrEq("*"), StrEq("l"), &count, &total, 0))
        .Times(2)
        .WillRepeatedly(Return(0));
    EXPECT_EQ(GetHcDirInfo(0, 0, "*", "l", &count, &total, 0), 0);
    EXPECT_EQ(GetHcDirInfoEx(0, 0, "*", "l", &count, &total, 0), 0);
}

TEST_F(DispatchTest, TextFrameRescueRunsOnlyOnKind4) {
    Attached(3);
    DeviceKind = 3;
    EXPECT_CALL(tf, HcRescue).Times(0);
    EXPECT_EQ(HcRescue(0, 0, "dump"), 0);
    DeviceKind = 4;
    EXPECT_CALL(tf, HcRescue(2, 57600, StrEq("dump"))).WillOnce(Return(0));
    EXPECT_EQ(HcRescue(0, 0, "dump"), 0);
}

TEST_F(DispatchTest, ModeThreeFixedAnswers) {
    Attached(3);
    uint8_t byte = 0x5A;
    EXPECT_EQ(Receive_Byte(&byte), 1);  // no byte: a caller reading until 1 stops
    EXPECT_EQ(byte, 0x5A);
    EXPECT_EQ(Send_Byte(7), 1);
    EXPECT_EQ(IsComInited(), 1);
    EXPECT_EQ(HcSetExitTime(1, 1), 0);
    EXPECT_EQ(SendCmdUsb(1, 2, "x", 1), 0);
    EXPECT_EQ(thrdQueryCurFile(), nullptr);
    TransferStatus status;
    std::memset(&status, 0xAB, sizeof status);
    EXPECT_EQ(thrdQueryStatusEx(&status), 0);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(&status)[100], 0xAB);
    EXPECT_EQ(thrdQueryTime(), 0);
    EXPECT_CALL(tf, ComRelease()).Times(1);
    EXPECT_EQ(ComRelease(), 1);
    EXPECT_CALL(tf, ThrdStop()).Times(1);
    EXPECT_EQ(thrdStop(5), 0);
    // Format, reset and the USB message file mean nothing to a text-frame handheld, after detecting.
    EXPECT_EQ(FormatHcDisk(0, 0), 0);
    EXPECT_EQ(ResetHc(0, 0), 0);
    EXPECT_EQ(GetMessUsb(0, 0, "x"), 0);
    ON_CALL(tf, DetectLink).WillByDefault(Return(1));
    EXPECT_EQ(FormatHcDisk(0, 0), 1);
}

TEST_F(DispatchTest, NarrowArgumentsAreReadFromTheirLowBits) {
    Attached(3);
    EXPECT_CALL(tf, GetUpdateCount(1)).WillOnce(Return(0));
    EXPECT_EQ(Get_Update_Count(257), 0);
    EXPECT_CALL(tf, SendCmd(0x0F, 0x02)).WillOnce(Return(0));
    EXPECT_EQ(SendCmd(0x10F, 0x302, 9), 0);
    LinkMode = 1;
    EXPECT_CALL(bf, SendCommandBlock(0x50, 0x01, 0xFF)).WillOnce(Return(0));
    EXPECT_EQ(SendCmd(0x150, 0x201, 0x1FF), 0);
    EXPECT_CALL(bf, ComInit(2, 9600)).WillOnce(Return(5));
    EXPECT_EQ(ComInit(0x70002, 9600), 5);
}

TEST_F(DispatchTest, StatusComesBackUnsigned) {
    LinkMode = 1;
    ON_CALL(bf, ThrdQueryStatus).WillByDefault(Return(static_cast<int32_t>(static_cast<int16_t>(0x8000))));
    EXPECT_EQ(thrdQueryStatus(), 32768);
    ON_CALL(bf, GetLastErrCode).WillByDefault(Return(512));
    EXPECT_EQ(GetLastErrCode(), 512);
}

TEST_F(DispatchTest, TextFrameRecordBecomesAnEntryOnlyOnSuccess) {
    Attached(3);
    HcFileRecord from{};
    std::strcpy(from.name, "ABCDEFGHIJKLMNOPQRST");  // 20 characters
    from.size = 123456;
    from.date = 0x5A21;
    from.time = 0x6B42;
    from.kind = 1;
    EXPECT_CALL(tf, GetHcFileInfo(StrEq("*.DBF"), _))
        .WillOnce(DoAll(::testing::SetArgPointee<1>(from), Return(0)))
        .WillOnce(DoAll(::testing::SetArgPointee<1>(from), Return(2)));
    HcFileEntry entry;
    std::memset(&entry, 0xEE, sizeof entry);
    EXPECT_EQ(GetHcFileInfo(0, 0, "*.DBF", &entry), 0);
    EXPECT_EQ(std::string(entry.name), "ABCDEFGHIJKL");
    EXPECT_EQ(entry.name[12], '\0');
    EXPECT_EQ(Val(entry.size), 123456);
    EXPECT_EQ(Val(entry.date), 0x5A21);
    EXPECT_EQ(Val(entry.time), 0x6B42);
    EXPECT_EQ(Val(entry.kind), 1);

    HcFileEntry untouched;
    std::memset(&untouched, 0xEE, sizeof untouched);
    EXPECT_EQ(GetHcFileInfo(0, 0, "*.DBF", &untouched), 2);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(&untouched)[0], 0xEE);

    HcFileRecord next;
    std::strcpy(from.name, "AB");
    EXPECT_CALL(tf, GetHcNextFileInfo(_)).WillOnce(DoAll(::testing::SetArgPointee<0>(from), Return(0)));
    EXPECT_EQ(GetHcNextFileInfo(0, 0, &entry), 0);
    EXPECT_EQ(std::string(entry.name, 13), std::string("AB\0\0\0\0\0\0\0\0\0\0\0", 13));
    // The Ex forms hand the family the caller's own record.
    EXPECT_CALL(tf, GetHcNextFileInfo(&next)).WillOnce(Return(2));
    EXPECT_EQ(GetHcNextFileInfoEx(0, 0, &next), 2);
}

TEST_F(DispatchTest, ByteFrameEntryBecomesARecordOnlyOnSuccess) {
    Attached(2);
    HcFileEntry from{};
    std::memcpy(from.name, "A.DBF\0garbage", 13);
    from.size = 99;
    from.date = 0x1234;
    from.kind = 3;
    EXPECT_CALL(bf, GetHcFileInfo(3, 38400, StrEq("\\*.*"), _))
        .WillOnce(DoAll(::testing::SetArgPointee<3>(from), Return(0)))
        .WillOnce(Return(1));
    HcFileRecord record;
    std::memset(&record, 0xEE, sizeof record);
    EXPECT_EQ(GetHcFileInfoEx(0, 0, "\\*.*", &record), 0);
    std::vector<char> expected_name(32, '\0');
    std::memcpy(expected_name.data(), "A.DBF", 5);
    EXPECT_THAT(std::vector<char>(record.name, record.name + 32), ElementsAreArray(expected_name));
    EXPECT_EQ(Val(record.size), 99u);
    EXPECT_EQ(Val(record.date), 0x1234);
    EXPECT_EQ(Val(record.time), 0);
    EXPECT_EQ(Val(record.kind), 3);
    HcFileRecord untouched;
    std::memset(&untouched, 0xEE, sizeof untouched);
    EXPECT_EQ(GetHcFileInfoEx(0, 0, "\\*.*", &untouched), 1);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(&untouched)[40], 0xEE);

    EXPECT_CALL(bf, GetHcNextFileInfo(3, 38400, _))
        .WillOnce(DoAll(::testing::SetArgPointee<2>(from), Return(0)));
    EXPECT_EQ(GetHcNextFileInfoEx(0, 0, &record), 0);
    EXPECT_STREQ(record.name, "A.DBF");
}

TEST_F(DispatchTest, ByteFrameMessageFileIsReadAs48Bytes) {
    Attached(1);
    const std::string path = ::testing::TempDir() + "msg10.txt";
    {
        FILE* f = std::fopen(path.c_str(), "wb");
        std::fwrite("0123456789", 1, 10, f);
        std::fclose(f);
    }
    std::vector<uint8_t> expected(48, 0);
    std::memcpy(expected.data(), "0123456789", 10);
    EXPECT_CALL(bf, SendMsgToHc(3, 38400, _, 48))
        .WillOnce(Invoke([&](int32_t, int32_t, const uint8_t* message, uint32_t length) {
            EXPECT_EQ(std::vector<uint8_t>(message, message + length), expected);
            return 0;
        }));
    EXPECT_EQ(SendMsgToHc(0, 0, path.c_str()), 0);

    EXPECT_CALL(bf, SendMsgToHc).Times(0);
    EXPECT_CALL(bf, SetError(ErrBadParam, false));
    EXPECT_EQ(SendMsgToHc(0, 0, ""), 1);
    EXPECT_CALL(bf, SetError(ErrCreateFile, false));
    EXPECT_EQ(SendMsgToHc(0, 0, (path + ".missing").c_str()), 1);
}

TEST_F(DispatchTest, MessagesDispatchAndReloadByteFrameFirst) {
    LinkMode = 3;
    char text[50] = "x";
    EXPECT_CALL(tf, GetErrorMsg(0xFFFFu, text)).WillOnce(Return(1));
    EXPECT_EQ(GetErrorMsg(0xFFFF, text), 1);
    LinkMode = 2;
    EXPECT_CALL(bf, GetErrorMsg(0xFFFFFFFFu, text)).WillOnce(Return(0));
    EXPECT_EQ(GetErrorMsg(-1, text), 0);
    ::testing::InSequence order;
    EXPECT_CALL(bf, ConvertLanguage());
    EXPECT_CALL(tf, ConvertLanguage());
    ConvertLanguage();
}

TEST_F(DispatchTest, NoExceptionLeavesTheLibrary) {
    Attached(3);
    EXPECT_CALL(tf, SendFileToHc).WillOnce(Invoke([](const char*, const char*, int32_t) -> int32_t {
        throw std::runtime_error("boom");
    }));
    EXPECT_EQ(SendFileToHc(0, 0, "\\A", "a", 0, 1), ResultFailed);
    ON_CALL(tf, DetectLink).WillByDefault(Invoke([](int32_t*, int32_t*, uint8_t*) -> int32_t {
        throw std::bad_alloc();
    }));
    EXPECT_EQ(AdPortAndRateAndMode(nullptr, nullptr, nullptr), ResultFailed);
}

}  // namespace
}  // namespace tarvix::testing
