// The simulated handheld: one handheld data terminal of either protocol family behind a real
// pseudo-terminal.  Tests create a Simulator in-process, point the library at SlavePath() and script
// faults through a FaultPlan; the program hhsim (main.cpp) wraps the same class for demos.
//
// Nothing here is shared with the link library: framing, checks and table handling are this
// handheld's own, so that a misreading of the wire cannot hide on both sides.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace hhsim {

enum class Family { TextFrame, ByteFrame };

// One scripted fault.  A fault fires on the matching occurrences number `at` .. `at + times - 1`
// (1-based) of the thing it acts on, counted separately for each fault of the plan.  `command` and
// `sub` narrow the occurrences to those that belong to one command (-1: any); the inbound command
// packet itself belongs to its command, and so do the data frames that follow it.
struct Fault {
    enum class Kind {
        Nak,            // answer an inbound frame with the negative answer byte (and drop it)
        Silence,        // give no answer byte at all to an inbound frame (and drop it)
        CorruptCheck,   // send an outbound frame with a wrong check
        RepeatFrame,    // send an outbound frame a second time after it was acknowledged
        SkipNumber,     // number an outbound data frame one above the expected number
        EarlyLast,      // number an outbound data frame as the last one and end the data there
        AbortFrame,     // send the handheld's abort frame in place of an outbound data frame
        WrongStatus,    // status reply with status byte `value` (0 would be success)
        WrongEcho,      // status reply naming sub-command + 1
        ShortStatus,    // status reply of only `value` bytes (1 or 2)
        Pause,          // hold before the frame (inbound or outbound) until Release(name)
        AddByte,        // send an outbound frame (replies and one-byte answers too) `value` times with one
                        // byte added inside its payload; the repeats after those are right
        SpoilAnswer,    // take an inbound command and act on it, but its answer byte crosses the line with
                        // one bit flipped (the PC reads a refusal and sends it again); byte-frame: the
                        // answer XOR `value`, or no answer at all for `value` 0
        UsbShortBlock,  // USB: deliver only the first `value` bytes of an outbound block or packet
        UsbOversize,    // USB: an outbound block or packet whose payload length field says `value`
        // A hostile handheld, in either family:
        // In place of an outbound data frame, bytes that never complete one until the PC sends again
        // (byte-frame: until it closes its port or starts a frame of its own): `value` 0 zeros, else
        // '#' and a frame header over and over.  USB: text-frame blocks that never end the data;
        // byte-frame packets that say more follows, `value` 0 full of zeros, else empty.
        Babble,
        // An outbound data frame one byte every `value` ms, over and over (text-frame: the line only;
        // byte-frame USB: an empty packet that says more follows every `value` ms).
        Dribble,
        // From this find-next answer on (byte-frame: the one that would end the list), the search never
        // ends: ever new entries.
        EndlessListing,
        // A find-next answer that gives the entry given last again.
        RepeatEntry,
        // A find-first or find-next answer that announces `value` bytes as the entry's size.
        LyingSize,
        // Text-frame: an upload whose data all came stores nothing, and its upload end answers 0 all
        // the same (a handheld that lost what it took).
        DropUpload,
        // Text-frame: an upload stores its data, but the entry keeps the date and time that the older
        // file of its name had (a handheld whose clock stands still).
        KeepTime,
        // Text-frame: from the matching inbound command or data frame on, the handheld takes and answers
        // nothing for `value` ms, that frame included (a handheld switched off a while).
        Mute,
        // Text-frame line: from the matching inbound command or data frame on, for as long as the
        // handheld runs, each answer byte and each frame it sends waits `value` ms first (a handheld
        // that answers every wait of the PC just inside it, when `value` is a little below that wait).
        LateAnswers,
        // Text-frame: take an inbound command and act on it, but its answer is lost (`value` 0) or reads
        // as the negative answer (any other `value`): the PC sends the command again.  (Byte-frame:
        // SpoilAnswer with `value` 0 or the bits to flip.)
        DamageAnswer,
        // A command packet arriving where the data of the command in hand are awaited is taken as
        // those data, as a handheld that cannot tell a resent command from data does (byte-frame: a
        // copy of the command block taken as the name, the folder or the file, with the sum check).
        ResentAsData,
        // Take the last data frame of an inbound transfer (byte-frame: 0xFFFF) and act on it, but its
        // answer (text-frame: and the answers to its repeats) is lost (`value` 0) or spoiled:
        // text-frame: it reads as the negative answer; byte-frame: the answer byte XOR `value`.  Copies
        // sent after a byte-frame handheld is back at its commands meet it there.
        DamageLastAnswer,
        // Byte-frame: a find-first or find-next answer with a file entry gives `value` as the entry's
        // kind (4: a folder).
        WrongKind,
        // Byte-frame: from this inbound command on the handheld answers nothing and does nothing any
        // more, on the line and over USB, until it is stopped.
        GoSilent,
    };
    Kind kind = Kind::Nak;
    int at = 1;
    int times = 1;
    int command = -1;
    int sub = -1;
    int value = 1;
    std::string name = "pause";  // Pause: the name for Release() and the event "paused:<name>"
};

// One fault on the frames of `command`/`sub` (-1: any), from occurrence `at` on, `times` times.
inline Fault MakeFault(Fault::Kind kind, int command = -1, int sub = -1, int at = 1, int times = 1,
                       int value = 1) {
    Fault f;
    f.kind = kind;
    f.command = command;
    f.sub = sub;
    f.at = at;
    f.times = times;
    f.value = value;
    return f;
}

struct FaultPlan {
    std::vector<Fault> faults;
    // Line noise: each byte on the line is, with probability `noise_rate`, flipped in one bit,
    // dropped, or followed by an inserted random byte.  Reproducible from the seed.
    double noise_rate = 0.0;
    std::uint32_t noise_seed = 1;
    bool noise_inbound = true;
    bool noise_outbound = true;
};

struct Config {
    Family family = Family::TextFrame;
    std::string model = "R9M";  // answer to the device-kind query (text-frame)
    std::string number =
        "HC2025001";  // the handheld's number: 8 to 15 characters (text-frame), at most 9 (byte-frame)
    std::uint32_t free_space = 64u * 1024u * 1024u;
    std::uint32_t bad_space = 0;
    unsigned baud = 115200;       // the rate the handheld answers at; 0 answers at any rate
    std::filesystem::path store;  // folder holding the handheld's files; empty: a fresh temporary
    bool keep_store = false;      // a temporary store is removed at Stop() unless this is set
    std::string start_folder = "\\";
    // Folders the handheld has from the start (made in the store when missing).  The program hhsim
    // starts with the application folder "\\KELVANHB", where the desk puts the task table.
    std::vector<std::string> initial_folders;
    bool pace = false;  // pace the line at the baud rate (10 bits per byte) in both directions
    // Byte-frame answers
    std::string version = "BFHH-V 61";  // firmware-version answer; its characters from the 8th on: 61
    std::uint8_t crc_mode = 'Z';        // answer to the check-mode query: 'Z' asks for the CRC
    int feature = 0x80;                 // answer to the feature query; -1: no answer
    std::string manufacture_date = "2024-01-15";
    std::string software_version = "TF 2.31";
    // Fill the reading fields of a task table after it has arrived (empty: never).  Compared with the
    // name part of the stored file without regard to case.
    std::string fill_readings;
    std::uint32_t fill_seed = 7;
    // Waits of the handheld itself
    int ack_timeout_ms = 1000;   // for the answer byte after each frame it sends
    int send_attempts = 0;       // sends of one frame (0: the family's own, 3 text-frame, 5 byte-frame)
    int data_timeout_ms = 4000;  // for the first byte of a data frame it awaits
    // Byte-frame data rescue and drives: the memory range the handheld names for a rescue (its bytes
    // are MemoryByte(address)), the flash pages it offers (0: none; page bytes FlashPageByte), and
    // whether it has drive E (the folder "\\$E$" of the store, flagged in its system block).
    std::uint32_t rescue_start = 0x00100000u;
    std::uint32_t rescue_length = 0x1000u;
    std::uint32_t flash_pages = 0;
    bool drive_e = false;
    // Status bytes by "command/sub" (for example "80/4" -> 1), overriding the handheld's own verdict:
    // the text-frame status reply of that command, or the byte-frame result byte it leaves for SubResult.
    std::map<std::string, std::uint8_t> forced_status;
    // System block texts by offset, written over the handheld's own (with their NUL when it fits).
    std::map<int, std::string> block_texts;
    // The clock query's answer byte for byte (empty: the handheld's running clock).
    std::string clock_text;
    // Text-frame message file as the handheld holds it before any is sent (its answer as it stands).
    std::vector<std::uint8_t> message = std::vector<std::uint8_t>(48, 0);
    // Text-frame data rescue: units of 4096 bytes to rescue (-1: nothing to rescue), the size of the
    // answer to the flash query, and bytes sent for single blocks (others: 2048).  Block b's byte i
    // is (b * 31 + i) & 0xFF.
    int flash_units = -1;
    int flash_info_size = 24;
    std::map<int, int> flash_page_sizes;
    // USB (usb_*.cpp): when not 0 the handheld serves its USB driver's sockets in a folder instead of
    // the line.  Text-frame: 4 or 3 is the interface it offers (the variant), 7 offers both; byte-frame:
    // any value but 0 offers the byte-frame interface.
    int usb = 0;
    std::filesystem::path usb_dir;  // folder of the sockets (TARVIX_USB_DIR); empty: a fresh temporary
    unsigned usb_block = 4096;      // byte-frame: the block size its descriptor reports (4096 or 512)
};

// One frame as it crossed the line (after inbound noise, before outbound noise).
struct FrameRecord {
    bool inbound = true;
    std::uint32_t number = 0;
    bool check_ok = true;
    std::vector<std::uint8_t> payload;  // unescaped
    std::vector<std::uint8_t> raw;      // as on the line
    int command = -1;                   // command the frame belongs to, -1 when none
    int sub = -1;
};

struct CommandRecord {
    int command = 0;
    int sub = 0;
    int value = 0;                      // byte-frame value byte
    std::vector<std::uint8_t> data;     // packet data (text-frame) or argument bytes (byte-frame)
    std::vector<std::uint8_t> payload;  // data sent after the command (names, paths), when any
};

class Simulator {
  public:
    explicit Simulator(Config config = {});
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Opens the pseudo-terminal and starts serving.  False with a message in *error on failure.
    bool Start(std::string* error = nullptr);
    void Stop();
    bool Running() const;
    const std::string& SlavePath() const;
    const std::filesystem::path& StorePath() const;
    const Config& config() const;

    // Changes that take effect at the next frame.
    void SetPlan(const FaultPlan& plan);
    void SetFreeSpace(std::uint32_t bytes);
    void SetBaud(unsigned baud);
    void Release(const std::string& pause_name = "pause");
    // USB: the folder to name in TARVIX_USB_DIR, and pulling the cable (sockets gone, every open
    // handle cut).
    const std::filesystem::path& UsbDir() const;
    void UsbUnplug();
    // The handheld pulled off its line and put back, as an adapter unplugged and plugged in again or a
    // handheld switched off and on: Unplug stops serving and closes the pseudo-terminal (the PC's open
    // port hangs up; SlavePath() leads nowhere meanwhile); Replug opens a new one under the same
    // SlavePath() and serves again from the handheld's start (start folder; files, plan and records
    // stay).  Restart is both.  The line only: a USB handheld has UsbUnplug, and there Replug and
    // Restart do nothing and fail with an error that says so.
    void Unplug();
    bool Replug(std::string* error = nullptr);
    bool Restart(std::string* error = nullptr);

    // Observations.  Copies, safe to take while the handheld serves.
    std::vector<FrameRecord> Frames() const;
    std::vector<CommandRecord> Commands() const;
    std::size_t CommandCount() const;
    int Counter(const std::string& name) const;  // see Events()
    std::vector<std::string> Events() const;     // in order: "command:80/1", "abort", "stored:<path>",
                                                 // "deleted:<path>", "paused:<name>", "filled:<path>", ...
    std::string ShownText() const;               // last text of the show-text command
    void ClearRecords();

    // Waits, bounded; true when the condition holds before the time-out.
    bool WaitCommands(std::size_t count, std::chrono::milliseconds timeout) const;
    bool WaitEvent(const std::string& name, std::chrono::milliseconds timeout, int count = 1) const;

    struct Core;

  private:
    std::unique_ptr<Core> core_;
};

// The bytes of the byte-frame handheld's memory and flash pages, as a data rescue copies them.
std::uint8_t MemoryByte(std::uint32_t address);
std::uint8_t FlashPageByte(std::uint32_t page, std::uint32_t offset);

// Fills the reading fields of a task table in place; `packed` selects the byte-frame handheld's
// packed layout instead of dBase.  Returns the number of records filled, -1 when the file is not a
// table of that layout.
int FillReadings(const std::filesystem::path& table, bool packed, std::uint32_t seed);

}  // namespace hhsim
