// The handheld on USB: its driver's sockets (usb_driver.cpp) and the two families' ways of carrying
// commands and data over them, behind the same command handling as on the line.
//
// Text-frame: the PC announces every block with request 0x471 (a write follows) or 0x472 (a read
// follows) through control 0x80002008, and writes or reads whole 4096-byte blocks: number (1, 2 ...,
// the last 0xFFFFFFFF), payload length (at most 4088), payload.  A command is one last block with the
// 24-byte command packet.  Request 0x478 gives the transfer up, 0x8000200C and then 0x479 reset.
//
// Byte-frame: pipe "PIPE03" is written, "PIPE02" read, every transfer announced on the device with
// control 0x80002010 (a 16-byte record and the 6-byte descriptor after it: length, direction 0x80
// write / 0x81 read).  Packets: 16-byte header (first: 1 command / 0 data, command, sub-command,
// payload length, 0, more-follows, zeros) and payload; messages in 512-byte packets of at most 496
// payload bytes, file data in blocks of the descriptor's size (control 0x220000, bytes 43 and 44).
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "sim/usb_driver.h"

namespace hhsim {

namespace {

namespace fs = std::filesystem;

constexpr char kKind4Interface[] = "{5D490A5E-5B66-4A7C-BC31-C75DBC07B407}";
constexpr char kKind3Interface[] = "{F00DBC59-B2FD-4B88-AE42-4D67DC793690}";
constexpr char kByteFrameInterface[] = "{77F49320-16EF-11D2-AD51-006097B514DD}";

constexpr std::uint32_t kDone = 0, kRefused = 31;
constexpr std::uint32_t kTfBlock = 4096, kTfPayload = 4088, kTfLast = 0xFFFFFFFFu;
constexpr std::size_t kQueued = 4;  // blocks the handheld has ready ahead of the PC's reads

std::uint32_t Le32(const std::uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
std::uint16_t Le16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
void PutLe32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void PutLe16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
std::string Hex(std::uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", v);
    return text;
}

// Shared by both families: the driver, the give-up flag and the USB faults of the plan.
class UsbSide : public UsbDataPath {
  public:
    explicit UsbSide(Simulator::Core& core) : c_(core) {}
    virtual void ServeCommands() = 0;
    virtual std::uint32_t Control(const std::string& pipe, std::uint32_t code, const Bytes& input,
                                  Bytes& output, std::uint32_t room) = 0;
    virtual std::uint32_t Write(const std::string& pipe, const Bytes& bytes) = 0;
    virtual std::uint32_t Open(const std::string& pipe) = 0;
    virtual bool MayRead(const std::string&) { return true; }
    void SetDriver(UsbDriver* driver) { driver_ = driver; }

  protected:
    // A unit for the PC's reads after the plan's pause and faults; `length_at` is the offset of the
    // payload length field that an oversize fault overwrites (`wide`: 32 bits, else 16).
    bool Offer(Bytes unit, std::size_t length_at, bool wide) {
        Simulator::Core::FrameFault ignored;
        if (!c_.NextOutboundFault(ignored)) return false;
        if (aborted_) return false;
        Fault f;
        if (c_.Fire({Fault::Kind::UsbShortBlock, Fault::Kind::UsbOversize}, &f)) {
            if (f.kind == Fault::Kind::UsbShortBlock) {
                unit.resize(
                    std::min<std::size_t>(unit.size(), static_cast<std::size_t>(std::max(0, f.value))));
            } else if (wide) {
                PutLe32(unit.data() + length_at, static_cast<std::uint32_t>(f.value));
            } else {
                PutLe16(unit.data() + length_at, static_cast<std::uint16_t>(f.value));
            }
        }
        if (driver_->PushOutbound(std::move(unit), kQueued, c_.config.data_timeout_ms, &aborted_))
            return true;
        if (!aborted_ && !driver_->Gone() && !driver_->Stopping()) {
            // Nobody reads any more: what is queued would meet the PC's next transfer.
            driver_->ClearOutbound();
            c_.Event("gave-up-send");
        }
        return false;
    }

    bool Take(Bytes& unit) { return driver_->TakeInbound(unit, c_.config.data_timeout_ms, &aborted_); }

    void GiveUp(const std::string& why) {
        aborted_ = true;
        driver_->ClearOutbound();
        c_.Event(why);
    }

    void NewCommand() {
        aborted_ = false;
        std::lock_guard lock(c_.mutex);
        c_.ctx_command = c_.ctx_sub = -1;
    }

    void SetContext(int command, int sub) {
        std::lock_guard lock(c_.mutex);
        c_.ctx_command = command;
        c_.ctx_sub = sub;
    }

    Simulator::Core& c_;
    UsbDriver* driver_ = nullptr;
    std::atomic<bool> aborted_{false};
};

// ---- text-frame ----

class TextFrameUsb final : public UsbSide {
  public:
    explicit TextFrameUsb(Simulator::Core& core)
        : UsbSide(core), handler_(MakeTextFrameHandler(core, *this)) {}

    std::uint32_t Open(const std::string& pipe) override { return pipe.empty() ? kDone : 2; }

    std::uint32_t Control(const std::string&, std::uint32_t code, const Bytes& input, Bytes&,
                          std::uint32_t) override {
        if (code == 0x8000200Cu) {
            c_.Event("usb:reset-start");
            return kDone;
        }
        if (code != 0x80002008u || input.size() != 24) return kRefused;
        const std::uint32_t request = Le32(input.data());
        c_.Event("usb:" + Hex(request));
        switch (request) {
            case 0x471:
            case 0x472:
                return kDone;
            case 0x478:
                GiveUp("abort");
                return kDone;
            case 0x479:
                driver_->ClearOutbound();
                driver_->ClearInbound();
                return kDone;
            default:
                return kRefused;
        }
    }

    std::uint32_t Write(const std::string&, const Bytes& bytes) override {
        return driver_->PushInbound(bytes) ? kDone : 1167;
    }

    bool Send(const Bytes& data) override {
        std::size_t off = 0;
        std::uint32_t number = 1;
        bool babble = false;
        for (;;) {
            Fault f;
            if (!babble && c_.Fire({Fault::Kind::Babble}, &f)) {
                babble = true;
                c_.Event("babble");
            }
            if (babble) {
                // Full blocks that never end the data, for as long as the PC reads them.
                Bytes block(kTfBlock, 0x42);
                PutLe32(block.data(), number++);
                PutLe32(block.data() + 4, kTfPayload);
                if (!Offer(std::move(block), 4, true)) return false;
                continue;
            }
            const std::size_t rest = data.size() - off;
            const bool last = rest <= kTfPayload;
            const std::size_t take = last ? rest : kTfPayload;
            Bytes block(kTfBlock, 0);
            PutLe32(block.data(), last ? kTfLast : number);
            PutLe32(block.data() + 4, static_cast<std::uint32_t>(take));
            std::copy_n(data.begin() + static_cast<long>(off), take, block.begin() + 8);
            FrameRecord rec;
            rec.inbound = false;
            rec.number = last ? kTfLast : number;
            c_.Record(std::move(rec));
            if (!Offer(std::move(block), 4, true)) return false;
            if (last) return true;
            off += take;
            ++number;
        }
    }

    bool Receive(Bytes& out) override {
        out.clear();
        for (;;) {
            Bytes block;
            if (!Take(block)) {
                c_.Event("data-timeout");
                return false;
            }
            if (block.size() != kTfBlock || Le32(block.data() + 4) > kTfPayload) {
                c_.Event("bad-block");
                return false;
            }
            const std::uint32_t number = Le32(block.data()), length = Le32(block.data() + 4);
            FrameRecord rec;
            rec.inbound = true;
            rec.number = number;
            rec.payload.assign(block.begin() + 8, block.begin() + 8 + length);
            c_.Record(rec);
            out.insert(out.end(), rec.payload.begin(), rec.payload.end());
            if (number == kTfLast) return true;
            if (!c_.PauseHere()) return false;
        }
    }

    void ServeCommands() override {
        while (!driver_->Stopping()) {
            Bytes block;
            if (!driver_->TakeInbound(block, 100, nullptr)) continue;
            NewCommand();
            if (block.size() != kTfBlock || Le32(block.data()) != kTfLast || Le32(block.data() + 4) != 24) {
                c_.Event("stray-block");
                continue;
            }
            CommandRecord cmd;
            cmd.command = block[8];
            cmd.sub = block[9];
            const unsigned length = std::min<unsigned>(20, Le16(block.data() + 10));
            cmd.data.assign(block.begin() + 12, block.begin() + 12 + length);
            SetContext(cmd.command, cmd.sub);
            c_.RecordCommand(cmd);
            handler_->Handle(cmd);
        }
    }

  private:
    std::unique_ptr<CommandHandler> handler_;
};

// ---- byte-frame ----

constexpr std::uint32_t kPacket = 512, kHeader = 16, kMessagePayload = 496;

class ByteFrameUsb final : public UsbSide {
  public:
    explicit ByteFrameUsb(Simulator::Core& core)
        : UsbSide(core),
          block_(core.config.usb_block == 512 ? 512 : 4096),
          handler_(MakeByteFrameHandler(core, *this)) {}

    std::uint32_t Open(const std::string& pipe) override {
        return pipe.empty() || pipe == "PIPE02" || pipe == "PIPE03" ? kDone : 2;
    }

    bool MayRead(const std::string& pipe) override { return pipe == "PIPE02"; }

    std::uint32_t Control(const std::string& pipe, std::uint32_t code, const Bytes& input, Bytes& output,
                          std::uint32_t room) override {
        if (code == 0x220000 && pipe.empty()) {
            if (room < 46) return kRefused;
            output.assign(46, 0);
            output[43] = block_ == 4096 ? 0x40 : 0x00;
            output[44] = block_ == 4096 ? 0x00 : 0x02;
            return kDone;
        }
        if (code == 0x220008 && !pipe.empty()) {
            // The PC stopped or failed a transfer on this pipe: whatever was under way is given up.
            GiveUp("pipe-reset");
            return kDone;
        }
        if (code == 0x80002010u && pipe.empty()) {
            if (input.size() < 22 || Le32(input.data() + 4) != 6 || Le32(input.data() + 12) != 0x471)
                return kRefused;
            const std::uint16_t length = Le16(input.data() + 16 + 3);
            const std::uint8_t direction = input[16 + 5];
            if (direction != 0x80 && direction != 0x81) return kRefused;
            c_.Event(direction == 0x80 ? "usb:announce-write" : "usb:announce-read");
            if (direction == 0x80) {
                std::lock_guard lock(partial_mutex_);
                announced_ = length;
                partial_.clear();
            }
            return kDone;
        }
        return kRefused;
    }

    std::uint32_t Write(const std::string& pipe, const Bytes& bytes) override {
        if (pipe != "PIPE03") return kRefused;
        Bytes unit;
        {
            // One announced transfer may come in several writes (64 bytes each with 512-byte blocks).
            std::lock_guard lock(partial_mutex_);
            partial_.insert(partial_.end(), bytes.begin(), bytes.end());
            if (announced_ != 0 && partial_.size() < announced_) return kDone;
            unit.swap(partial_);
            announced_ = 0;
        }
        return driver_->PushInbound(std::move(unit)) ? kDone : 1167;
    }

    bool Send(const Bytes& data) override {
        const bool stream = Context(80, 3);
        const std::uint32_t unit_size = stream ? block_ : kPacket;
        const std::uint32_t room = unit_size - kHeader;
        Fault hostile;
        if (c_.Fire({Fault::Kind::Babble, Fault::Kind::Dribble}, &hostile)) {
            Hostile(hostile, unit_size, stream);
            return false;
        }
        std::size_t off = 0;
        for (;;) {
            const std::size_t rest = data.size() - off;
            const bool more = rest > (stream ? room : kMessagePayload);
            const std::size_t take = std::min<std::size_t>(rest, stream ? room : kMessagePayload);
            Bytes packet(unit_size, 0);
            packet[2] = static_cast<std::uint8_t>(stream ? 80 : 0);
            packet[3] = static_cast<std::uint8_t>(stream ? 3 : 0);
            PutLe16(packet.data() + 4, static_cast<std::uint16_t>(take));
            packet[7] = more ? 1 : 0;
            std::copy_n(data.begin() + static_cast<long>(off), take, packet.begin() + kHeader);
            FrameRecord rec;
            rec.inbound = false;
            rec.payload.assign(packet.begin() + kHeader, packet.begin() + kHeader + static_cast<long>(take));
            c_.Record(std::move(rec));
            if (!Offer(std::move(packet), 4, false)) return false;
            if (!more) return true;
            off += take;
        }
    }

    bool Receive(Bytes& out) override {
        out.clear();
        if (pending_) {
            // The command's own payload stands for the data that follows it on the line.
            out = command_payload_;
            pending_ = false;
            return true;
        }
        for (;;) {
            Bytes packet;
            if (!Take(packet)) {
                c_.Event("data-timeout");
                return false;
            }
            if (packet.size() < kHeader || Le16(packet.data() + 4) > packet.size() - kHeader) {
                c_.Event("bad-packet");
                return false;
            }
            if (Le16(packet.data()) == 1) {
                // A command where data was due: the PC gave the transfer up.  Serve the command.
                c_.Event("data-abandoned");
                requeued_ = std::move(packet);
                return false;
            }
            const std::uint16_t length = Le16(packet.data() + 4);
            FrameRecord rec;
            rec.inbound = true;
            rec.payload.assign(packet.begin() + kHeader, packet.begin() + kHeader + length);
            c_.Record(rec);
            out.insert(out.end(), rec.payload.begin(), rec.payload.end());
            if (packet[7] == 0) return true;
            if (!c_.PauseHere()) return false;
        }
    }

    void Abandon() override {
        driver_->FailNextRead();
        c_.Event("abort-sent");
    }

    void ServeCommands() override {
        while (!driver_->Stopping()) {
            Bytes packet;
            if (!requeued_.empty()) {
                packet.swap(requeued_);
            } else if (!driver_->TakeInbound(packet, 100, nullptr)) {
                continue;
            }
            NewCommand();
            if (packet.size() < kHeader || Le16(packet.data()) != 1) {
                c_.Event("stray-packet");
                continue;
            }
            const std::uint16_t length = std::min<std::uint16_t>(
                Le16(packet.data() + 4), static_cast<std::uint16_t>(packet.size() - kHeader));
            CommandRecord cmd;
            cmd.command = packet[2];
            cmd.sub = packet[3];
            cmd.data.assign(packet.begin() + kHeader, packet.begin() + kHeader + length);
            SetContext(cmd.command, cmd.sub);
            c_.RecordCommand(cmd);
            if (cmd.command == 73) {
                // The whole text travels over USB, not the 20 bytes of the line's argument.
                std::string text(cmd.data.begin(), cmd.data.end());
                {
                    std::lock_guard lock(c_.mutex);
                    c_.shown_text = text;
                }
                c_.Event("shown:" + text);
                continue;
            }
            if (cmd.command == 25) {
                command_payload_ = cmd.data;
                pending_ = true;
            }
            // The line's handling reads a 20-byte argument.
            if (cmd.data.size() < 20) cmd.data.resize(20, 0);
            handler_->Handle(cmd);
            pending_ = false;
        }
    }

  private:
    // Packets that say more follows, for as long as the PC takes them (a minute at most): full of
    // zeros or empty (Babble), or empty, one every `value` ms (Dribble).
    void Hostile(const Fault& fault, std::uint32_t unit_size, bool stream) {
        const bool dribble = fault.kind == Fault::Kind::Dribble;
        c_.Event(dribble ? "dribble" : "babble");
        const std::uint32_t room = stream ? unit_size - kHeader : kMessagePayload;
        const std::uint16_t length = !dribble && fault.value == 0 ? static_cast<std::uint16_t>(room) : 0;
        const auto interval = std::chrono::milliseconds(dribble ? std::max(1, fault.value) : 0);
        const auto until = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        while (std::chrono::steady_clock::now() < until && !driver_->Stopping() && !aborted_) {
            const auto next = std::chrono::steady_clock::now() + interval;
            while (std::chrono::steady_clock::now() < next && !driver_->Stopping() && !aborted_)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            Bytes packet(unit_size, 0);
            packet[2] = static_cast<std::uint8_t>(stream ? 80 : 0);
            packet[3] = static_cast<std::uint8_t>(stream ? 3 : 0);
            PutLe16(packet.data() + 4, length);
            packet[7] = 1;
            if (!Offer(std::move(packet), 4, false)) break;
        }
        c_.Event(dribble ? "dribble-end" : "babble-end");
    }

    bool Context(int command, int sub) {
        std::lock_guard lock(c_.mutex);
        return c_.ctx_command == command && c_.ctx_sub == sub;
    }

    const std::uint32_t block_;
    std::unique_ptr<CommandHandler> handler_;
    std::mutex partial_mutex_;
    Bytes partial_;
    std::uint32_t announced_ = 0;
    Bytes command_payload_;
    bool pending_ = false;
    Bytes requeued_;
};

}  // namespace

bool Simulator::Core::StartUsb(std::string* error) {
    std::error_code ec;
    if (config.usb_dir.empty()) {
        std::string pattern = (fs::temp_directory_path() / "hhsim-usb-XXXXXX").string();
        if (!mkdtemp(pattern.data())) {
            if (error) *error = "cannot make a temporary USB folder";
            return false;
        }
        usb_dir = pattern;
        temp_usb_dir = true;
    } else {
        usb_dir = config.usb_dir;
        fs::create_directories(usb_dir, ec);
    }
    std::vector<std::string> interfaces;
    std::shared_ptr<UsbSide> side;
    if (config.family == Family::TextFrame) {
        if (config.usb == 4 || config.usb == 7) interfaces.push_back(kKind4Interface);
        if (config.usb == 3 || config.usb == 7) interfaces.push_back(kKind3Interface);
        side = std::make_shared<TextFrameUsb>(*this);
    } else {
        interfaces.push_back(kByteFrameInterface);
        side = std::make_shared<ByteFrameUsb>(*this);
    }
    UsbDriver::Handlers handlers;
    handlers.open = [side](const std::string& pipe) { return side->Open(pipe); };
    handlers.control = [side](const std::string& pipe, std::uint32_t code, const Bytes& in, Bytes& out,
                              std::uint32_t room) { return side->Control(pipe, code, in, out, room); };
    handlers.write = [side](const std::string& pipe, const Bytes& bytes) { return side->Write(pipe, bytes); };
    handlers.may_read = [side](const std::string& pipe) { return side->MayRead(pipe); };
    auto driver = std::make_shared<UsbDriver>(handlers, [this](const std::string& name) { Event(name); });
    side->SetDriver(driver.get());
    if (!driver->Start(usb_dir, interfaces, error)) return false;
    usb_driver = driver;
    usb_side = side;
    return true;
}

void Simulator::Core::ServeUsb() {
    if (auto side = std::static_pointer_cast<UsbSide>(usb_side)) side->ServeCommands();
}

void Simulator::Core::StopUsb() {
    if (usb_driver) usb_driver->Stop();
    if (temp_usb_dir) {
        std::error_code ec;
        fs::remove_all(usb_dir, ec);
    }
}

void Simulator::Core::UnplugUsb() {
    if (usb_driver) usb_driver->Unplug();
}

}  // namespace hhsim
