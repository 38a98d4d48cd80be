// The byte-frame handheld: answers every frame with one byte, takes 23-byte command blocks, sends its
// answers as numbered frames (the last one numbered 0xFFFF) and carries file data with the sum or, when
// its check-mode answer asked for it, the CRC.  Its 32-bit numbers travel most significant byte first.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>

#include "sim/core.h"

namespace hhsim {

namespace {

using FrameFault = Simulator::Core::FrameFault;

constexpr int kByteTimeoutMs = 500;     // inside a frame
constexpr int kSecondCheckByteMs = 25;  // a frame with the sum has no second check byte
constexpr std::uint8_t kAccepted = 0;
constexpr std::uint8_t kBadCheck = 2;
constexpr std::uint8_t kByteTimeout = 3;
constexpr std::size_t kBlock = 256;
// Sends of one frame, and receives of one frame awaited again, in both directions.
constexpr int kAttempts = 5;

void PutBe32(Bytes& out, std::uint32_t v) {
    for (int i = 3; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

std::uint32_t Be32(const std::uint8_t* p) {
    return (static_cast<std::uint32_t>(p[0]) << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
}

std::string Text(const std::uint8_t* p, std::size_t n) {
    std::string s(reinterpret_cast<const char*>(p), n);
    auto nul = s.find('\0');
    if (nul != std::string::npos) s.resize(nul);
    return s;
}

Bytes Cut(const std::string& s, std::size_t n) {
    return Bytes(s.begin(), s.begin() + std::min(s.size(), n));
}

struct RxFrame {
    std::uint16_t number = 0;
    std::uint16_t length = 0;
    Bytes payload;
    Bytes raw;
    bool sum = true;  // carried the one-byte sum
};

// A frame that carried more than any frame can (its end marker lost on the line) is a damaged frame
// like one with a bad check: answered 2 and awaited again.
enum class Rx { Good, BadCheck, Nothing, TimedOut, Stopped };

class ByteFrameHandheld {
  public:
    explicit ByteFrameHandheld(Simulator::Core& core, UsbDataPath* usb = nullptr)
        : c_(core), line_(core.line), usb_(usb) {}
    void Serve();

  private:
    Rx ReceiveFrame(RxFrame& frame, int first_timeout_ms, bool crc);
    // `damaged_sends`: the first sends that get one byte added (the fault plan's AddByte).
    bool SendFrame(const Bytes& frame, bool corrupt_first, int damaged_sends = 0);
    bool SendData(const Bytes& data, bool crc = false, bool counted = true);
    bool ReceiveData(Bytes& out, bool crc = false);
    void Answer(std::uint8_t b) { line_.Write(Bytes{b}); }
    void SendAbort(bool crc);
    void Handle(const CommandRecord& cmd);
    // Whether the command in hand finds the handheld silent: gone silent before, or from this one on
    // by a GoSilent fault (event "silent").
    bool GoesSilent() {
        if (silent_) return true;
        Fault fault;
        if (!c_.Fire({Fault::Kind::GoSilent}, &fault)) return false;
        silent_ = true;
        c_.Event("silent");
        return true;
    }
    void HandleFile(int sub);
    void HandleFileOp(int sub);
    Bytes FindReply(bool first);
    // The plan's Babble or Dribble in place of an outbound data frame.
    void Hostile(const Fault& fault);
    static bool LooksLikeCommand(const RxFrame& f);
    void Unread(const Bytes& raw) {
        for (auto it = raw.rbegin(); it != raw.rend(); ++it) line_.Unread(*it);
    }

    friend class ByteFrameUsbHandler;

    Simulator::Core& c_;
    Line& line_;
    UsbDataPath* usb_ = nullptr;  // over USB the data moves through the driver instead of the line
    // The file stream of the next upload or download command carries the CRC.  It holds until another
    // command comes, so that a PC that sends the upload command again (its answer was lost) gets the
    // same check.
    bool crc_next_ = false;
    bool feature_asked_ = false;
    bool format_next_ = false;
    // A feature query opens a format unless it follows the number or the range query of a rescue,
    // whose flash command asks for the flash information.
    bool feature_opens_format_ = false;
    int previous_command_ = -1;
    Bytes argument_;  // of the command being handled
    Bytes block_;     // the whole command block being handled, as it came
    std::uint8_t last_result_ = 0;
    Bytes message_ = Bytes(48, 0);
    bool endless_ = false;  // the search being answered never ends (EndlessListing)
    bool silent_ = false;   // gone silent (GoSilent): nothing is answered or done any more
    unsigned made_up_ = 0;  // entries made up for it so far
    std::chrono::seconds clock_offset_{0};
};

Rx ByteFrameHandheld::ReceiveFrame(RxFrame& frame, int first_timeout_ms, bool crc) {
    std::uint8_t b = 0;
    for (;;) {
        auto r = line_.ReadByte(b, first_timeout_ms);
        if (r == Line::kStopped) return Rx::Stopped;
        if (r == Line::kTimeout) return Rx::Nothing;
        if (b == '#') break;
    }
restart:
    frame = RxFrame{};
    frame.raw.push_back('#');
    auto next = [&](std::uint8_t& out, int timeout = kByteTimeoutMs) -> Rx {
        auto r = line_.ReadByte(out, timeout);
        if (r == Line::kStopped) return Rx::Stopped;
        if (r == Line::kTimeout) return Rx::TimedOut;
        frame.raw.push_back(out);
        return Rx::Good;
    };
    std::uint8_t header[4];
    for (auto& h : header) {
        if (Rx r = next(h); r != Rx::Good) return r;
    }
    frame.length = static_cast<std::uint16_t>(header[0] | (header[1] << 8));
    frame.number = static_cast<std::uint16_t>(header[2] | (header[3] << 8));
    bool overlong = false;
    for (;;) {
        if (Rx r = next(b); r != Rx::Good) return r;
        if (b == '$') break;
        if (b == '#') goto restart;  // cannot be inside a well-formed payload: a new frame begins
        if (b == '@') {
            if (Rx r = next(b); r != Rx::Good) return r;
            b = b == 'A' ? '@' : b == 'B' ? '#' : b == 'C' ? '$' : b;
        }
        if (frame.payload.size() >= kBlock) {
            overlong = true;
        } else {
            frame.payload.push_back(b);
        }
    }
    std::uint8_t first = 0, second = 0;
    if (Rx r = next(first); r != Rx::Good) return r;
    bool good;
    std::uint8_t sum = Sum8(frame.payload.data(), frame.payload.size(), Sum8(header, 4));
    if (crc && next(second, kSecondCheckByteMs) == Rx::Good) {
        frame.sum = false;
        std::uint16_t c = Crc16Xmodem(frame.payload.data(), frame.payload.size(), Crc16Xmodem(header, 4));
        good = first == (c & 0xFF) && second == (c >> 8);
    } else {
        if (line_.stop) return Rx::Stopped;
        good = first == sum;
    }
    good = good && frame.payload.size() == frame.length;
    FrameRecord rec;
    rec.inbound = true;
    rec.number = frame.number;
    rec.check_ok = good && !overlong;
    rec.payload = frame.payload;
    rec.raw = frame.raw;
    c_.Record(std::move(rec));
    return good && !overlong ? Rx::Good : Rx::BadCheck;
}

bool ByteFrameHandheld::SendFrame(const Bytes& frame, bool corrupt_first, int damaged_sends) {
    const int attempts = c_.config.send_attempts > 0 ? c_.config.send_attempts : kAttempts;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        // Whatever came in since the last answer (a byte the line added after it, a late answer) is
        // not the answer to this frame.  A '#' among it is the PC's own next frame: it moved on.
        Bytes stale = line_.Purge();
        if (auto hash = std::find(stale.begin(), stale.end(), '#'); hash != stale.end()) {
            Unread(Bytes(hash, stale.end()));
            break;
        }
        Bytes out = frame;
        if (corrupt_first && attempt == 0) out.back() ^= 0x5A;
        if (attempt < damaged_sends) out.insert(out.begin() + 5, 0x33);  // first payload place
        FrameRecord rec;
        rec.inbound = false;
        rec.raw = out;
        rec.number = static_cast<std::uint16_t>(out[3] | (out[4] << 8));
        c_.Record(std::move(rec));
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
        if (answer == kAccepted) return true;
        if (answer == '#') {
            // The PC has moved on to a frame of its own.
            line_.Unread(answer);
            break;
        }
        // Any other answer, whether the PC's refusal or a byte the line spoiled, asks for the frame
        // again.
    }
    c_.Event("gave-up-send");
    return false;
}

bool ByteFrameHandheld::SendData(const Bytes& data, bool crc, bool counted) {
    if (usb_ != nullptr) return usb_->Send(data);
    std::size_t off = 0;
    std::uint16_t number = 1;
    for (;;) {
        std::size_t rest = data.size() - off;
        bool last = rest <= kBlock;
        std::size_t len = last ? rest : kBlock;
        std::uint16_t num = last ? bf::kLast : number;
        FrameFault fault = FrameFault::None;
        if (counted && !c_.NextOutboundFault(fault)) return false;
        if (fault == FrameFault::Abort) {
            SendAbort(crc);
            return false;
        }
        if (fault == FrameFault::SkipNumber) num = static_cast<std::uint16_t>(number + 1);
        if (fault == FrameFault::EarlyLast) {
            num = bf::kLast;
            last = true;
        }
        Fault hostile;
        if (counted && c_.Fire({Fault::Kind::Babble, Fault::Kind::Dribble}, &hostile)) {
            Hostile(hostile);
            return false;
        }
        bool corrupt = fault == FrameFault::CorruptCheck, repeat = fault == FrameFault::Repeat;
        Fault added;
        int damaged = c_.Fire({Fault::Kind::AddByte}, &added) ? std::max(1, added.value) : 0;
        Bytes frame = bf::BuildFrame(num, data.data() + off, len, crc);
        if (!SendFrame(frame, corrupt, damaged)) return false;
        if (repeat && !SendFrame(frame, false)) return false;
        if (last) return true;
        off += kBlock;
        ++number;
    }
}

void ByteFrameHandheld::Hostile(const Fault& fault) {
    const bool dribble = fault.kind == Fault::Kind::Dribble;
    c_.Event(dribble ? "dribble" : "babble");
    Bytes piece;
    if (dribble) {
        line_.Write(Bytes{'#', 0x00, 0x01, 0xFF, 0xFF});  // a last frame of 256 bytes that never ends
        piece = Bytes{'x'};
    } else if (fault.value == 0) {
        piece = Bytes(32, 0);
    } else {
        for (int i = 0; i < 8; ++i) piece.insert(piece.end(), {'#', 0x01, 0x01, 0x01, 0x01});
    }
    const auto interval = std::chrono::milliseconds(dribble ? std::max(1, fault.value) : 1);
    // Until the PC closes its port or starts a frame of its own; a minute at most, so that a PC that
    // does neither cannot hold the handheld for ever.
    line_.PcClosed();
    const auto until = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    auto next = std::chrono::steady_clock::now() + interval;
    while (std::chrono::steady_clock::now() < until) {
        if (line_.PcClosed()) break;
        const auto wait =
            std::chrono::duration_cast<std::chrono::milliseconds>(next - std::chrono::steady_clock::now());
        std::uint8_t b = 0;
        const Line::Read r = line_.ReadByte(b, static_cast<int>(std::max<long>(0, wait.count())));
        if (r == Line::kStopped) return;
        if (r == Line::kByte) {
            if (b == '#') {
                line_.Unread(b);
                break;
            }
            continue;  // the PC's answer bytes change nothing
        }
        if (!line_.Write(piece)) return;
        next += interval;
    }
    c_.Event(dribble ? "dribble-end" : "babble-end");
}

void ByteFrameHandheld::SendAbort(bool crc) {
    if (usb_ != nullptr) return usb_->Abandon();
    Bytes abort = bf::BuildFrame(0, nullptr, 0, crc);
    FrameRecord rec;
    rec.inbound = false;
    rec.raw = abort;
    c_.Record(std::move(rec));
    line_.Write(abort);
    std::uint8_t answer;
    line_.ReadByte(answer, c_.config.ack_timeout_ms, true);  // the PC answers it, or has closed
    c_.Event("abort-sent");
}

bool ByteFrameHandheld::LooksLikeCommand(const RxFrame& f) {
    if (f.number != bf::kLast || f.payload.size() != 23 || f.payload[2] != 0) return false;
    static const int kCommands[] = {13, 15, 25, 47, 49, 53, 60, 73, 74, 77, 80};
    return std::find(std::begin(kCommands), std::end(kCommands), f.payload[0]) != std::end(kCommands);
}

bool ByteFrameHandheld::ReceiveData(Bytes& out, bool crc) {
    out.clear();
    if (usb_ != nullptr) return usb_->Receive(out);
    std::uint16_t expected = 1;
    // Failed receives of the frame awaited now: the PC sends each frame at most five times.
    int failures = 0;
    while (failures < kAttempts) {
        RxFrame f;
        Rx r = ReceiveFrame(f, c_.config.data_timeout_ms, crc);
        if (r == Rx::Stopped || r == Rx::Nothing) {
            c_.Event("data-timeout");
            return false;
        }
        if (r == Rx::TimedOut) {
            Answer(kByteTimeout);
            ++failures;
            continue;
        }
        if (r == Rx::BadCheck) {
            Answer(kBadCheck);
            ++failures;
            continue;
        }
        // A command block where data was due (a sum where the CRC was due, or the shape of a block):
        // the PC gave the transfer up.  Serve the command.  A handheld that cannot tell a copy of the
        // command it is serving from a 23-byte last block takes the copy as the data.
        Fault as_data;
        const bool copy_taken = !crc && !block_.empty() && f.payload == block_ && LooksLikeCommand(f) &&
                                c_.Fire({Fault::Kind::ResentAsData}, &as_data);
        if (copy_taken) c_.Event("resent-as-data");
        if (!copy_taken && ((crc && f.sum) || (!crc && LooksLikeCommand(f)))) {
            Unread(f.raw);
            c_.Event("data-abandoned");
            return false;
        }
        Fault fault;
        if (c_.Fire({Fault::Kind::Nak, Fault::Kind::Silence}, &fault)) {
            if (fault.kind == Fault::Kind::Nak) Answer(kBadCheck);
            continue;
        }
        Fault spoiled;
        if (f.number == bf::kLast && c_.Fire({Fault::Kind::DamageLastAnswer}, &spoiled)) {
            if (spoiled.value != 0) Answer(static_cast<std::uint8_t>(kAccepted ^ spoiled.value));
        } else {
            Answer(kAccepted);
        }
        if (f.number == 0) {
            c_.Event("abort");
            return false;
        }
        if (f.number == expected || f.number == bf::kLast) {
            out.insert(out.end(), f.payload.begin(), f.payload.end());
            if (f.number == bf::kLast) return true;
            ++expected;
            failures = 0;
            if (!c_.PauseHere()) return false;
        }
        // Any other number: acknowledged and dropped, as a repeat.
    }
    c_.Event("data-failed");
    return false;
}

Bytes ByteFrameHandheld::FindReply(bool first) {
    Store& s = c_.store;
    Bytes reply(114, 0);
    if (first) {
        endless_ = false;
        made_up_ = 0;
    }
    Fault f;
    if (!first && s.found_next > 0 && s.found_next <= s.found.size() &&
        c_.Fire({Fault::Kind::RepeatEntry}, &f))
        --s.found_next;  // the entry before, again
    Store::Entry made;
    const Store::Entry* entry = nullptr;
    if (s.found_next < s.found.size()) {
        entry = &s.found[s.found_next++];
    } else if (endless_ || c_.Fire({Fault::Kind::EndlessListing}, &f)) {
        endless_ = true;
        made.name = "E" + std::to_string(++made_up_ % 10000000u) + ".BIN";
        made.size = made_up_;
        made.time = std::filesystem::file_time_type::clock::now();
        entry = &made;
    } else {
        reply[0] = reply[1] = 0xFF;
        return reply;
    }
    const Store::Entry& e = *entry;
    reply[0] = 0x01;
    auto sys = std::chrono::file_clock::to_sys(e.time);
    std::time_t t = std::chrono::system_clock::to_time_t(sys);
    std::tm tm{};
    localtime_r(&t, &tm);
    char text[64];
    std::snprintf(text, sizeof text, "%02d-%02d-%02d%02d:%02d", tm.tm_year % 100, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min);
    std::copy_n(text, 13, reply.begin() + 80);
    std::uint32_t size = static_cast<std::uint32_t>(std::min<std::uint64_t>(e.size, 0xFFFFFFFFu));
    if (!e.folder && c_.Fire({Fault::Kind::LyingSize}, &f)) size = static_cast<std::uint32_t>(f.value);
    for (int i = 0; i < 4; ++i) reply[96 + i] = static_cast<std::uint8_t>(size >> (8 * (3 - i)));
    std::string path = e.name.size() <= 11 ? "\\" + e.name : e.name.substr(0, 12);
    std::copy(path.begin(), path.end(), reply.begin() + 100);
    reply[113] = e.folder ? 4 : 1;
    if (!e.folder && c_.Fire({Fault::Kind::WrongKind}, &f)) reply[113] = static_cast<std::uint8_t>(f.value);
    return reply;
}

void ByteFrameHandheld::HandleFile(int sub) {
    HandleFileOp(sub);
    // A result byte forced by the configuration stands for the handheld's own verdict.
    auto key = "80/" + std::to_string(sub);
    if (auto it = c_.config.forced_status.find(key); it != c_.config.forced_status.end())
        last_result_ = it->second;
}

void ByteFrameHandheld::HandleFileOp(int sub) {
    Store& s = c_.store;
    Bytes in;
    switch (sub) {
        case 1:
            if (ReceiveData(in)) {
                s.name = Text(in.data(), in.size());
                c_.UpdateLastCommandPayload(in);
            }
            return;
        case 2: {
            bool crc = crc_next_;
            last_result_ = 1;
            if (!ReceiveData(in, crc)) return;
            std::filesystem::path stored;
            if (!s.name.empty() && s.Write(s.name, in, &stored)) {
                last_result_ = 0;
                c_.Event("stored:" + s.Absolute(s.name));
                c_.AfterStore(stored);
            }
            return;
        }
        case 3: {
            bool crc = crc_next_;
            Bytes file;
            if (!s.Read(s.name, file)) {
                SendAbort(crc);  // nothing to send: the stream is abandoned with block 0
                return;
            }
            if (SendData(file, crc)) c_.Event("sent:" + s.Absolute(s.name));
            return;
        }
        case 4: {
            bool ok = s.Delete(s.name);
            last_result_ = ok ? 0 : 1;
            if (ok) c_.Event("deleted:" + s.Absolute(s.name));
            if (feature_asked_) {
                feature_asked_ = false;
                SendData(Bytes{0}, false, false);  // the deletion has completed
            }
            return;
        }
        case 10:
            SendData(Cut(s.current, 65));
            return;
        case 11:
            if (ReceiveData(in)) {
                s.path = Text(in.data(), in.size());
                c_.UpdateLastCommandPayload(in);
            }
            return;
        case 12:
            last_result_ = s.RemoveDir(s.path) ? 0 : 1;
            return;
        case 13:
            last_result_ = s.MakeDir(s.path) ? 0 : 1;
            return;
        case 14:
        case 15:
            if (sub == 14) {
                s.found = s.Find(s.name);
                s.found_next = 0;
            }
            SendData(FindReply(sub == 14));
            return;
        case 21:
            last_result_ = s.ChangeDir(s.path) ? 0 : 1;
            c_.Event(last_result_ == 0 ? "cd:" + s.current : "cd-failed");
            return;
        case 22: {
            Bytes result{last_result_};
            Fault f;
            if (c_.Fire({Fault::Kind::WrongStatus, Fault::Kind::ShortStatus}, &f)) {
                if (f.kind == Fault::Kind::WrongStatus) result[0] = static_cast<std::uint8_t>(f.value);
                if (f.kind == Fault::Kind::ShortStatus) result.clear();
            }
            SendData(result, false, false);
            return;
        }
        case 23: {
            Bytes b;
            PutBe32(b, c_.FreeSpace());
            SendData(b);
            return;
        }
        case 24: {
            Bytes b;
            PutBe32(b, c_.config.bad_space);
            SendData(b);
            return;
        }
        case 25:
            SendData(Cut(c_.config.number, 9));
            return;
        case 26: {
            Bytes b;
            PutBe32(b, c_.config.rescue_start);
            PutBe32(b, c_.config.rescue_length);
            SendData(b);
            return;
        }
        case 27:
            if (c_.config.feature >= 0) {
                feature_asked_ = true;
                SendData(Bytes{static_cast<std::uint8_t>(c_.config.feature)}, false, false);
            }
            return;
        case 32:
            SendData(message_);
            return;
        case 33:
            if (ReceiveData(in)) {
                c_.UpdateLastCommandPayload(in);
                c_.Event("run");
            }
            return;
        case 40: {
            if (!format_next_) {
                // Flash information: byte 1 says whether there is any, bytes 12-15 count the pages.
                Bytes info(24, 0);
                if (c_.config.flash_pages > 0) {
                    info[1] = 1;
                    for (int i = 0; i < 4; ++i)
                        info[12 + i] = static_cast<std::uint8_t>(c_.config.flash_pages >> (24 - 8 * i));
                }
                SendData(info);
                return;
            }
            // Format: the store is emptied, then the one completion byte.
            std::error_code ec;
            for (const auto& e : std::filesystem::directory_iterator(s.Root(), ec)) {
                std::filesystem::remove_all(e.path(), ec);
            }
            s.current = "\\";
            c_.Event("formatted");
            SendData(Bytes{0}, false, false);
            return;
        }
        case 41: {
            // The page number in the first four argument bytes, most significant first.
            std::uint32_t page = argument_.size() >= 4 ? Be32(argument_.data()) : 0;
            Bytes data(4096);
            for (std::uint32_t i = 0; i < data.size(); ++i) data[i] = FlashPageByte(page, i);
            SendData(data);
            return;
        }
        default:
            return;
    }
}

void ByteFrameHandheld::Handle(const CommandRecord& cmd) {
    // Over USB the commands come here one by one; on the line Serve() goes silent.
    if (usb_ != nullptr && GoesSilent()) return;
    const std::uint8_t* arg = cmd.data.data();
    argument_ = cmd.data;
    // The completion byte is owed only to a deletion that follows the feature query (with its name);
    // a flash command right after the feature query is a format, any other one asks for the rescue
    // information.
    format_next_ = feature_asked_ && feature_opens_format_ && cmd.command == 80 && cmd.sub == 40;
    if (cmd.command == 80 && cmd.sub == 27)
        feature_opens_format_ = previous_command_ != 80 * 256 + 25 && previous_command_ != 80 * 256 + 26;
    previous_command_ = cmd.command * 256 + cmd.sub;
    if (cmd.command != 77 && !(cmd.command == 80 && (cmd.sub == 2 || cmd.sub == 3))) crc_next_ = false;
    if (cmd.command != 80 || (cmd.sub != 1 && cmd.sub != 4 && cmd.sub != 27)) feature_asked_ = false;
    switch (cmd.command) {
        case 13:
        case 15:
            return;
        case 25: {
            Bytes in;
            if (ReceiveData(in)) {
                message_ = in;
                message_.resize(48, 0);
                c_.UpdateLastCommandPayload(in);
            }
            return;
        }
        case 47:
            SendData(message_);
            return;
        case 49:
            SendData(Cut(c_.config.version, 9));
            return;
        case 53: {
            std::tm tm{};
            std::string text = Text(arg, 20);
            if (strptime(text.c_str(), "%y-%m-%d %H:%M:%S", &tm)) {
                tm.tm_isdst = -1;
                clock_offset_ = std::chrono::seconds(std::mktime(&tm) - std::time(nullptr));
            }
            return;
        }
        case 60: {
            if (!c_.config.clock_text.empty()) {
                SendData(Bytes(c_.config.clock_text.begin(), c_.config.clock_text.end()));
                return;
            }
            std::time_t t = std::time(nullptr) + clock_offset_.count();
            std::tm tm{};
            localtime_r(&t, &tm);
            char text[32] = {};
            std::strftime(text, sizeof text, "%Y/%m/%d %H:%M:%S", &tm);
            SendData(Bytes(text, text + 20));
            return;
        }
        case 73: {
            {
                std::lock_guard lock(c_.mutex);
                c_.shown_text = Text(arg, 20);
            }
            c_.Event("shown:" + Text(arg, 20));
            return;
        }
        case 74: {
            std::uint32_t address = Be32(arg), length = std::min<std::uint32_t>(Be32(arg + 4), 4096);
            Bytes memory(length, 0);
            if (address == 0x0040AF00u) {
                Bytes block = SystemBlock(c_.config, 156, false);
                if (c_.config.drive_e) block[80] = block[81] = 1;
                std::copy_n(block.begin(), std::min<std::size_t>(length, block.size()), memory.begin());
            } else {
                for (std::uint32_t i = 0; i < length; ++i) memory[i] = MemoryByte(address + i);
            }
            SendData(memory);
            return;
        }
        case 77:
            crc_next_ = c_.config.crc_mode == 'Z';
            SendData(Bytes{c_.config.crc_mode}, false, false);
            return;
        case 80:
            HandleFile(cmd.sub);
            return;
        default:
            return;
    }
}

void ByteFrameHandheld::Serve() {
    while (!line_.stop) {
        RxFrame f;
        Rx r = ReceiveFrame(f, -1, false);
        if (r == Rx::Stopped) return;
        if (silent_) continue;
        {
            std::lock_guard lock(c_.mutex);
            c_.ctx_command = c_.ctx_sub = -1;
        }
        if (r == Rx::BadCheck) {
            Answer(kBadCheck);
            continue;
        }
        if (r == Rx::TimedOut) {
            Answer(kByteTimeout);
            continue;
        }
        if (r != Rx::Good) continue;
        if (f.number != bf::kLast || f.payload.size() != 23) {
            Answer(kAccepted);  // a frame nobody waits for any more
            c_.Event("stray-frame");
            continue;
        }
        CommandRecord cmd;
        cmd.command = f.payload[0];
        cmd.sub = f.payload[1];
        cmd.value = f.payload[2];
        cmd.data.assign(f.payload.begin() + 3, f.payload.end());
        {
            std::lock_guard lock(c_.mutex);
            c_.ctx_command = cmd.command;
            c_.ctx_sub = cmd.sub;
        }
        if (GoesSilent()) continue;
        Fault fault;
        if (c_.Fire({Fault::Kind::Nak, Fault::Kind::Silence}, &fault)) {
            if (fault.kind == Fault::Kind::Nak) Answer(kBadCheck);
            continue;
        }
        Fault spoiled;
        const bool spoil = c_.Fire({Fault::Kind::SpoilAnswer}, &spoiled);
        c_.RecordCommand(cmd);
        // A command that nothing follows takes effect before its acknowledgement, so that whoever
        // sees the PC's call return also sees its effect.
        bool immediate = cmd.command == 13 || cmd.command == 15 || cmd.command == 53 || cmd.command == 73 ||
                         (cmd.command == 80 && (cmd.sub == 12 || cmd.sub == 13 || cmd.sub == 21 ||
                                                (cmd.sub == 4 && !feature_asked_)));
        block_ = f.payload;
        if (immediate) Handle(cmd);
        if (!spoil) {
            Answer(kAccepted);
        } else if (spoiled.value != 0) {
            Answer(static_cast<std::uint8_t>(kAccepted ^ spoiled.value));
        }
        if (!immediate) Handle(cmd);
        block_.clear();
    }
}

class ByteFrameUsbHandler final : public CommandHandler {
  public:
    ByteFrameUsbHandler(Simulator::Core& core, UsbDataPath& path) : handheld_(core, &path) {}
    void Handle(const CommandRecord& cmd) override { handheld_.Handle(cmd); }

  private:
    ByteFrameHandheld handheld_;
};

}  // namespace

std::unique_ptr<CommandHandler> MakeByteFrameHandler(Simulator::Core& core, UsbDataPath& path) {
    return std::make_unique<ByteFrameUsbHandler>(core, path);
}

void Simulator::Core::ServeByteFrame() {
    if (config.drive_e && !store.IsFolder("\\$E$")) store.MakeDir("\\$E$");
    ByteFrameHandheld handheld(*this);
    handheld.Serve();
}

}  // namespace hhsim
