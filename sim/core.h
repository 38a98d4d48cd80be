// Inner parts of the simulated handheld: the line, the checks, the file store and the serving state.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "sim/hhsim.h"

namespace hhsim {

using Bytes = std::vector<std::uint8_t>;

// ---- checks, written bit by bit (the library uses a table; two ways of computing keep each other honest)
std::uint16_t Crc16Xmodem(const std::uint8_t* data, std::size_t size, std::uint16_t crc = 0);
std::uint8_t Sum8(const std::uint8_t* data, std::size_t size, std::uint8_t sum = 0);

// ---- text-frame framing
namespace tf {
constexpr std::uint32_t kLast = 0xFFFFFFFFu;
std::string HexLowFirst(std::uint32_t value, int digits);
bool ParseHexLowFirst(const std::uint8_t* text, int digits, std::uint32_t& value);
Bytes BuildFrame(std::uint32_t number, const std::uint8_t* data, std::size_t size);
Bytes AbortFrame();
}  // namespace tf

// ---- byte-frame framing
namespace bf {
constexpr std::uint16_t kLast = 0xFFFF;
Bytes BuildFrame(std::uint16_t number, const std::uint8_t* data, std::size_t size, bool crc);
}  // namespace bf

// ---- packed numbers: two characters per byte, first in the high half (odd lengths start with 0xD)
void PackDigits(const std::string& text, std::uint8_t* out);

// The system block: Type, ManufactureDate, ID, versions, flash model and memory size texts.
Bytes SystemBlock(const Config& config, std::size_t size, bool textframe);

// ---- the pseudo-terminal line
class Line {
  public:
    ~Line();
    // A line closed with `keep_name` opens again under the same name (SlavePath()).
    bool Open(unsigned baud, std::string* error);
    // Closes the pseudo-terminal (the PC's open port hangs up) after removing the name, so that the name
    // never leads to another process's pseudo-terminal.  `keep_name` keeps the private folder for the
    // next Open.
    void Close(bool keep_name = false);
    const std::string& SlavePath() const { return slave_path_; }

    enum Read { kByte, kTimeout, kStopped, kPcClosed };
    // One byte within timeout_ms (< 0: no limit); honours the stop flag.  With `until_close`, the PC
    // closing its port ends the wait too (kPcClosed).
    Read ReadByte(std::uint8_t& byte, int timeout_ms, bool until_close = false);
    void Unread(std::uint8_t byte) { pending_.push_front(byte); }
    // Drops whatever came in and was not read yet (a late answer, a byte the noise added) and hands
    // it back, so that the next answer awaited is the one to the next frame.
    Bytes Purge();
    bool Write(const Bytes& bytes);
    void Wake();  // ends a waiting read (Stop)
    // True when the PC closed its port since the last look (also the last wait until its close).
    bool PcClosed() { return TakeNotifications(); }

    std::atomic<bool> stop{false};
    std::atomic<unsigned> baud{115200};
    std::atomic<bool> pace{false};
    // noise (set before serving, changed under the core's lock by SetPlan)
    std::mutex noise_mutex;
    double noise_rate = 0;
    bool noise_in = true, noise_out = true;
    std::mt19937 noise_rng{1};
    std::atomic<long> garbled_in{0};

  private:
    unsigned SlaveBaud() const;
    void ApplyNoise(Bytes& bytes, bool inbound);
    void PaceUntil(std::chrono::steady_clock::time_point& free_at, std::size_t count);
    unsigned LineRate() const;
    std::chrono::nanoseconds LineTime(std::size_t count) const;

    static constexpr int kExclusiveSliceMs = 20;
    bool privileged_ = false;
    int master_ = -1;
    int slave_ = -1;  // held open so that the master never sees a hang-up between the library's opens
    int wake_[2] = {-1, -1};
    int notify_ = -1;          // opens and closes of the slave device
    bool TakeNotifications();  // true when the PC closed its port since the last look
    std::string slave_path_;   // the line's own name: a link to the pseudo-terminal's slave
    std::string link_dir_;     // the private folder that holds it
    std::deque<std::uint8_t> pending_;
    std::chrono::steady_clock::time_point in_free_at_{}, out_free_at_{};
};

// ---- the handheld's file store: a folder on disk, handheld paths with '\' (or '/')
class Store {
  public:
    struct Entry {
        std::string name;
        std::uint64_t size = 0;
        bool folder = false;
        std::filesystem::file_time_type time{};
    };
    void SetRoot(const std::filesystem::path& root) { root_ = root; }
    const std::filesystem::path& Root() const { return root_; }
    // Absolute handheld form of a path given relative to the current folder ("\A\B").
    std::string Absolute(const std::string& path) const;
    // Disk path of a handheld path (existing components matched without regard to case); false when
    // the path leaves the store.
    bool Resolve(const std::string& path, std::filesystem::path& out) const;
    bool IsFile(const std::string& path) const;
    bool IsFolder(const std::string& path) const;
    bool Read(const std::string& path, Bytes& out) const;
    bool Write(const std::string& path, const Bytes& data, std::filesystem::path* stored = nullptr);
    bool Delete(const std::string& path);
    bool MakeDir(const std::string& path);
    bool RemoveDir(const std::string& path);
    bool ChangeDir(const std::string& path);
    std::vector<Entry> Find(const std::string& pattern) const;

    std::string current = "\\";  // current folder
    std::string name;            // name of the last name command
    std::string path;            // folder of the last path command
    std::vector<Entry> found;    // find cursor
    std::size_t found_next = 0;

  private:
    std::filesystem::path root_;
};

bool WildMatch(const std::string& pattern, const std::string& name);
// The 18-character date text of file entries (text-frame) and the byte-frame one.
std::string TimeText18(std::filesystem::file_time_type time);

// ---- USB (usb_*.cpp): the handheld's data over its USB driver in place of the line
class UsbDriver;
class UsbDataPath {
  public:
    virtual ~UsbDataPath() = default;
    // The handheld's data to the PC; false when it did not get through.
    virtual bool Send(const Bytes& data) = 0;
    // The PC's data; false when it did not come.
    virtual bool Receive(Bytes& out) = 0;
    // A byte-frame download with nothing to send: the stream is given up.
    virtual void Abandon() {}
};
// The command handling of a family, sending and receiving its data through `path`.
class CommandHandler {
  public:
    virtual ~CommandHandler() = default;
    virtual void Handle(const CommandRecord& command) = 0;
};
std::unique_ptr<CommandHandler> MakeTextFrameHandler(Simulator::Core& core, UsbDataPath& path);
std::unique_ptr<CommandHandler> MakeByteFrameHandler(Simulator::Core& core, UsbDataPath& path);

// ---- serving state shared by the families
struct Simulator::Core {
    explicit Core(Config c) : config(std::move(c)) {}
    Config config;
    Line line;
    Store store;
    std::filesystem::path store_path;
    bool temp_store = false;
    std::thread worker;
    std::atomic<bool> running{false};
    bool unplugged = false;  // the line is closed between Unplug and Replug; its name is kept

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    FaultPlan plan;
    std::vector<int> fault_counts;
    std::vector<std::string> released;
    std::vector<FrameRecord> frames;
    std::vector<CommandRecord> commands;
    std::vector<std::string> events;
    std::map<std::string, int> counters;
    std::string shown_text;
    std::uint32_t free_space = 0;

    // current command context of the frames
    int ctx_command = -1, ctx_sub = -1;

    // fault plan: true with the fault in *out when one of `kinds` fires for this occurrence
    bool Fire(std::initializer_list<Fault::Kind> kinds, Fault* out);
    bool PauseHere();  // runs a Pause fault for the current occurrence; false when stopped
    // What the plan does to the next outbound data frame, after holding at its pause point; false
    // when stopped while held.
    enum class FrameFault { None, Abort, SkipNumber, EarlyLast, CorruptCheck, Repeat };
    bool NextOutboundFault(FrameFault& fault);
    std::uint32_t FreeSpace() const;
    void Event(const std::string& name);
    void Record(FrameRecord record);
    void RecordCommand(CommandRecord record);
    void UpdateLastCommandPayload(const Bytes& payload);

    void ServeTextFrame();
    void ServeByteFrame();
    // What a handheld that starts, first or again, begins with: its start folder and a line not stopped.
    void FromTheStart();
    // Starts and ends the serving thread of the line or the USB.
    void StartServing();
    void StopServing();
    // USB serving (usb_serve.cpp)
    std::shared_ptr<UsbDriver> usb_driver;
    std::shared_ptr<void> usb_side;  // the family's way over the driver
    std::filesystem::path usb_dir;
    bool temp_usb_dir = false;
    bool StartUsb(std::string* error);
    void ServeUsb();
    void StopUsb();
    void UnplugUsb();
    void AfterStore(const std::filesystem::path& stored);
};

}  // namespace hhsim
