// The text-frame family's operations behind the export layer.
#pragma once

#include <chrono>

#include "api/families.h"

namespace tarvix::tf {

class TextFrame final : public TextFrameFamily {
  public:
    int32_t DetectLink(int32_t* port, int32_t* rate, uint8_t* mode) override;
    int32_t ComInit(int32_t port, int32_t rate) override;
    void ComRelease() override;
    void SetNoLinkError() override;
    bool WorkerRunning() override;
    int32_t TestHcLink() override;
    int32_t ThrdGetHcNum(char* number) override;
    int32_t SendData(const uint8_t* data, uint32_t length) override;
    int32_t ReceiveData(uint8_t* buffer, uint32_t size, int32_t* received) override;
    int32_t SendCmd(uint8_t command, uint8_t sub_command) override;
    int32_t GetUpdateCount(uint8_t reset) override;
    int32_t GetHcFileInfo(const char* path, HcFileRecord* record) override;
    int32_t GetHcNextFileInfo(HcFileRecord* record) override;
    int32_t GetHcDirInfo(const char* pattern, const char* list_file, int32_t* count, int32_t* total,
                         int32_t names_only) override;
    int32_t SendFileToHc(const char* hc_name, const char* pc_path, int32_t overwrite) override;
    int32_t GetHcFile(const char* hc_path, const char* pc_path, int32_t overwrite) override;
    int32_t DelHcFile(const char* hc_path, int32_t confirm) override;
    int32_t DelHcMif(const char* hc_mif_path, int32_t confirm) override;
    int32_t HcMakeDir(const char* folder) override;
    int32_t HcDelDir(const char* folder) override;
    int32_t HcSetDir(const char* folder) override;
    int32_t HcGetCurDir(char* folder) override;
    int32_t ThrdSendFileToHc(const char* hc_name, const char* pc_path, int32_t overwrite) override;
    int32_t ThrdGetHcFile(const char* hc_path, const char* pc_path, int32_t overwrite) override;
    int32_t ThrdSendMifToHc(const char* mif_path, int32_t overwrite) override;
    int32_t ThrdGetHcMif(const char* hc_mif_path, int32_t overwrite) override;
    int32_t HcRescue(int32_t port, int32_t rate, const char* pc_path) override;
    int32_t ThrdQueryStatus() override;
    int32_t ThrdQueryPercent() override;
    int32_t ThrdQueryPercentEx() override;
    void ThrdStop() override;
    int32_t GetLastErrCode() override;
    int32_t SetHcDateTime(const HcDate* date, const HcTime* time) override;
    int32_t GetHcDateTime(char* clock_text) override;
    int32_t GetHcSysInfo(const char* text_file, void* info) override;
    int32_t HcShowInfo(const char* text) override;
    int32_t SendMsgToHc(const char* message_file) override;
    int32_t GetHcMsg(const char* message_file) override;
    int32_t GetErrorMsg(uint32_t code, char* text) override;
    void ConvertLanguage() override;
};

// Process attach of the family (after the message table: frame buffer, USB, settings).
void Attach();
// Process detach, in three steps so that the library's stop can bound the wait across both families:
// ask a running worker to stop; wait for the workers (true when none runs besides the calling thread);
// release what the family holds, called only when no worker runs.
void StopWorkers();
bool WaitWorkers(std::chrono::steady_clock::time_point deadline);
// True on the thread of one of the family's workers (also inside a host callback it makes).
bool OnWorkerThread();
void Release();

}  // namespace tarvix::tf
