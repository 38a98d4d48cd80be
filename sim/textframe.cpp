// The text-frame handheld: answers every text frame with one byte, takes 24-byte command packets and
// carries names, files and answers as numbered text frames.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <thread>

#include "sim/core.h"

namespace hhsim {

namespace {

using FrameFault = Simulator::Core::FrameFault;

constexpr int kByteTimeoutMs = 500;  // inside a frame
constexpr std::uint8_t kAck = 0x00;
constexpr std::uint8_t kNak = 0x0F;
// Sends of one frame, and receives of one frame awaited again: three in this family.
constexpr int kAttempts = 3;

std::uint32_t Le32(const std::uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

void PutLe32(Bytes& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

bool HasStatusReply(int command, int sub) {
    if (command == 16) return true;
    if (command != 80) return false;
    switch (sub) {
        case 2:
        case 3:
        case 4:
        case 5:
        case 12:
        case 13:
        case 33:
            return true;
        default:
            return false;
    }
}

std::string Text(const Bytes& bytes) {
    std::string s(bytes.begin(), bytes.end());
    auto nul = s.find('\0');
    if (nul != std::string::npos) s.resize(nul);
    return s;
}

struct RxFrame {
    std::uint32_t number = 0;
    Bytes payload;
    Bytes raw;
};

enum class Rx { Good, BadCheck, Nothing, Garbled, Overlong, Stopped };

class TextFrameHandheld {
  public:
    explicit TextFrameHandheld(Simulator::Core& core, UsbDataPath* usb = nullptr)
        : c_(core), line_(core.line), usb_(usb) {}

    void Serve();

  private:
    Rx ReceiveFrame(RxFrame& frame, int first_timeout_ms);
    bool SendData(const Bytes& data, bool status_reply = false);
    // `damaged_sends`: the first sends that get one byte added (the fault plan's AddByte).
    bool SendFrame(const Bytes& frame, bool corrupt_first, int damaged_sends = 0);
    // Receives a data transfer; false when it did not complete.  `expected_size` (when known) tells the
    // last block of the data from a command packet of a PC that gave the transfer up.
    bool ReceiveData(Bytes& out, std::int64_t expected_size = -1);
    void SendStatus(int command, int sub, std::uint8_t status);
    // Writes `pattern` over and over, `gap_ms` between its bytes (0: as fast as the line takes them),
    // until the PC sends a byte of its own (left to be read) or the handheld stops.
    void Stream(const Bytes& pattern, int gap_ms);
    // The find-first / find-next answer: the next entry of the search, or the end marker.
    Bytes FindAnswer(bool first);
    void Answer(std::uint8_t byte) {
        Delay();
        line_.Write(Bytes{byte});
    }
    // The wait of LateAnswers before each answer byte and each frame sent.
    void Delay() const {
        if (late_ms_ > 0) std::this_thread::sleep_for(std::chrono::milliseconds(late_ms_));
    }
    // Whether a Mute fault keeps the handheld from taking anything now.
    bool Muted() const { return std::chrono::steady_clock::now() < muted_until_; }
    // Runs the Mute and LateAnswers faults for the inbound frame in hand; true when it is muted.
    bool MutedFrom(const char* what);
    // The answer to the last frame of an inbound transfer (and, by `raw`, to its repeats).
    void AnswerLast(const Bytes& raw);
    // The answer of a DamageAnswer or DamageLastAnswer fault.
    void AnswerDamaged(const Fault& fault) {
        if (fault.value != 0) Answer(kNak);
    }
    void Handle(int command, int sub, const Bytes& data);
    void Unread(const Bytes& raw) {
        for (auto it = raw.rbegin(); it != raw.rend(); ++it) line_.Unread(*it);
    }
    static bool LooksLikePacket(const RxFrame& f);
    friend class TextFrameUsbHandler;

    Simulator::Core& c_;
    Line& line_;
    UsbDataPath* usb_ = nullptr;  // over USB the data moves through the driver instead of the line
    std::uint32_t announced_size_ = 0;
    bool upload_done_ = false;
    Bytes message_ = c_.config.message;
    std::chrono::seconds clock_offset_{0};
    // The search as the fault plan bends it: made-up entries for ever, the last entry given.
    bool endless_listing_ = false;
    std::uint32_t made_up_entries_ = 0;
    Bytes last_entry_;
    // The last frame of the last inbound transfer, and the command it belonged to: a repeat of it
    // meets the same DamageLastAnswer fault.
    Bytes last_raw_;
    int last_command_ = -1, last_sub_ = -1;
    // Mute and LateAnswers, once fired.
    std::chrono::steady_clock::time_point muted_until_{};
    int late_ms_ = 0;
};

bool TextFrameHandheld::MutedFrom(const char* what) {
    Fault f;
    // Its wait is the line's (Delay): over USB the fault neither fires nor counts.
    if (usb_ == nullptr && c_.Fire({Fault::Kind::LateAnswers}, &f)) {
        late_ms_ = std::max(0, f.value);
        c_.Event(std::string("late-from:") + what);
    }
    if (c_.Fire({Fault::Kind::Mute}, &f)) {
        muted_until_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(0, f.value));
        c_.Event(std::string("muted-from:") + what);
    }
    return Muted();
}

void TextFrameHandheld::AnswerLast(const Bytes& raw) {
    {
        std::lock_guard lock(c_.mutex);
        last_command_ = c_.ctx_command;
        last_sub_ = c_.ctx_sub;
    }
    last_raw_ = raw;
    Fault fault;
    if (c_.Fire({Fault::Kind::DamageLastAnswer}, &fault)) {
        AnswerDamaged(fault);
    } else {
        Answer(kAck);
    }
}

Rx TextFrameHandheld::ReceiveFrame(RxFrame& frame, int first_timeout_ms) {
    std::uint8_t b = 0;
    bool junk = false;
    for (;;) {
        auto r = line_.ReadByte(b, junk ? std::max(first_timeout_ms, kByteTimeoutMs) : first_timeout_ms);
        if (r == Line::kStopped) return Rx::Stopped;
        if (r == Line::kTimeout) return junk ? Rx::Garbled : Rx::Nothing;
        if (b == '#') break;
        junk = true;
    }
restart:
    frame = RxFrame{};
    frame.raw.push_back('#');
    auto next = [&](std::uint8_t& out) -> Rx {
        auto r = line_.ReadByte(out, kByteTimeoutMs);
        if (r == Line::kStopped) return Rx::Stopped;
        if (r == Line::kTimeout) return Rx::Garbled;
        frame.raw.push_back(out);
        return Rx::Good;
    };
    for (int i = 0; i < 8; ++i) {
        if (Rx r = next(b); r != Rx::Good) return r;
        if (b == '#') goto restart;
    }
    bool overlong = false;
    for (;;) {
        if (Rx r = next(b); r != Rx::Good) return r;
        if (b == '#') goto restart;
        if (b == '$') break;
        if (b == '@') {
            if (Rx r = next(b); r != Rx::Good) return r;
            if (b == '#') goto restart;
            if (b == '$') break;  // an unfinished escape ends the payload
            b = b == 'A' ? '@' : b == 'B' ? '#' : b == 'C' ? '$' : b;
        }
        if (frame.payload.size() >= 256) {
            overlong = true;
        } else {
            frame.payload.push_back(b);
        }
    }
    std::size_t checked = frame.raw.size() - 1;  // up to, not including, the '$'
    for (int i = 0; i < 4; ++i) {
        if (Rx r = next(b); r != Rx::Good) return r;
    }
    std::uint32_t check = 0;
    bool digits = tf::ParseHexLowFirst(frame.raw.data() + checked + 1, 4, check);
    bool number_ok = tf::ParseHexLowFirst(frame.raw.data() + 1, 8, frame.number);
    bool good = digits && number_ok && check == Crc16Xmodem(frame.raw.data(), checked);
    FrameRecord rec;
    rec.inbound = true;
    rec.number = frame.number;
    rec.check_ok = good && !overlong;
    rec.payload = frame.payload;
    rec.raw = frame.raw;
    c_.Record(std::move(rec));
    if (overlong) return Rx::Overlong;
    return good ? Rx::Good : Rx::BadCheck;
}

bool TextFrameHandheld::SendFrame(const Bytes& frame, bool corrupt_first, int damaged_sends) {
    const int attempts = c_.config.send_attempts > 0 ? c_.config.send_attempts : kAttempts;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        // Whatever came in since the last answer (a byte the line added after it, a late answer) is
        // not the answer to this frame.  A '#' among it is the PC's own next frame: it moved on.
        Bytes stale = line_.Purge();
        if (auto hash = std::find(stale.begin(), stale.end(), '#'); hash != stale.end()) {
            Unread(Bytes(hash, stale.end()));
            c_.Event("gave-up-send");
            return false;
        }
        Bytes out = frame;
        if (corrupt_first && attempt == 0) {
            std::uint8_t& digit = out.back();
            digit = digit == '0' ? '1' : '0';
        }
        if (attempt < damaged_sends) out.insert(out.begin() + 9, 0x33);  // first payload place
        FrameRecord rec;
        rec.inbound = false;
        rec.raw = out;
        tf::ParseHexLowFirst(out.data() + 1, 8, rec.number);
        c_.Record(std::move(rec));
        Delay();
        if (!line_.Write(out)) return false;
        std::uint8_t answer = 0;
        auto r = line_.ReadByte(answer, c_.config.ack_timeout_ms, true);
        if (r == Line::kStopped) return false;
        if (r == Line::kPcClosed) {
            // The PC closed its port: it took the frame or gave it up; a repeat would only meet its
            // next open as a stale answer.
            c_.Event("pc-closed");
            return false;
        }
        if (r == Line::kTimeout) continue;
        if (answer == kAck) return true;
        if (answer == '#') {
            // The PC has moved on to a frame of its own: give this transfer up and serve that one.
            line_.Unread(answer);
            c_.Event("gave-up-send");
            return false;
        }
    }
    c_.Event("gave-up-send");
    return false;
}

bool TextFrameHandheld::SendData(const Bytes& data, bool status_reply) {
    if (usb_ != nullptr) return usb_->Send(data);
    const bool counted = !status_reply;
    std::size_t off = 0;
    std::uint32_t number = 1;
    for (;;) {
        std::size_t rest = data.size() - off;
        bool last = rest <= 256;
        std::size_t len = last ? rest : 256;
        std::uint32_t num = last ? tf::kLast : number;
        FrameFault fault = FrameFault::None;
        if (counted && !c_.NextOutboundFault(fault)) return false;
        if (fault == FrameFault::Abort) {
            Bytes abort = tf::AbortFrame();
            FrameRecord rec;
            rec.inbound = false;
            rec.raw = abort;
            c_.Record(std::move(rec));
            line_.Write(abort);
            c_.Event("abort-sent");
            return false;
        }
        if (fault == FrameFault::SkipNumber) num = number + 1;
        if (fault == FrameFault::EarlyLast) {
            num = tf::kLast;
            last = true;
        }
        bool corrupt = fault == FrameFault::CorruptCheck, repeat = fault == FrameFault::Repeat;
        Fault flood;
        if (counted && c_.Fire({Fault::Kind::Babble, Fault::Kind::Dribble}, &flood)) {
            if (flood.kind == Fault::Kind::Dribble) {
                c_.Event("dribble");
                Stream(tf::BuildFrame(num, data.data() + off, len), std::max(1, flood.value));
            } else {
                c_.Event("babble");
                Stream(flood.value == 0 ? Bytes(64, 0) : Bytes{'#', '1', '0', '0', '0', '0', '0', '0', '0'},
                       0);
            }
            return false;
        }
        Fault added;
        int damaged = c_.Fire({Fault::Kind::AddByte}, &added) ? std::max(1, added.value) : 0;
        Bytes frame = tf::BuildFrame(num, data.data() + off, len);
        if (!SendFrame(frame, corrupt, damaged)) return false;
        if (repeat && !SendFrame(frame, false)) return false;
        if (last) return true;
        off += 256;
        ++number;
    }
}

bool TextFrameHandheld::LooksLikePacket(const RxFrame& f) {
    if (f.number != tf::kLast || f.payload.size() != 24) return false;
    static const int kCommands[] = {15, 16, 53, 60, 73, 74, 80};
    if (std::find(std::begin(kCommands), std::end(kCommands), f.payload[0]) == std::end(kCommands))
        return false;
    unsigned len = f.payload[2] | (f.payload[3] << 8);
    if (len > 20) return false;
    return std::all_of(f.payload.begin() + 4 + len, f.payload.end(), [](std::uint8_t b) { return b == 0; });
}

bool TextFrameHandheld::ReceiveData(Bytes& out, std::int64_t expected_size) {
    out.clear();
    if (usb_ != nullptr) return usb_->Receive(out);
    std::uint32_t expected = 1;
    // Failed receives of the frame awaited now: the PC sends each frame at most three times.
    int failures = 0;
    while (failures < kAttempts) {
        RxFrame f;
        Rx r = ReceiveFrame(f, c_.config.data_timeout_ms);
        if (r == Rx::Stopped || r == Rx::Nothing) {
            c_.Event("data-timeout");
            return false;
        }
        if (Muted()) continue;
        if (r == Rx::Garbled || r == Rx::Overlong) {
            // A frame that lost or gained bytes on the line: asked for again at once rather than
            // after the PC's whole answer wait.
            if (r == Rx::Overlong || f.raw.size() > 0) Answer(kNak);
            ++failures;
            continue;
        }
        if (r == Rx::BadCheck) {
            Answer(kNak);
            ++failures;
            continue;
        }
        bool packet_shape = LooksLikePacket(f);
        Fault taken;
        if (packet_shape && c_.Fire({Fault::Kind::ResentAsData}, &taken)) packet_shape = false;
        if (packet_shape &&
            (expected_size < 0 || static_cast<std::int64_t>(out.size()) + 24 != expected_size)) {
            // A command where data was due: the PC gave the transfer up.  Serve the command.
            Unread(f.raw);
            c_.Event("data-abandoned");
            return false;
        }
        if (f.number == 0) {
            Answer(kAck);
            c_.Event("abort");
            return false;
        }
        if (MutedFrom("data")) continue;
        Fault fault;
        if (c_.Fire({Fault::Kind::Nak, Fault::Kind::Silence}, &fault)) {
            if (fault.kind == Fault::Kind::Nak) Answer(kNak);
            continue;
        }
        if (f.number == expected || f.number == tf::kLast) {
            if (f.number == tf::kLast) {
                AnswerLast(f.raw);
                out.insert(out.end(), f.payload.begin(), f.payload.end());
                return true;
            }
            Answer(kAck);
            out.insert(out.end(), f.payload.begin(), f.payload.end());
            ++expected;
            failures = 0;
            if (!c_.PauseHere()) return false;
        } else if (f.number < expected) {
            Answer(kAck);  // a repeat of a block already taken
        } else {
            Answer(kNak);
            ++failures;
        }
    }
    c_.Event("data-failed");
    return false;
}

void TextFrameHandheld::Stream(const Bytes& pattern, int gap_ms) {
    // Whole runs of the pattern between looks at the line when it goes as fast as it can.
    Bytes run;
    while (run.size() < 512) run.insert(run.end(), pattern.begin(), pattern.end());
    for (;;) {
        std::uint8_t in = 0;
        if (gap_ms > 0) {
            for (std::uint8_t b : pattern) {
                Line::Read r = line_.ReadByte(in, gap_ms);
                if (r == Line::kStopped) return;
                if (r == Line::kByte) {
                    line_.Unread(in);
                    return;
                }
                if (!line_.Write(Bytes{b})) return;
            }
            continue;
        }
        if (!line_.Write(run)) return;
        Line::Read r = line_.ReadByte(in, 0);
        if (r == Line::kStopped) return;
        if (r == Line::kByte) {
            line_.Unread(in);
            return;
        }
    }
}

Bytes TextFrameHandheld::FindAnswer(bool first) {
    Store& s = c_.store;
    if (first) {
        s.found = s.Find(s.name);
        s.found_next = 0;
        endless_listing_ = false;
    }
    Fault f;
    if (!first && c_.Fire({Fault::Kind::EndlessListing}, &f)) endless_listing_ = true;
    if (!first && !last_entry_.empty() && c_.Fire({Fault::Kind::RepeatEntry}, &f)) return last_entry_;
    Bytes entry(56, 0);
    auto put_size = [&entry](std::uint32_t size) {
        for (int i = 0; i < 4; ++i) entry[33 + i] = static_cast<std::uint8_t>(size >> (8 * i));
    };
    if (endless_listing_) {
        const std::string name = "E" + std::to_string(++made_up_entries_) + ".DAT";
        std::copy(name.begin(), name.end(), entry.begin() + 1);
        put_size(1);
        entry[37] = 1;
        const std::string t = TimeText18(std::filesystem::file_time_type::clock::now());
        std::copy(t.begin(), t.end(), entry.begin() + 38);
    } else if (s.found_next >= s.found.size()) {
        entry[0] = 0xFF;
        return entry;
    } else {
        const Store::Entry& e = s.found[s.found_next++];
        std::copy_n(e.name.begin(), std::min<std::size_t>(e.name.size(), 32), entry.begin() + 1);
        put_size(static_cast<std::uint32_t>(std::min<std::uint64_t>(e.size, 0xFFFFFFFFu)));
        entry[37] = e.folder ? 4 : 1;
        std::string t = TimeText18(e.time);
        std::copy(t.begin(), t.end(), entry.begin() + 38);
    }
    if (c_.Fire({Fault::Kind::LyingSize}, &f)) put_size(static_cast<std::uint32_t>(f.value));
    last_entry_ = entry;
    return entry;
}

void TextFrameHandheld::SendStatus(int command, int sub, std::uint8_t status) {
    auto key = std::to_string(command) + "/" + std::to_string(sub);
    if (auto it = c_.config.forced_status.find(key); it != c_.config.forced_status.end()) status = it->second;
    Bytes reply = {static_cast<std::uint8_t>(command), static_cast<std::uint8_t>(sub), status};
    Fault f;
    if (c_.Fire({Fault::Kind::WrongStatus, Fault::Kind::WrongEcho, Fault::Kind::ShortStatus}, &f)) {
        if (f.kind == Fault::Kind::WrongStatus) reply[2] = static_cast<std::uint8_t>(f.value);
        if (f.kind == Fault::Kind::WrongEcho) reply[1] = static_cast<std::uint8_t>(sub + 1);
        if (f.kind == Fault::Kind::ShortStatus) reply.resize(std::clamp(f.value, 0, 2));
    }
    SendData(reply, true);
}

void TextFrameHandheld::Handle(int command, int sub, const Bytes& data) {
    Store& s = c_.store;
    Bytes in;
    auto reply = [&](const Bytes& bytes) { SendData(bytes); };
    if (command == 15) return;  // the acknowledged packet is the answer
    if (command == 16) {
        // The verdict stays until the next upload begins: a PC that did not get the answer to this
        // command sends it again and must hear the same verdict.
        SendStatus(command, sub, upload_done_ ? 0 : 1);
        return;
    }
    if (command == 53) {
        if (ReceiveData(in)) {
            std::string text = Text(in);
            std::tm tm{};
            if (strptime(text.c_str(), "%Y/%m/%d %H:%M:%S", &tm)) {
                tm.tm_isdst = -1;
                clock_offset_ = std::chrono::seconds(std::mktime(&tm) - std::time(nullptr));
            }
            c_.UpdateLastCommandPayload(in);
        }
        return;
    }
    if (command == 60) {
        if (!c_.config.clock_text.empty()) {
            reply(Bytes(c_.config.clock_text.begin(), c_.config.clock_text.end()));
            return;
        }
        std::time_t t = std::time(nullptr) + clock_offset_.count();
        std::tm tm{};
        localtime_r(&t, &tm);
        char text[32] = {};
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
        reply(Bytes(text, text + 20));
        return;
    }
    if (command == 73) {
        {
            std::lock_guard lock(c_.mutex);
            c_.shown_text = Text(data);
        }
        c_.Event("shown:" + Text(data));
        return;
    }
    if (command == 74) {
        Bytes block = SystemBlock(c_.config, 152, true);
        reply(block);
        return;
    }
    if (command != 80) {
        if (HasStatusReply(command, sub)) SendStatus(command, sub, 0);
        return;
    }
    switch (sub) {
        case 1:
            if (ReceiveData(in)) {
                s.name = Text(in);
                c_.UpdateLastCommandPayload(in);
            }
            return;
        case 2: {
            bool ok = !s.name.empty() && !s.IsFolder(s.name);
            SendStatus(command, sub, ok ? 0 : 1);
            if (!ok) return;
            upload_done_ = false;
            if (!ReceiveData(in, announced_size_)) return;
            Fault f;
            if (c_.Fire({Fault::Kind::DropUpload}, &f)) {
                upload_done_ = true;  // and says so
                c_.Event("dropped:" + s.Absolute(s.name));
                return;
            }
            std::filesystem::path stored;
            std::filesystem::file_time_type old_time{};
            std::error_code ec;
            const bool had_file = s.Resolve(s.name, stored) && std::filesystem::is_regular_file(stored, ec);
            if (had_file) old_time = std::filesystem::last_write_time(stored, ec);
            const bool keep_time = c_.Fire({Fault::Kind::KeepTime}, &f) && had_file && !ec;
            if (s.Write(s.name, in, &stored)) {
                if (keep_time) std::filesystem::last_write_time(stored, old_time, ec);
                upload_done_ = true;
                c_.Event("stored:" + s.Absolute(s.name));
                c_.AfterStore(stored);
            }
            return;
        }
        case 3: {
            Bytes file;
            bool ok = s.Read(s.name, file);
            SendStatus(command, sub, ok ? 0 : 1);
            if (ok && SendData(file)) c_.Event("sent:" + s.Absolute(s.name));
            return;
        }
        case 4: {
            bool ok = s.Delete(s.name);
            if (ok) c_.Event("deleted:" + s.Absolute(s.name));
            SendStatus(command, sub, ok ? 0 : 1);
            return;
        }
        case 5:
            announced_size_ = data.size() >= 4 ? Le32(data.data()) : 0;
            SendStatus(command, sub, 0);
            return;
        case 10: {
            std::string cur = s.current;
            reply(Bytes(cur.begin(), cur.end()));
            return;
        }
        case 11:
            if (ReceiveData(in)) {
                s.path = Text(in);
                c_.UpdateLastCommandPayload(in);
            }
            return;
        case 12:
            SendStatus(command, sub, s.RemoveDir(s.path) ? 0 : 1);
            return;
        case 13:
            SendStatus(command, sub, s.MakeDir(s.path) ? 0 : 1);
            return;
        case 14:
        case 15:
            reply(FindAnswer(sub == 14));
            return;
        case 21:
            c_.Event(s.ChangeDir(s.path) ? "cd:" + s.current : "cd-failed");
            return;
        case 23: {
            Bytes b;
            PutLe32(b, c_.FreeSpace());
            reply(b);
            return;
        }
        case 24: {
            Bytes b;
            PutLe32(b, c_.config.bad_space);
            reply(b);
            return;
        }
        case 25:
            reply(Bytes(c_.config.number.begin(), c_.config.number.end()));
            return;
        case 33:
            SendStatus(command, sub, 0);
            c_.Event("run:" + s.path + "|" + s.name);
            return;
        case 34:
            if (ReceiveData(in)) {
                message_ = in;
                message_.resize(48, 0);
                c_.UpdateLastCommandPayload(in);
            }
            return;
        case 35:
            reply(message_);
            return;
        case 36:
            reply(Bytes(c_.config.model.begin(), c_.config.model.end()));
            return;
        case 40: {
            Bytes info(24, 0);
            if (c_.config.flash_units >= 0) {
                info[1] = 1;
                for (int i = 0; i < 4; ++i)
                    info[12 + i] = static_cast<std::uint8_t>(c_.config.flash_units >> (8 * i));
            }
            info.resize(static_cast<std::size_t>(std::clamp(c_.config.flash_info_size, 1, 24)));
            reply(info);
            return;
        }
        case 41: {
            int block = data.size() >= 4 ? static_cast<int>(Le32(data.data()) / 4) : 0;
            auto it = c_.config.flash_page_sizes.find(block);
            Bytes page(it != c_.config.flash_page_sizes.end() ? static_cast<std::size_t>(it->second) : 2048);
            for (std::size_t i = 0; i < page.size(); ++i) page[i] = static_cast<std::uint8_t>(block * 31 + i);
            reply(page);
            return;
        }
        default:
            if (HasStatusReply(command, sub)) SendStatus(command, sub, 0);
            return;
    }
}

void TextFrameHandheld::Serve() {
    while (!line_.stop) {
        RxFrame f;
        Rx r = ReceiveFrame(f, -1);
        if (r == Rx::Stopped) return;
        if (Muted()) continue;
        {
            std::lock_guard lock(c_.mutex);
            c_.ctx_command = c_.ctx_sub = -1;
        }
        if (r == Rx::BadCheck || r == Rx::Overlong || (r == Rx::Garbled && !f.raw.empty())) {
            Answer(kNak);
            continue;
        }
        if (r != Rx::Good) continue;
        if (f.number == 0) {
            Answer(kAck);
            c_.Event("abort");
            continue;
        }
        if (f.number != tf::kLast || f.payload.size() != 24) {
            // A data frame nobody waits for any more (a repeat after the transfer ended): acknowledge it.
            c_.Event("stray-frame");
            if (!last_raw_.empty() && f.raw == last_raw_) {
                {
                    std::lock_guard lock(c_.mutex);
                    c_.ctx_command = last_command_;
                    c_.ctx_sub = last_sub_;
                }
                AnswerLast(f.raw);
            } else {
                Answer(kAck);
            }
            continue;
        }
        CommandRecord cmd;
        cmd.command = f.payload[0];
        cmd.sub = f.payload[1];
        unsigned len = std::min<unsigned>(20, f.payload[2] | (f.payload[3] << 8));
        cmd.data.assign(f.payload.begin() + 4, f.payload.begin() + 4 + len);
        {
            std::lock_guard lock(c_.mutex);
            c_.ctx_command = cmd.command;
            c_.ctx_sub = cmd.sub;
        }
        if (MutedFrom("command")) continue;
        Fault fault;
        if (c_.Fire({Fault::Kind::Nak, Fault::Kind::Silence}, &fault)) {
            if (fault.kind == Fault::Kind::Nak) Answer(kNak);
            continue;
        }
        const bool spoiled = c_.Fire({Fault::Kind::SpoilAnswer, Fault::Kind::DamageAnswer}, &fault);
        int command = cmd.command, sub = cmd.sub;
        Bytes data = cmd.data;
        c_.RecordCommand(std::move(cmd));
        // A command that nothing follows takes effect before its acknowledgement, so that whoever
        // sees the PC's call return also sees its effect.
        bool immediate = command == 15 || command == 73 || (command == 80 && sub == 21);
        if (immediate) Handle(command, sub, data);
        if (!spoiled) {
            Answer(kAck);
        } else if (fault.kind == Fault::Kind::SpoilAnswer) {
            Answer(kAck ^ 0x01);
        } else {
            AnswerDamaged(fault);
        }
        if (!immediate) Handle(command, sub, data);
    }
}

class TextFrameUsbHandler final : public CommandHandler {
  public:
    TextFrameUsbHandler(Simulator::Core& core, UsbDataPath& path) : handheld_(core, &path) {}
    void Handle(const CommandRecord& cmd) override {
        if (handheld_.MutedFrom("command")) return;
        handheld_.Handle(cmd.command, cmd.sub, cmd.data);
    }

  private:
    TextFrameHandheld handheld_;
};

}  // namespace

std::unique_ptr<CommandHandler> MakeTextFrameHandler(Simulator::Core& core, UsbDataPath& path) {
    return std::make_unique<TextFrameUsbHandler>(core, path);
}

void Simulator::Core::ServeTextFrame() {
    TextFrameHandheld handheld(*this);
    handheld.Serve();
}

}  // namespace hhsim
