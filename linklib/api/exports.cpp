// The library's 55 exported functions.  Each runs the detection where it must, dispatches on
// LinkMode to the family operation and converts file records; no exception ever leaves it.
#include <atomic>
#include <cstring>
#include <exception>

#include "api/convert.h"
#include "api/families.h"
#include "api/link_state.h"
#include "common/codes.h"
#include "platform/files.h"
#include "platform/instance.h"
#include "platform/prompt.h"
#include "tarvix.h"

#define TARVIX_EXPORT extern "C" __attribute__((visibility("default")))

namespace tarvix {
namespace {

template <typename F>
auto Guarded(F&& body, decltype(body()) on_error) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (...) {
        return on_error;
    }
}

template <typename F>
int32_t Guarded(F&& body) noexcept {
    return Guarded(std::forward<F>(body), static_cast<int32_t>(ResultFailed));
}

bool ByteFrame() {
    return IsByteFrameMode(LinkMode);
}

// The link-wide claim: one operation at a time holds the link, whatever thread called it.  A caller
// takes it for the length of its export; a background start hands the link on to its worker, whose
// own flag (BackgroundWorkRuns) keeps others out until it ends.  A refused call never touches the port.
std::atomic<bool> g_link_claimed{false};

class LinkClaim {
  public:
    LinkClaim() {
        bool expected = false;
        if (!g_link_claimed.compare_exchange_strong(expected, true)) return;
        // Tested after the claim: a worker started by the previous holder is seen here.
        if (BackgroundWorkRuns()) {
            g_link_claimed.store(false);
            return;
        }
        held_ = true;
    }
    ~LinkClaim() {
        if (held_) g_link_claimed.store(false);
    }
    LinkClaim(const LinkClaim&) = delete;
    LinkClaim& operator=(const LinkClaim&) = delete;
    bool held() const { return held_; }

  private:
    bool held_ = false;
};

// Runs `operation` while holding the link.  Refused: the text-frame family answers `tf_refusal`; the
// byte-frame family stores ErrBusy and answers `bf_refusal` (its results know no busy value).
template <typename F>
int32_t OnLink(F&& operation, int32_t tf_refusal = ResultBusy, int32_t bf_refusal = ResultFailed) {
    LinkClaim claim;
    if (!claim.held()) {
        if (!ByteFrame()) return tf_refusal;
        Bf().SetError(ErrBusy, false);
        return bf_refusal;
    }
    return operation();
}

// The detecting rule: every handheld operation first finds the link, holding it from the detection
// to the operation's end, so no other thread probes or uses the port in between.
template <typename F>
int32_t Detecting(bool background, F&& operation) noexcept {
    return Guarded([&]() -> int32_t {
        return OnLink([&]() -> int32_t {
            if (DetectHandheld(nullptr, nullptr, nullptr) != 0) {
                if (ByteFrame()) {
                    Bf().SetError(ErrNoLink, background);
                } else {
                    Tf().SetNoLinkError();
                }
                return ResultFailed;
            }
            return operation();
        });
    });
}

}  // namespace
}  // namespace tarvix

using namespace tarvix;

// ---- Link and raw input and output -----------------------------------------------------------

TARVIX_EXPORT int32_t Receive_Byte(uint8_t* byte) {
    return Guarded(
        [&]() -> int32_t {
            // Mode 3 has no single-byte reads: report "no byte" so that a caller reading until 1 stops.
            if (!ByteFrame()) return 1;
            if (byte == nullptr) return 1;
            return OnLink([&] { return Bf().ReceiveByte(byte) & 0xFFFF; }, 1, 1);
        },
        1);
}

TARVIX_EXPORT int32_t Send_Byte(int32_t byte) {
    return Guarded(
        [&]() -> int32_t {
            if (!ByteFrame()) return 1;
            return OnLink([&] { return Bf().SendByte(static_cast<uint8_t>(byte)) & 0xFFFF; }, 0, 0);
        },
        0);
}

TARVIX_EXPORT int32_t ComInit(int32_t port, int32_t baud_rate) {
    return Guarded(
        [&]() -> int32_t {
            const int32_t low_port = port & 0xFFFF;
            return OnLink(
                [&] {
                    return ByteFrame() ? Bf().ComInit(low_port, baud_rate)
                                       : Tf().ComInit(low_port, baud_rate);
                },
                0, -1);
        },
        ByteFrame() ? -1 : 0);
}

TARVIX_EXPORT int32_t ComRelease(void) {
    return Guarded(
        [&]() -> int32_t {
            return OnLink(
                [&]() -> int32_t {
                    if (ByteFrame()) return Bf().ComRelease() & 0xFF;
                    Tf().ComRelease();
                    return 1;
                },
                0, 0);
        },
        0);
}

TARVIX_EXPORT int32_t IsComInited(void) {
    return Guarded([&]() -> int32_t { return ByteFrame() ? (Bf().IsComInited() & 0xFF) : 1; }, 0);
}

TARVIX_EXPORT int32_t Send_Data(const void* data, int32_t length) {
    return Guarded([&]() -> int32_t {
        if (data == nullptr && length != 0) return 1;
        const auto* bytes = static_cast<const uint8_t*>(data);
        const auto count = static_cast<uint32_t>(length);
        return OnLink(
            [&] { return ByteFrame() ? Bf().SendData(bytes, count) : Tf().SendData(bytes, count); });
    });
}

TARVIX_EXPORT int32_t Receive_Data(void* buffer, int32_t size, int32_t* received) {
    return Guarded([&]() -> int32_t {
        int32_t scratch = 0;
        int32_t* count = received != nullptr ? received : &scratch;
        if (buffer == nullptr || size < 0) {
            *count = 0;
            return ByteFrame() ? 1 : 0;
        }
        auto* bytes = static_cast<uint8_t*>(buffer);
        const auto capacity = static_cast<uint32_t>(size);
        *count = 0;
        return OnLink([&]() -> int32_t {
            if (ByteFrame()) return Bf().ReceiveData(bytes, capacity, count);
            Tf().ReceiveData(bytes, capacity, count);
            return 0;
        });
    });
}

TARVIX_EXPORT int32_t HcSetExitTime(int32_t answer_timeout_ms, int32_t byte_timeout_ms) {
    return Guarded(
        [&]() -> int32_t {
            if (ByteFrame()) {
                Bf().HcSetExitTime(static_cast<uint32_t>(answer_timeout_ms),
                                   static_cast<uint32_t>(byte_timeout_ms));
            }
            return 0;
        },
        0);
}

TARVIX_EXPORT int32_t SendCmd(int32_t command, int32_t sub_command, int32_t value) {
    return Guarded([&]() -> int32_t {
        const auto cmd = static_cast<uint8_t>(command);
        const auto sub = static_cast<uint8_t>(sub_command);
        return OnLink([&] {
            return ByteFrame() ? Bf().SendCommandBlock(cmd, sub, static_cast<uint8_t>(value))
                               : Tf().SendCmd(cmd, sub);
        });
    });
}

TARVIX_EXPORT int32_t SendCmdUsb(int32_t command, int32_t sub_command, const void* data, int32_t length) {
    return Guarded([&]() -> int32_t {
        if (!ByteFrame()) return 0;
        const auto len = static_cast<uint16_t>(length);
        if (data == nullptr && len != 0) return 1;
        return OnLink([&] {
            return Bf().SendUsbCommand(static_cast<uint8_t>(command), static_cast<uint8_t>(sub_command),
                                       static_cast<const uint8_t*>(data), len);
        });
    });
}

TARVIX_EXPORT int32_t Get_Update_Count(int32_t reset) {
    return Guarded(
        [&]() -> int32_t {
            const auto low = static_cast<uint8_t>(reset);
            return ByteFrame() ? Bf().UpdateCount(low) : Tf().GetUpdateCount(low);
        },
        0);
}

TARVIX_EXPORT int32_t TestHcLink(void) {
    return Guarded([&]() -> int32_t {
        return OnLink([&] { return ByteFrame() ? Bf().TestHcLink(LinkPort, LinkRate) : Tf().TestHcLink(); });
    });
}

TARVIX_EXPORT int32_t AdPortAndRateAndMode(int32_t* port, int32_t* baud_rate, uint8_t* mode) {
    return Guarded([&]() -> int32_t {
        // Probing would pull the link from under another operation: refused, with the detection's
        // own failure result.
        return OnLink([&] { return DetectHandheld(port, baud_rate, mode); }, 1, 1);
    });
}

TARVIX_EXPORT int32_t AdPortAndRate(int32_t* port, int32_t* baud_rate) {
    return AdPortAndRateAndMode(port, baud_rate, nullptr);
}

// ---- Files and folders on the handheld -------------------------------------------------------

TARVIX_EXPORT int32_t GetHcFileInfo(int32_t, int32_t, const char* path, HcFileEntry* entry) {
    return Detecting(false, [&]() -> int32_t {
        if (ByteFrame()) return Bf().GetHcFileInfo(LinkPort, LinkRate, path, entry);
        HcFileRecord record{};
        const int32_t result = Tf().GetHcFileInfo(path, &record);
        if (result == ResultOk && entry != nullptr) RecordToEntry(record, entry);
        return result;
    });
}

TARVIX_EXPORT int32_t GetHcNextFileInfo(int32_t, int32_t, HcFileEntry* entry) {
    return Guarded([&]() -> int32_t {
        return OnLink([&]() -> int32_t {
            if (ByteFrame()) return Bf().GetHcNextFileInfo(LinkPort, LinkRate, entry);
            HcFileRecord record{};
            const int32_t result = Tf().GetHcNextFileInfo(&record);
            if (result == ResultOk && entry != nullptr) RecordToEntry(record, entry);
            return result;
        });
    });
}

TARVIX_EXPORT int32_t GetHcFileInfoEx(int32_t, int32_t, const char* path, HcFileRecord* record) {
    return Detecting(false, [&]() -> int32_t {
        if (!ByteFrame()) return Tf().GetHcFileInfo(path, record);
        HcFileEntry entry{};
        const int32_t result = Bf().GetHcFileInfo(LinkPort, LinkRate, path, &entry);
        if (result == ResultOk && record != nullptr) EntryToRecord(entry, record);
        return result;
    });
}

TARVIX_EXPORT int32_t GetHcNextFileInfoEx(int32_t, int32_t, HcFileRecord* record) {
    return Guarded([&]() -> int32_t {
        return OnLink([&]() -> int32_t {
            if (!ByteFrame()) return Tf().GetHcNextFileInfo(record);
            HcFileEntry entry{};
            const int32_t result = Bf().GetHcNextFileInfo(LinkPort, LinkRate, &entry);
            if (result == ResultOk && record != nullptr) EntryToRecord(entry, record);
            return result;
        });
    });
}

TARVIX_EXPORT int32_t GetHcDirInfo(int32_t, int32_t, const char* pattern, const char* list_file,
                                   int32_t* count, int32_t* total_bytes, int32_t names_only) {
    return Detecting(false, [&]() -> int32_t {
        if (ByteFrame()) {
            return Bf().GetHcDirInfo(LinkPort, LinkRate, pattern, list_file, count, total_bytes, names_only);
        }
        return Tf().GetHcDirInfo(pattern, list_file, count, total_bytes, names_only);
    });
}

TARVIX_EXPORT int32_t GetHcDirInfoEx(int32_t, int32_t, const char* pattern, const char* list_file,
                                     int32_t* count, int32_t* total_bytes, int32_t names_only) {
    return Detecting(false, [&]() -> int32_t {
        if (ByteFrame()) {
            return Bf().GetHcDirInfoEx(LinkPort, LinkRate, pattern, list_file, count, total_bytes,
                                       names_only);
        }
        return Tf().GetHcDirInfo(pattern, list_file, count, total_bytes, names_only);
    });
}

TARVIX_EXPORT int32_t SendFileToHc(int32_t, int32_t, const char* hc_name, const char* pc_path,
                                   int32_t reserved, int32_t overwrite) {
    return Detecting(false, [&]() -> int32_t {
        if (ByteFrame()) return Bf().SendFileToHc(LinkPort, LinkRate, hc_name, pc_path, reserved, overwrite);
        return Tf().SendFileToHc(hc_name, pc_path, overwrite);
    });
}

TARVIX_EXPORT int32_t GetHcFile(int32_t, int32_t, const char* hc_path, const char* pc_path,
                                int32_t overwrite) {
    return Detecting(false, [&]() -> int32_t {
        if (ByteFrame()) return Bf().GetHcFile(LinkPort, LinkRate, hc_path, pc_path, overwrite);
        return Tf().GetHcFile(hc_path, pc_path, overwrite);
    });
}

TARVIX_EXPORT int32_t DelHcFile(int32_t, int32_t, const char* hc_path, int32_t confirm) {
    return Detecting(false, [&]() -> int32_t {
        if (ByteFrame()) return Bf().DelHcFile(LinkPort, LinkRate, hc_path, confirm);
        return Tf().DelHcFile(hc_path, confirm);
    });
}

TARVIX_EXPORT int32_t DelHcMif(int32_t, int32_t, const char* hc_mif_path, int32_t confirm) {
    return Detecting(false, [&]() -> int32_t {
        if (ByteFrame()) return Bf().DelHcMif(LinkPort, LinkRate, hc_mif_path, confirm);
        return Tf().DelHcMif(hc_mif_path, confirm);
    });
}

TARVIX_EXPORT int32_t HcMakeDir(int32_t, int32_t, const char* hc_folder) {
    return Detecting(false, [&]() -> int32_t {
        return ByteFrame() ? Bf().HcMakeDir(LinkPort, LinkRate, hc_folder) : Tf().HcMakeDir(hc_folder);
    });
}

TARVIX_EXPORT int32_t HcDelDir(int32_t, int32_t, const char* hc_folder) {
    return Detecting(false, [&]() -> int32_t {
        return ByteFrame() ? Bf().HcDelDir(LinkPort, LinkRate, hc_folder) : Tf().HcDelDir(hc_folder);
    });
}

TARVIX_EXPORT int32_t HcSetDir(int32_t, int32_t, const char* hc_folder) {
    return Detecting(false, [&]() -> int32_t {
        return ByteFrame() ? Bf().HcSetDir(LinkPort, LinkRate, hc_folder) : Tf().HcSetDir(hc_folder);
    });
}

TARVIX_EXPORT int32_t HcGetCurDir(int32_t, int32_t, char* folder) {
    return Detecting(false, [&]() -> int32_t {
        return ByteFrame() ? Bf().HcGetCurDir(LinkPort, LinkRate, folder) : Tf().HcGetCurDir(folder);
    });
}

// ---- Background work and its queries --------------------------------------------------------

TARVIX_EXPORT int32_t thrdSendFileToHc(int32_t, int32_t, const char* hc_name, const char* pc_path,
                                       int32_t reserved, int32_t overwrite) {
    return Detecting(true, [&]() -> int32_t {
        if (ByteFrame())
            return Bf().ThrdSendFileToHc(LinkPort, LinkRate, hc_name, pc_path, reserved, overwrite);
        return Tf().ThrdSendFileToHc(hc_name, pc_path, overwrite);
    });
}

TARVIX_EXPORT int32_t thrdGetHcFile(int32_t, int32_t, const char* hc_path, const char* pc_path,
                                    int32_t overwrite) {
    return Detecting(true, [&]() -> int32_t {
        if (ByteFrame()) return Bf().ThrdGetHcFile(LinkPort, LinkRate, hc_path, pc_path, overwrite);
        return Tf().ThrdGetHcFile(hc_path, pc_path, overwrite);
    });
}

TARVIX_EXPORT int32_t thrdSendMifToHc(int32_t, int32_t, const char* mif_path, int32_t reserved,
                                      int32_t overwrite) {
    return Detecting(true, [&]() -> int32_t {
        if (ByteFrame()) return Bf().ThrdSendMifToHc(LinkPort, LinkRate, mif_path, reserved, overwrite);
        return Tf().ThrdSendMifToHc(mif_path, overwrite);
    });
}

TARVIX_EXPORT int32_t thrdGetHcMif(int32_t, int32_t, const char* hc_mif_path, int32_t overwrite) {
    return Detecting(true, [&]() -> int32_t {
        if (ByteFrame()) return Bf().ThrdGetHcMif(LinkPort, LinkRate, hc_mif_path, overwrite);
        return Tf().ThrdGetHcMif(hc_mif_path, overwrite);
    });
}

TARVIX_EXPORT int32_t HcRescue(int32_t, int32_t, const char* pc_path) {
    return Detecting(true, [&]() -> int32_t {
        if (ByteFrame()) return Bf().HcRescue(LinkPort, LinkRate, pc_path);
        // Only handhelds of kind 4 keep data that can be rescued.
        if (DeviceKind != 4) return ResultOk;
        return Tf().HcRescue(LinkPort, LinkRate, pc_path);
    });
}

TARVIX_EXPORT int32_t thrdQueryStatus(void) {
    return Guarded(
        [&]() -> int32_t { return ByteFrame() ? (Bf().ThrdQueryStatus() & 0xFFFF) : Tf().ThrdQueryStatus(); },
        static_cast<int32_t>(StatusFailed));
}

TARVIX_EXPORT char* thrdQueryCurFile(void) {
    return Guarded([&]() -> char* { return ByteFrame() ? Bf().ThrdQueryCurFile() : nullptr; },
                   static_cast<char*>(nullptr));
}

TARVIX_EXPORT int32_t thrdQueryPercent(void) {
    return Guarded(
        [&]() -> int32_t { return ByteFrame() ? Bf().ThrdQueryPercent() : Tf().ThrdQueryPercent(); }, 0);
}

TARVIX_EXPORT int32_t thrdQueryPercent_Ex(void) {
    return Guarded(
        [&]() -> int32_t { return ByteFrame() ? Bf().ThrdQueryPercentEx() : Tf().ThrdQueryPercentEx(); }, 0);
}

TARVIX_EXPORT int32_t thrdQueryStatusEx(TransferStatus* status) {
    return Guarded(
        [&]() -> int32_t {
            if (!ByteFrame()) return 0;
            return Bf().ThrdQueryStatusEx(status) & 0xFFFF;
        },
        0);
}

TARVIX_EXPORT int32_t thrdStop(int32_t how) {
    return Guarded(
        [&]() -> int32_t {
            if (ByteFrame()) return Bf().ThrdStop(how) & 0xFFFF;
            Tf().ThrdStop();
            return 0;
        },
        0);
}

TARVIX_EXPORT int32_t thrdQueryTime(void) {
    return Guarded([&]() -> int32_t { return ByteFrame() ? Bf().ThrdQueryTime() : 0; }, 0);
}

// ---- Handheld system functions --------------------------------------------------------------

TARVIX_EXPORT int32_t thrdGetHcNum(int32_t, int32_t, char* number) {
    return Detecting(false, [&]() -> int32_t {
        if (ByteFrame()) return Bf().ProbeLink(LinkPort, LinkRate, number);
        return Tf().ThrdGetHcNum(number);
    });
}

TARVIX_EXPORT int32_t SetHcDateTime(int32_t, int32_t, const HcDate* date, const HcTime* time) {
    return Detecting(false, [&]() -> int32_t {
        return ByteFrame() ? Bf().SetHcDateTime(LinkPort, LinkRate, date, time)
                           : Tf().SetHcDateTime(date, time);
    });
}

TARVIX_EXPORT int32_t GetHcDateTime(int32_t, int32_t, char* clock_text) {
    return Detecting(false, [&]() -> int32_t {
        return ByteFrame() ? Bf().GetHcDateTime(LinkPort, LinkRate, clock_text)
                           : Tf().GetHcDateTime(clock_text);
    });
}

TARVIX_EXPORT int32_t GetHcSysInfo(int32_t, int32_t, const char* text_file, void* info) {
    return Detecting(false, [&]() -> int32_t {
        return ByteFrame() ? Bf().GetHcSysInfo(LinkPort, LinkRate, text_file, info)
                           : Tf().GetHcSysInfo(text_file, info);
    });
}

TARVIX_EXPORT int32_t HcShowInfo(int32_t, int32_t, const char* text) {
    return Detecting(false, [&]() -> int32_t {
        return ByteFrame() ? Bf().HcShowInfo(LinkPort, LinkRate, text) : Tf().HcShowInfo(text);
    });
}

TARVIX_EXPORT int32_t SendMsgToHc(int32_t, int32_t, const char* message_file) {
    return Detecting(false, [&]() -> int32_t {
        if (!ByteFrame()) return Tf().SendMsgToHc(message_file);
        // The byte-frame handheld takes a message of exactly 48 bytes: the file's first 48, zero-filled.
        uint8_t message[48] = {};
        if (message_file == nullptr || message_file[0] == '\0') {
            Bf().SetError(ErrBadParam, false);
            return ResultFailed;
        }
        platform::File file;
        if (!file.Open(platform::PcPath(message_file), "rb")) {
            Bf().SetError(ErrCreateFile, false);
            return ResultFailed;
        }
        file.Read(message, sizeof message);
        file.Close();
        return Bf().SendMsgToHc(LinkPort, LinkRate, message, sizeof message);
    });
}

TARVIX_EXPORT int32_t GetHcMsg(int32_t, int32_t, const char* message_file) {
    return Detecting(false, [&]() -> int32_t {
        return ByteFrame() ? Bf().GetHcMsg(LinkPort, LinkRate, message_file) : Tf().GetHcMsg(message_file);
    });
}

TARVIX_EXPORT int32_t GetMessUsb(int32_t, int32_t, const char* pc_path) {
    return Detecting(false, [&]() -> int32_t {
        return ByteFrame() ? Bf().GetMessUsb(LinkPort, LinkRate, pc_path) : ResultOk;
    });
}

TARVIX_EXPORT int32_t FormatHcDisk(int32_t, int32_t) {
    return Detecting(
        false, [&]() -> int32_t { return ByteFrame() ? Bf().FormatHcDisk(LinkPort, LinkRate) : ResultOk; });
}

TARVIX_EXPORT int32_t ResetHc(int32_t, int32_t) {
    return Detecting(false,
                     [&]() -> int32_t { return ByteFrame() ? Bf().ResetHc(LinkPort, LinkRate) : ResultOk; });
}

// ---- Messages and instances -----------------------------------------------------------------

TARVIX_EXPORT int32_t GetErrorMsg(int32_t code, char* text) {
    return Guarded([&]() -> int32_t {
        if (text == nullptr) return ByteFrame() ? 0 : 1;
        const auto unsigned_code = static_cast<uint32_t>(code);
        return ByteFrame() ? Bf().GetErrorMsg(unsigned_code, text) : Tf().GetErrorMsg(unsigned_code, text);
    });
}

TARVIX_EXPORT int32_t GetLastErrCode(void) {
    return Guarded(
        [&]() -> int32_t { return ByteFrame() ? (Bf().GetLastErrCode() & 0xFFFF) : Tf().GetLastErrCode(); },
        0);
}

TARVIX_EXPORT int32_t ConvertLanguage(void) {
    return Guarded(
        [&]() -> int32_t {
            Bf().ConvertLanguage();
            Tf().ConvertLanguage();
            return 0;
        },
        0);
}

TARVIX_EXPORT int32_t GetDllVer(void) {
    return Guarded(
        [&]() -> int32_t {
            platform::SharedInstanceData* shared = platform::AttachInstanceData();
            if (shared == nullptr) return 64;  // nothing shared: this process is the only one it can know
            // One atomic step, so two processes calling at the same moment cannot both see 0.
            uint32_t expected = 0;
            return shared->count.compare_exchange_strong(expected, 1) ? 64 : -1;
        },
        -1);
}

TARVIX_EXPORT int32_t GetDllVer_Ex(uint32_t window) {
    return Guarded(
        [&]() -> int32_t {
            platform::SharedInstanceData* shared = platform::AttachInstanceData();
            if (shared != nullptr) {
                uint32_t stored = shared->window.load();
                if (stored != 0) {
                    platform::RestoreWindow(stored);
                } else if (window != 0) {
                    uint32_t expected = 0;
                    if (!shared->window.compare_exchange_strong(expected, window))
                        platform::RestoreWindow(expected);
                }
            }
            return GetDllVer();
        },
        -1);
}
