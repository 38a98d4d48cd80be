// The two protocol families as the export layer sees them.  The export layer holds no protocol logic:
// it runs the detection, dispatches on LinkMode and converts file records; everything else is one of
// these operations.  Tests replace a family with a recording fake through SetFamilies.
#pragma once

#include <cstdint>

#include "tarvix.h"

namespace tarvix {

// Text-frame family (LinkMode 3).  Operations return the results of the whole library unless noted.
class TextFrameFamily {
  public:
    virtual ~TextFrameFamily() = default;

    // Detection and link.
    virtual int32_t DetectLink(int32_t* port, int32_t* rate, uint8_t* mode) = 0;  // 0 found, 1 none
    virtual int32_t ComInit(int32_t port, int32_t rate) = 0;                      // 1 open, 0 failed
    virtual void ComRelease() = 0;
    virtual void SetNoLinkError() = 0;
    virtual bool WorkerRunning() = 0;
    virtual int32_t TestHcLink() = 0;  // 0 answered, 1 no answer, 2 no open link
    virtual int32_t ThrdGetHcNum(char* number) = 0;

    // Raw input and output.
    virtual int32_t SendData(const uint8_t* data, uint32_t length) = 0;                  // 0 / 1
    virtual int32_t ReceiveData(uint8_t* buffer, uint32_t size, int32_t* received) = 0;  // always 0
    virtual int32_t SendCmd(uint8_t command, uint8_t sub_command) = 0;                   // 0 / 1
    virtual int32_t GetUpdateCount(uint8_t reset) = 0;

    // Files and folders.
    virtual int32_t GetHcFileInfo(const char* path, HcFileRecord* record) = 0;
    virtual int32_t GetHcNextFileInfo(HcFileRecord* record) = 0;
    virtual int32_t GetHcDirInfo(const char* pattern, const char* list_file, int32_t* count, int32_t* total,
                                 int32_t names_only) = 0;
    virtual int32_t SendFileToHc(const char* hc_name, const char* pc_path, int32_t overwrite) = 0;
    virtual int32_t GetHcFile(const char* hc_path, const char* pc_path, int32_t overwrite) = 0;
    virtual int32_t DelHcFile(const char* hc_path, int32_t confirm) = 0;
    virtual int32_t DelHcMif(const char* hc_mif_path, int32_t confirm) = 0;
    virtual int32_t HcMakeDir(const char* folder) = 0;
    virtual int32_t HcDelDir(const char* folder) = 0;
    virtual int32_t HcSetDir(const char* folder) = 0;
    virtual int32_t HcGetCurDir(char* folder) = 0;

    // Background work and its queries.
    virtual int32_t ThrdSendFileToHc(const char* hc_name, const char* pc_path, int32_t overwrite) = 0;
    virtual int32_t ThrdGetHcFile(const char* hc_path, const char* pc_path, int32_t overwrite) = 0;
    virtual int32_t ThrdSendMifToHc(const char* mif_path, int32_t overwrite) = 0;
    virtual int32_t ThrdGetHcMif(const char* hc_mif_path, int32_t overwrite) = 0;
    virtual int32_t HcRescue(int32_t port, int32_t rate, const char* pc_path) = 0;
    virtual int32_t ThrdQueryStatus() = 0;
    virtual int32_t ThrdQueryPercent() = 0;
    virtual int32_t ThrdQueryPercentEx() = 0;
    virtual void ThrdStop() = 0;
    virtual int32_t GetLastErrCode() = 0;

    // Handheld system functions.
    virtual int32_t SetHcDateTime(const HcDate* date, const HcTime* time) = 0;
    virtual int32_t GetHcDateTime(char* clock_text) = 0;
    virtual int32_t GetHcSysInfo(const char* text_file, void* info) = 0;
    virtual int32_t HcShowInfo(const char* text) = 0;
    virtual int32_t SendMsgToHc(const char* message_file) = 0;
    virtual int32_t GetHcMsg(const char* message_file) = 0;

    // Message table.
    virtual int32_t GetErrorMsg(uint32_t code, char* text) = 0;  // 0 copied, 1 no text
    virtual void ConvertLanguage() = 0;
};

// Byte-frame family (LinkMode 1 and 2).  Port and rate are LinkPort and LinkRate.
class ByteFrameFamily {
  public:
    virtual ~ByteFrameFamily() = default;

    // Detection and link.
    virtual int32_t DetectLink(int32_t* port, int32_t* rate, uint8_t* mode) = 0;  // 0 found, 1 none
    virtual void SetError(uint16_t code, bool set_failed) = 0;
    virtual bool WorkerRunning() = 0;
    virtual int32_t ProbeLink(int32_t port, int32_t rate,
                              char* number) = 0;  // 0 read, 1 no port, 2 no answer
    virtual int32_t TestHcLink(int32_t port, int32_t rate) = 0;

    // Raw input and output.
    virtual int32_t ReceiveByte(uint8_t* byte) = 0;  // 0 stored, 1 none
    virtual int32_t SendByte(uint8_t byte) = 0;      // 1 written, 0 failed
    virtual int32_t ComInit(int32_t port, int32_t rate) = 0;
    virtual int32_t ComRelease() = 0;
    virtual int32_t IsComInited() = 0;
    virtual int32_t SendData(const uint8_t* data, uint32_t length) = 0;
    virtual int32_t ReceiveData(uint8_t* buffer, uint32_t size, int32_t* received) = 0;
    virtual int32_t HcSetExitTime(uint32_t answer_ms, uint32_t byte_ms) = 0;
    virtual int32_t SendCommandBlock(uint8_t command, uint8_t sub_command, uint8_t value) = 0;
    virtual int32_t SendUsbCommand(uint8_t command, uint8_t sub_command, const uint8_t* data,
                                   uint16_t length) = 0;
    virtual int32_t UpdateCount(uint8_t reset) = 0;

    // Files and folders.
    virtual int32_t GetHcFileInfo(int32_t port, int32_t rate, const char* path, HcFileEntry* entry) = 0;
    virtual int32_t GetHcNextFileInfo(int32_t port, int32_t rate, HcFileEntry* entry) = 0;
    virtual int32_t GetHcDirInfo(int32_t port, int32_t rate, const char* pattern, const char* list_file,
                                 int32_t* count, int32_t* total, int32_t names_only) = 0;
    virtual int32_t GetHcDirInfoEx(int32_t port, int32_t rate, const char* pattern, const char* list_file,
                                   int32_t* count, int32_t* total, int32_t names_only) = 0;
    virtual int32_t SendFileToHc(int32_t port, int32_t rate, const char* hc_name, const char* pc_path,
                                 int32_t reserved, int32_t overwrite) = 0;
    virtual int32_t GetHcFile(int32_t port, int32_t rate, const char* hc_path, const char* pc_path,
                              int32_t overwrite) = 0;
    virtual int32_t DelHcFile(int32_t port, int32_t rate, const char* hc_path, int32_t confirm) = 0;
    virtual int32_t DelHcMif(int32_t port, int32_t rate, const char* hc_mif_path, int32_t confirm) = 0;
    virtual int32_t HcMakeDir(int32_t port, int32_t rate, const char* folder) = 0;
    virtual int32_t HcDelDir(int32_t port, int32_t rate, const char* folder) = 0;
    virtual int32_t HcSetDir(int32_t port, int32_t rate, const char* folder) = 0;
    virtual int32_t HcGetCurDir(int32_t port, int32_t rate, char* folder) = 0;

    // Background work and its queries.
    virtual int32_t ThrdSendFileToHc(int32_t port, int32_t rate, const char* hc_name, const char* pc_path,
                                     int32_t reserved, int32_t overwrite) = 0;
    virtual int32_t ThrdGetHcFile(int32_t port, int32_t rate, const char* hc_path, const char* pc_path,
                                  int32_t overwrite) = 0;
    virtual int32_t ThrdSendMifToHc(int32_t port, int32_t rate, const char* mif_path, int32_t reserved,
                                    int32_t overwrite) = 0;
    virtual int32_t ThrdGetHcMif(int32_t port, int32_t rate, const char* hc_mif_path, int32_t overwrite) = 0;
    virtual int32_t HcRescue(int32_t port, int32_t rate, const char* pc_path) = 0;
    virtual int32_t ThrdQueryStatus() = 0;
    virtual char* ThrdQueryCurFile() = 0;
    virtual int32_t ThrdQueryPercent() = 0;
    virtual int32_t ThrdQueryPercentEx() = 0;
    virtual int32_t ThrdQueryStatusEx(TransferStatus* out) = 0;
    virtual int32_t ThrdStop(int32_t how) = 0;
    virtual int32_t ThrdQueryTime() = 0;
    virtual int32_t GetLastErrCode() = 0;

    // Handheld system functions.
    virtual int32_t SetHcDateTime(int32_t port, int32_t rate, const HcDate* date, const HcTime* time) = 0;
    virtual int32_t GetHcDateTime(int32_t port, int32_t rate, char* clock_text) = 0;
    virtual int32_t GetHcSysInfo(int32_t port, int32_t rate, const char* text_file, void* info) = 0;
    virtual int32_t HcShowInfo(int32_t port, int32_t rate, const char* text) = 0;
    virtual int32_t SendMsgToHc(int32_t port, int32_t rate, const uint8_t* message, uint32_t length) = 0;
    virtual int32_t GetHcMsg(int32_t port, int32_t rate, const char* message_file) = 0;
    virtual int32_t GetMessUsb(int32_t port, int32_t rate, const char* pc_path) = 0;
    virtual int32_t FormatHcDisk(int32_t port, int32_t rate) = 0;
    virtual int32_t ResetHc(int32_t port, int32_t rate) = 0;

    // Message table.
    virtual int32_t GetErrorMsg(uint32_t code, char* text) = 0;  // always 0
    virtual void ConvertLanguage() = 0;
};

// The families in use: the library's own unless a test installed others.
TextFrameFamily& Tf();
ByteFrameFamily& Bf();
// Installs families (nullptr restores the library's own).
void SetFamilies(TextFrameFamily* tf, ByteFrameFamily* bf);

}  // namespace tarvix
