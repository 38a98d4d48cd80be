// The byte-frame family's operations behind the export layer.
#pragma once

#include <chrono>

#include "api/families.h"

namespace tarvix::bf {

class ByteFrame final : public ByteFrameFamily {
  public:
    int32_t DetectLink(int32_t* port, int32_t* rate, uint8_t* mode) override;
    void SetError(uint16_t code, bool set_failed) override;
    bool WorkerRunning() override;
    int32_t ProbeLink(int32_t port, int32_t rate, char* number) override;
    int32_t TestHcLink(int32_t port, int32_t rate) override;
    int32_t ReceiveByte(uint8_t* byte) override;
    int32_t SendByte(uint8_t byte) override;
    int32_t ComInit(int32_t port, int32_t rate) override;
    int32_t ComRelease() override;
    int32_t IsComInited() override;
    int32_t SendData(const uint8_t* data, uint32_t length) override;
    int32_t ReceiveData(uint8_t* buffer, uint32_t size, int32_t* received) override;
    int32_t HcSetExitTime(uint32_t answer_ms, uint32_t byte_ms) override;
    int32_t SendCommandBlock(uint8_t command, uint8_t sub_command, uint8_t value) override;
    int32_t SendUsbCommand(uint8_t command, uint8_t sub_command, const uint8_t* data,
                           uint16_t length) override;
    int32_t UpdateCount(uint8_t reset) override;
    int32_t GetHcFileInfo(int32_t port, int32_t rate, const char* path, HcFileEntry* entry) override;
    int32_t GetHcNextFileInfo(int32_t port, int32_t rate, HcFileEntry* entry) override;
    int32_t GetHcDirInfo(int32_t port, int32_t rate, const char* pattern, const char* list_file,
                         int32_t* count, int32_t* total, int32_t names_only) override;
    int32_t GetHcDirInfoEx(int32_t port, int32_t rate, const char* pattern, const char* list_file,
                           int32_t* count, int32_t* total, int32_t names_only) override;
    int32_t SendFileToHc(int32_t port, int32_t rate, const char* hc_name, const char* pc_path,
                         int32_t reserved, int32_t overwrite) override;
    int32_t GetHcFile(int32_t port, int32_t rate, const char* hc_path, const char* pc_path,
                      int32_t overwrite) override;
    int32_t DelHcFile(int32_t port, int32_t rate, const char* hc_path, int32_t confirm) override;
    int32_t DelHcMif(int32_t port, int32_t rate, const char* hc_mif_path, int32_t confirm) override;
    int32_t HcMakeDir(int32_t port, int32_t rate, const char* folder) override;
    int32_t HcDelDir(int32_t port, int32_t rate, const char* folder) override;
    int32_t HcSetDir(int32_t port, int32_t rate, const char* folder) override;
    int32_t HcGetCurDir(int32_t port, int32_t rate, char* folder) override;
    int32_t ThrdSendFileToHc(int32_t port, int32_t rate, const char* hc_name, const char* pc_path,
                             int32_t reserved, int32_t overwrite) override;
    int32_t ThrdGetHcFile(int32_t port, int32_t rate, const char* hc_path, const char* pc_path,
                          int32_t overwrite) override;
    int32_t ThrdSendMifToHc(int32_t port, int32_t rate, const char* mif_path, int32_t reserved,
                            int32_t overwrite) override;
    int32_t ThrdGetHcMif(int32_t port, int32_t rate, const char* hc_mif_path, int32_t overwrite) override;
    int32_t HcRescue(int32_t port, int32_t rate, const char* pc_path) override;
    int32_t ThrdQueryStatus() override;
    char* ThrdQueryCurFile() override;
    int32_t ThrdQueryPercent() override;
    int32_t ThrdQueryPercentEx() override;
    int32_t ThrdQueryStatusEx(TransferStatus* out) override;
    int32_t ThrdStop(int32_t how) override;
    int32_t ThrdQueryTime() override;
    int32_t GetLastErrCode() override;
    int32_t SetHcDateTime(int32_t port, int32_t rate, const HcDate* date, const HcTime* time) override;
    int32_t GetHcDateTime(int32_t port, int32_t rate, char* clock_text) override;
    int32_t GetHcSysInfo(int32_t port, int32_t rate, const char* text_file, void* info) override;
    int32_t HcShowInfo(int32_t port, int32_t rate, const char* text) override;
    int32_t SendMsgToHc(int32_t port, int32_t rate, const uint8_t* message, uint32_t length) override;
    int32_t GetHcMsg(int32_t port, int32_t rate, const char* message_file) override;
    int32_t GetMessUsb(int32_t port, int32_t rate, const char* pc_path) override;
    int32_t FormatHcDisk(int32_t port, int32_t rate) override;
    int32_t ResetHc(int32_t port, int32_t rate) override;
    int32_t GetErrorMsg(uint32_t code, char* text) override;
    void ConvertLanguage() override;
};

// Process attach of the family (after the message table).
void Attach();
// Stops a running worker through the stop flag and waits for it, at most two seconds.
void Detach();
// The library's stop in steps (see tf::StopWorkers): ask a running worker to stop, wait for the workers
// until `deadline` (true when none runs besides the calling thread).
void StopWorkers();
bool WaitWorkers(std::chrono::steady_clock::time_point deadline);
// True on the thread of one of the family's workers (also inside a host callback it makes).
bool OnWorkerThread();

}  // namespace tarvix::bf
