// Recording stand-ins for the two families, so that the export layer's own rules (detection order,
// dispatch, record conversion) can be checked without a handheld.
#pragma once

#include <gmock/gmock.h>

#include "api/families.h"
#include "api/link_state.h"

namespace tarvix::testing {

class FakeTextFrame : public TextFrameFamily {
  public:
    MOCK_METHOD(int32_t, DetectLink, (int32_t*, int32_t*, uint8_t*), (override));
    MOCK_METHOD(int32_t, ComInit, (int32_t, int32_t), (override));
    MOCK_METHOD(void, ComRelease, (), (override));
    MOCK_METHOD(void, SetNoLinkError, (), (override));
    MOCK_METHOD(bool, WorkerRunning, (), (override));
    MOCK_METHOD(int32_t, TestHcLink, (), (override));
    MOCK_METHOD(int32_t, ThrdGetHcNum, (char*), (override));
    MOCK_METHOD(int32_t, SendData, (const uint8_t*, uint32_t), (override));
    MOCK_METHOD(int32_t, ReceiveData, (uint8_t*, uint32_t, int32_t*), (override));
    MOCK_METHOD(int32_t, SendCmd, (uint8_t, uint8_t), (override));
    MOCK_METHOD(int32_t, GetUpdateCount, (uint8_t), (override));
    MOCK_METHOD(int32_t, GetHcFileInfo, (const char*, HcFileRecord*), (override));
    MOCK_METHOD(int32_t, GetHcNextFileInfo, (HcFileRecord*), (override));
    MOCK_METHOD(int32_t, GetHcDirInfo, (const char*, const char*, int32_t*, int32_t*, int32_t), (override));
    MOCK_METHOD(int32_t, SendFileToHc, (const char*, const char*, int32_t), (override));
    MOCK_METHOD(int32_t, GetHcFile, (const char*, const char*, int32_t), (override));
    MOCK_METHOD(int32_t, DelHcFile, (const char*, int32_t), (override));
    MOCK_METHOD(int32_t, DelHcMif, (const char*, int32_t), (override));
    MOCK_METHOD(int32_t, HcMakeDir, (const char*), (override));
    MOCK_METHOD(int32_t, HcDelDir, (const char*), (override));
    MOCK_METHOD(int32_t, HcSetDir, (const char*), (override));
    MOCK_METHOD(int32_t, HcGetCurDir, (char*), (override));
    MOCK_METHOD(int32_t, ThrdSendFileToHc, (const char*, const char*, int32_t), (override));
    MOCK_METHOD(int32_t, ThrdGetHcFile, (const char*, const char*, int32_t), (override));
    MOCK_METHOD(int32_t, ThrdSendMifToHc, (const char*, int32_t), (override));
    MOCK_METHOD(int32_t, ThrdGetHcMif, (const char*, int32_t), (override));
    MOCK_METHOD(int32_t, HcRescue, (int32_t, int32_t, const char*), (override));
    MOCK_METHOD(int32_t, ThrdQueryStatus, (), (override));
    MOCK_METHOD(int32_t, ThrdQueryPercent, (), (override));
    MOCK_METHOD(int32_t, ThrdQueryPercentEx, (), (override));
    MOCK_METHOD(void, ThrdStop, (), (override));
    MOCK_METHOD(int32_t, GetLastErrCode, (), (override));
    MOCK_METHOD(int32_t, SetHcDateTime, (const HcDate*, const HcTime*), (override));
    MOCK_METHOD(int32_t, GetHcDateTime, (char*), (override));
    MOCK_METHOD(int32_t, GetHcSysInfo, (const char*, void*), (override));
    MOCK_METHOD(int32_t, HcShowInfo, (const char*), (override));
    MOCK_METHOD(int32_t, SendMsgToHc, (const char*), (override));
    MOCK_METHOD(int32_t, GetHcMsg, (const char*), (override));
    MOCK_METHOD(int32_t, GetErrorMsg, (uint32_t, char*), (override));
    MOCK_METHOD(void, ConvertLanguage, (), (override));
};

class FakeByteFrame : public ByteFrameFamily {
  public:
    MOCK_METHOD(int32_t, DetectLink, (int32_t*, int32_t*, uint8_t*), (override));
    MOCK_METHOD(void, SetError, (uint16_t, bool), (override));
    MOCK_METHOD(bool, WorkerRunning, (), (override));
    MOCK_METHOD(int32_t, ProbeLink, (int32_t, int32_t, char*), (override));
    MOCK_METHOD(int32_t, TestHcLink, (int32_t, int32_t), (override));
    MOCK_METHOD(int32_t, ReceiveByte, (uint8_t*), (override));
    MOCK_METHOD(int32_t, SendByte, (uint8_t), (override));
    MOCK_METHOD(int32_t, ComInit, (int32_t, int32_t), (override));
    MOCK_METHOD(int32_t, ComRelease, (), (override));
    MOCK_METHOD(int32_t, IsComInited, (), (override));
    MOCK_METHOD(int32_t, SendData, (const uint8_t*, uint32_t), (override));
    MOCK_METHOD(int32_t, ReceiveData, (uint8_t*, uint32_t, int32_t*), (override));
    MOCK_METHOD(int32_t, HcSetExitTime, (uint32_t, uint32_t), (override));
    MOCK_METHOD(int32_t, SendCommandBlock, (uint8_t, uint8_t, uint8_t), (override));
    MOCK_METHOD(int32_t, SendUsbCommand, (uint8_t, uint8_t, const uint8_t*, uint16_t), (override));
    MOCK_METHOD(int32_t, UpdateCount, (uint8_t), (override));
    MOCK_METHOD(int32_t, GetHcFileInfo, (int32_t, int32_t, const char*, HcFileEntry*), (override));
    MOCK_METHOD(int32_t, GetHcNextFileInfo, (int32_t, int32_t, HcFileEntry*), (override));
    MOCK_METHOD(int32_t, GetHcDirInfo,
                (int32_t, int32_t, const char*, const char*, int32_t*, int32_t*, int32_t), (override));
    MOCK_METHOD(int32_t, GetHcDirInfoEx,
                (int32_t, int32_t, const char*, const char*, int32_t*, int32_t*, int32_t), (override));
    MOCK_METHOD(int32_t, SendFileToHc, (int32_t, int32_t, const char*, const char*, int32_t, int32_t),
                (override));
    MOCK_METHOD(int32_t, GetHcFile, (int32_t, int32_t, const char*, const char*, int32_t), (override));
    MOCK_METHOD(int32_t, DelHcFile, (int32_t, int32_t, const char*, int32_t), (override));
    MOCK_METHOD(int32_t, DelHcMif, (int32_t, int32_t, const char*, int32_t), (override));
    MOCK_METHOD(int32_t, HcMakeDir, (int32_t, int32_t, const char*), (override));
    MOCK_METHOD(int32_t, HcDelDir, (int32_t, int32_t, const char*), (override));
    MOCK_METHOD(int32_t, HcSetDir, (int32_t, int32_t, const char*), (override));
    MOCK_METHOD(int32_t, HcGetCurDir, (int32_t, int32_t, char*), (override));
    MOCK_METHOD(int32_t, ThrdSendFileToHc, (int32_t, int32_t, const char*, const char*, int32_t, int32_t),
                (override));
    MOCK_METHOD(int32_t, ThrdGetHcFile, (int32_t, int32_t, const char*, const char*, int32_t), (override));
    MOCK_METHOD(int32_t, ThrdSendMifToHc, (int32_t, int32_t, const char*, int32_t, int32_t), (override));
    MOCK_METHOD(int32_t, ThrdGetHcMif, (int32_t, int32_t, const char*, int32_t), (override));
    MOCK_METHOD(int32_t, HcRescue, (int32_t, int32_t, const char*), (override));
    MOCK_METHOD(int32_t, ThrdQueryStatus, (), (override));
    MOCK_METHOD(char*, ThrdQueryCurFile, (), (override));
    MOCK_METHOD(int32_t, ThrdQueryPercent, (), (override));
    MOCK_METHOD(int32_t, ThrdQueryPercentEx, (), (override));
    MOCK_METHOD(int32_t, ThrdQueryStatusEx, (TransferStatus*), (override));
    MOCK_METHOD(int32_t, ThrdStop, (int32_t), (override));
    MOCK_METHOD(int32_t, ThrdQueryTime, (), (override));
    MOCK_METHOD(int32_t, GetLastErrCode, (), (override));
    MOCK_METHOD(int32_t, SetHcDateTime, (int32_t, int32_t, const HcDate*, const HcTime*), (override));
    MOCK_METHOD(int32_t, GetHcDateTime, (int32_t, int32_t, char*), (override));
    MOCK_METHOD(int32_t, GetHcSysInfo, (int32_t, int32_t, const char*, void*), (override));
    MOCK_METHOD(int32_t, HcShowInfo, (int32_t, int32_t, const char*), (override));
    MOCK_METHOD(int32_t, SendMsgToHc, (int32_t, int32_t, const uint8_t*, uint32_t), (override));
    MOCK_METHOD(int32_t, GetHcMsg, (int32_t, int32_t, const char*), (override));
    MOCK_METHOD(int32_t, GetMessUsb, (int32_t, int32_t, const char*), (override));
    MOCK_METHOD(int32_t, FormatHcDisk, (int32_t, int32_t), (override));
    MOCK_METHOD(int32_t, ResetHc, (int32_t, int32_t), (override));
    MOCK_METHOD(int32_t, GetErrorMsg, (uint32_t, char*), (override));
    MOCK_METHOD(void, ConvertLanguage, (), (override));
};

// Installs the fakes for one test and puts the link state back to its values at load.
class FamiliesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetLinkState();
        SetFamilies(&tf, &bf);
        ON_CALL(tf, DetectLink).WillByDefault(::testing::Return(1));
        ON_CALL(bf, DetectLink).WillByDefault(::testing::Return(1));
        ON_CALL(tf, ComInit).WillByDefault(::testing::Return(1));
        ON_CALL(tf, WorkerRunning).WillByDefault(::testing::Return(false));
        ON_CALL(bf, WorkerRunning).WillByDefault(::testing::Return(false));
    }
    void TearDown() override {
        SetFamilies(nullptr, nullptr);
        ResetLinkState();
    }

    // A detection that answers: writes the given port, rate and mode, as a family scan does.
    static auto Answers(int32_t port, int32_t rate, uint8_t mode) {
        return [=](int32_t* p, int32_t* r, uint8_t* m) {
            *p = port;
            *r = rate;
            *m = mode;
            return 0;
        };
    }

    ::testing::NiceMock<FakeTextFrame> tf;
    ::testing::NiceMock<FakeByteFrame> bf;
};

}  // namespace tarvix::testing
