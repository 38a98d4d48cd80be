#include "byteframe/transfer_status.h"

#include <cstring>

#include "common/codes.h"
#include "common/records.h"
#include "platform/clock.h"

namespace tarvix::bf {

namespace {

// The record is aligned so that its 16- and 32-bit fields sit at their natural alignment; the
// accessors reach them with std::atomic_ref so the worker and the caller never tear a value.
alignas(8) TransferStatus g_record{};
std::mutex g_text_lock;  // guards the two text fields against a concurrent copy

template <typename T>
std::atomic_ref<T> Field(T& field) {
    return std::atomic_ref<T>(field);
}

uint16_t& ErrorField() {
    return *reinterpret_cast<uint16_t*>(reinterpret_cast<uint8_t*>(&g_record) + 0);
}
uint16_t& StatusField() {
    return *reinterpret_cast<uint16_t*>(reinterpret_cast<uint8_t*>(&g_record) + 2);
}
int32_t& Int32Field(size_t offset) {
    return *reinterpret_cast<int32_t*>(reinterpret_cast<uint8_t*>(&g_record) + offset);
}

constexpr size_t kPercent = offsetof(TransferStatus, percent);
constexpr size_t kFileLength = offsetof(TransferStatus, file_length);
constexpr size_t kElapsed = offsetof(TransferStatus, elapsed_ms);
constexpr size_t kCurrentBlock = offsetof(TransferStatus, current_block);
constexpr size_t kBlockCount = offsetof(TransferStatus, block_count);
static_assert(kPercent % 4 == 0 && kFileLength % 4 == 0 && kElapsed % 4 == 0 && kCurrentBlock % 4 == 0 &&
              kBlockCount % 4 == 0);

int32_t ComputePercent(bool fix_zero_count) {
    int32_t count = Field(Int32Field(kBlockCount)).load();
    if (count == 0) {
        if (!fix_zero_count) return 0;
        Field(Int32Field(kBlockCount)).store(1);
        count = 1;
    }
    uint32_t block = static_cast<uint32_t>(Field(Int32Field(kCurrentBlock)).load());
    return static_cast<int32_t>((block - 1u) * 100u / static_cast<uint32_t>(count));
}

}  // namespace

std::atomic<bool> g_stop_flag{false};
std::atomic<uint32_t> g_start_tick{0};
std::atomic<int32_t> g_rescue_percent{0};

TransferStatus& Record() {
    return g_record;
}

uint16_t ErrorCode() {
    return Field(ErrorField()).load();
}
void SetErrorCode(uint16_t code) {
    Field(ErrorField()).store(code);
}
uint16_t StatusValue() {
    return Field(StatusField()).load();
}
void SetStatusValue(uint16_t status) {
    Field(StatusField()).store(status);
}
int32_t CurrentBlock() {
    return Field(Int32Field(kCurrentBlock)).load();
}
void SetCurrentBlock(int32_t block) {
    Field(Int32Field(kCurrentBlock)).store(block);
}
int32_t BlockCount() {
    return Field(Int32Field(kBlockCount)).load();
}
void SetBlockCount(int32_t count) {
    Field(Int32Field(kBlockCount)).store(count);
}
void SetFileLength(int32_t length) {
    Field(Int32Field(kFileLength)).store(length);
}

void SetCurrentFile(const char* path) {
    std::lock_guard<std::mutex> lock(g_text_lock);
    CopyTextField(g_record.current_file, sizeof g_record.current_file, path);
}

void SetCurrentPcPath(const char* path) {
    std::lock_guard<std::mutex> lock(g_text_lock);
    CopyTextField(g_record.current_pc_path, sizeof g_record.current_pc_path, path);
}

void SetError(uint16_t code, bool set_failed) {
    if (set_failed) SetStatusValue(StatusFailed);
    SetErrorCode(code);
}

int32_t QueryStatus() {
    return StatusValue();
}

int32_t QueryPercent() {
    int32_t percent = ComputePercent(true);
    Field(Int32Field(kPercent)).store(percent);
    return percent;
}

int32_t QueryTime() {
    uint32_t elapsed = platform::GetClock().TickMs() - g_start_tick.load();
    Field(Int32Field(kElapsed)).store(static_cast<int32_t>(elapsed));
    return static_cast<int32_t>(elapsed);
}

int32_t Stop(int32_t how) {
    if (how != 0) {
        g_stop_flag.store(true);
        if (how == 1) {
            // A stop request of half a second: long enough for a transfer to see it.
            platform::GetClock().SleepMs(500);
            g_stop_flag.store(false);
        }
    } else {
        g_stop_flag.store(false);
    }
    return StatusValue();
}

int32_t LastErrCode() {
    g_stop_flag.store(false);
    return ErrorCode();
}

int32_t QueryStatusEx(TransferStatus* out, void (*release_link)()) {
    uint16_t before = StatusValue();
    Field(Int32Field(kPercent)).store(ComputePercent(false));
    Field(Int32Field(kElapsed))
        .store(static_cast<int32_t>(platform::GetClock().TickMs() - g_start_tick.load()));
    if (out != nullptr) {
        // Field by field, so that a worker changing a counter meanwhile never tears a value.
        TransferStatus copy{};
        copy.error_code = ErrorCode();
        copy.status = before;
        copy.percent = Field(Int32Field(kPercent)).load();
        copy.file_length = Field(Int32Field(kFileLength)).load();
        copy.elapsed_ms = Field(Int32Field(kElapsed)).load();
        {
            std::lock_guard<std::mutex> lock(g_text_lock);
            std::memcpy(copy.current_file, g_record.current_file, sizeof copy.current_file);
            std::memcpy(copy.current_pc_path, g_record.current_pc_path, sizeof copy.current_pc_path);
        }
        copy.current_block = CurrentBlock();
        copy.block_count = BlockCount();
        std::memcpy(out, &copy, sizeof copy);
    }
    // While a transfer runs the copy is all it does: resetting the status or closing the link would
    // pull the port from under the worker.
    if (before == StatusBusy) return before;
    SetStatusValue(StatusIdle);
    if (release_link != nullptr) release_link();
    return before;
}

}  // namespace tarvix::bf
