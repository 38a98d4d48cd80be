// The Simulator object: start and stop, the fault plan, and what tests observe.
#include <stdlib.h>

#include <algorithm>
#include <system_error>

#include "sim/core.h"

namespace fs = std::filesystem;

namespace hhsim {

// ---- Core: fault plan and records ----

bool Simulator::Core::Fire(std::initializer_list<Fault::Kind> kinds, Fault* out) {
    std::lock_guard lock(mutex);
    bool hit = false;
    for (std::size_t i = 0; i < plan.faults.size(); ++i) {
        const Fault& f = plan.faults[i];
        if (std::find(kinds.begin(), kinds.end(), f.kind) == kinds.end()) continue;
        if (f.command >= 0 && f.command != ctx_command) continue;
        if (f.sub >= 0 && f.sub != ctx_sub) continue;
        int n = ++fault_counts[i];
        if (!hit && n >= f.at && n < f.at + std::max(1, f.times)) {
            *out = f;
            hit = true;
        }
    }
    if (hit) {
        std::string name = "fault";
        events.push_back(name);
        ++counters[name];
        changed.notify_all();
    }
    return hit;
}

bool Simulator::Core::PauseHere() {
    Fault f;
    if (!Fire({Fault::Kind::Pause}, &f)) return true;
    Event("paused:" + f.name);
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] {
        return line.stop.load() || std::find(released.begin(), released.end(), f.name) != released.end();
    });
    auto it = std::find(released.begin(), released.end(), f.name);
    if (it != released.end()) released.erase(it);
    return !line.stop;
}

bool Simulator::Core::NextOutboundFault(FrameFault& fault) {
    fault = FrameFault::None;
    if (!PauseHere()) return false;
    using K = Fault::Kind;
    Fault f;
    if (Fire({K::CorruptCheck, K::RepeatFrame, K::SkipNumber, K::EarlyLast, K::AbortFrame}, &f)) {
        switch (f.kind) {
            case K::AbortFrame:
                fault = FrameFault::Abort;
                break;
            case K::SkipNumber:
                fault = FrameFault::SkipNumber;
                break;
            case K::EarlyLast:
                fault = FrameFault::EarlyLast;
                break;
            case K::CorruptCheck:
                fault = FrameFault::CorruptCheck;
                break;
            default:
                fault = FrameFault::Repeat;
                break;
        }
    }
    return true;
}

std::uint32_t Simulator::Core::FreeSpace() const {
    std::lock_guard lock(mutex);
    return free_space;
}

void Simulator::Core::Event(const std::string& name) {
    std::lock_guard lock(mutex);
    events.push_back(name);
    ++counters[name];
    changed.notify_all();
}

void Simulator::Core::Record(FrameRecord record) {
    record.command = ctx_command;
    record.sub = ctx_sub;
    std::lock_guard lock(mutex);
    // A long transfer would otherwise keep every frame; tests look at the recent ones and the counters.
    if (frames.size() >= 20000) frames.erase(frames.begin(), frames.begin() + 10000);
    ++counters[record.inbound ? "frames-in" : "frames-out"];
    if (!record.check_ok) ++counters["bad-check-in"];
    frames.push_back(std::move(record));
    changed.notify_all();
}

void Simulator::Core::RecordCommand(CommandRecord record) {
    std::string name = "command:" + std::to_string(record.command) + "/" + std::to_string(record.sub);
    std::lock_guard lock(mutex);
    commands.push_back(std::move(record));
    events.push_back(name);
    ++counters[name];
    ++counters["commands"];
    changed.notify_all();
}

void Simulator::Core::UpdateLastCommandPayload(const Bytes& payload) {
    std::lock_guard lock(mutex);
    if (!commands.empty()) commands.back().payload = payload;
}

void Simulator::Core::AfterStore(const fs::path& stored) {
    if (config.fill_readings.empty() || !WildMatch(config.fill_readings, stored.filename().string())) return;
    int filled = FillReadings(stored, config.family == Family::ByteFrame, config.fill_seed);
    Event(filled >= 0 ? "filled:" + stored.filename().string() : "fill-failed:" + stored.filename().string());
}

Bytes SystemBlock(const Config& config, std::size_t size, bool textframe) {
    Bytes block(std::max<std::size_t>(size, 160), 0);
    auto put = [&](std::size_t at, const std::string& text, std::size_t width) {
        std::copy_n(text.begin(), std::min(text.size(), width - 1), block.begin() + static_cast<long>(at));
    };
    put(0, config.model, 16);
    put(16, config.manufacture_date, 16);
    put(32, config.number, 16);
    // The byte-frame block has the drive-E indicator at 80 (zero: no drive E); the text-frame one its
    // software version.
    if (textframe) put(80, config.software_version, 32);
    put(112, "3", 8);
    put(120, "64", 16);
    put(136, "8192", 16);
    for (const auto& [at, text] : config.block_texts) {
        if (at < 0 || static_cast<std::size_t>(at) >= block.size()) continue;
        std::size_t room = block.size() - static_cast<std::size_t>(at);
        std::size_t n = std::min(text.size(), room);
        std::copy_n(text.begin(), n, block.begin() + at);
        if (n < room) block[static_cast<std::size_t>(at) + n] = 0;
    }
    block.resize(size);
    return block;
}

// ---- Simulator ----

Simulator::Simulator(Config config) : core_(std::make_unique<Core>(std::move(config))) {}

Simulator::~Simulator() {
    Stop();
}

bool Simulator::Start(std::string* error) {
    if (core_->running) return true;
    if (core_->unplugged) return Replug(error);
    Core& c = *core_;
    std::error_code ec;
    if (c.config.store.empty()) {
        std::string pattern = (fs::temp_directory_path() / "hhsim-store-XXXXXX").string();
        if (!mkdtemp(pattern.data())) {
            if (error) *error = "cannot make a temporary store";
            return false;
        }
        c.store_path = pattern;
        c.temp_store = true;
    } else {
        c.store_path = c.config.store;
        fs::create_directories(c.store_path, ec);
        if (!fs::is_directory(c.store_path, ec)) {
            if (error) *error = "store folder " + c.store_path.string() + " cannot be made";
            return false;
        }
    }
    c.store.SetRoot(c.store_path);
    for (const auto& folder : c.config.initial_folders) {
        if (!c.store.IsFolder(folder)) c.store.MakeDir(folder);
    }
    c.FromTheStart();
    c.free_space = c.config.free_space;
    c.line.pace = c.config.pace;
    if (!c.line.Open(c.config.baud, error)) return false;
    if (c.config.usb != 0 && !c.StartUsb(error)) return false;
    SetPlan(c.plan);
    c.StartServing();
    return true;
}

void Simulator::Core::FromTheStart() {
    store.current = store.Absolute(config.start_folder);
    if (store.current.empty() || !store.IsFolder(store.current)) store.current = "\\";
    line.stop = false;
}

void Simulator::Core::StartServing() {
    running = true;
    worker = std::thread([this] {
        if (config.usb != 0) {
            ServeUsb();
        } else if (config.family == Family::TextFrame) {
            ServeTextFrame();
        } else {
            ServeByteFrame();
        }
    });
}

void Simulator::Core::StopServing() {
    line.Wake();
    {
        std::lock_guard lock(mutex);
        changed.notify_all();
    }
    if (config.usb != 0) StopUsb();
    if (worker.joinable()) worker.join();
    running = false;
}

void Simulator::Stop() {
    Core& c = *core_;
    if (!c.running && !c.unplugged) return;
    if (c.running) c.StopServing();
    c.line.Close();
    c.unplugged = false;
    if (c.temp_store && !c.config.keep_store) {
        std::error_code ec;
        fs::remove_all(c.store_path, ec);
    }
}

void Simulator::Unplug() {
    Core& c = *core_;
    if (!c.running || c.config.usb != 0) return;
    c.StopServing();
    c.line.Close(/*keep_name=*/true);
    c.unplugged = true;
}

bool Simulator::Replug(std::string* error) {
    Core& c = *core_;
    if (c.config.usb != 0) {
        // Nothing was unplugged: the handheld goes on serving as it was.
        if (error) *error = "only the line can be restarted; USB has UsbUnplug";
        return false;
    }
    if (!c.unplugged) {
        if (error) *error = c.running ? "the handheld is on its line" : "the handheld was not unplugged";
        return c.running;
    }
    // A handheld that starts again begins in its start folder, at the rate it answers at now.
    c.FromTheStart();
    if (!c.line.Open(c.line.baud.load(), error)) return false;  // still unplugged, name kept
    c.unplugged = false;
    c.StartServing();
    return true;
}

bool Simulator::Restart(std::string* error) {
    Unplug();
    return Replug(error);
}

bool Simulator::Running() const {
    return core_->running;
}
const std::string& Simulator::SlavePath() const {
    return core_->line.SlavePath();
}
const fs::path& Simulator::StorePath() const {
    return core_->store_path;
}
const Config& Simulator::config() const {
    return core_->config;
}

void Simulator::SetPlan(const FaultPlan& plan) {
    Core& c = *core_;
    {
        std::lock_guard lock(c.mutex);
        c.plan = plan;
        c.fault_counts.assign(plan.faults.size(), 0);
    }
    std::lock_guard lock(c.line.noise_mutex);
    c.line.noise_rate = plan.noise_rate;
    c.line.noise_in = plan.noise_inbound;
    c.line.noise_out = plan.noise_outbound;
    c.line.noise_rng.seed(plan.noise_seed);
}

void Simulator::SetFreeSpace(std::uint32_t bytes) {
    std::lock_guard lock(core_->mutex);
    core_->free_space = bytes;
}

void Simulator::SetBaud(unsigned baud) {
    core_->line.baud = baud;
}

const fs::path& Simulator::UsbDir() const {
    return core_->usb_dir;
}

void Simulator::UsbUnplug() {
    core_->UnplugUsb();
}

void Simulator::Release(const std::string& name) {
    std::lock_guard lock(core_->mutex);
    core_->released.push_back(name);
    core_->changed.notify_all();
}

std::vector<FrameRecord> Simulator::Frames() const {
    std::lock_guard lock(core_->mutex);
    return core_->frames;
}

std::vector<CommandRecord> Simulator::Commands() const {
    std::lock_guard lock(core_->mutex);
    return core_->commands;
}

std::size_t Simulator::CommandCount() const {
    std::lock_guard lock(core_->mutex);
    return core_->commands.size();
}

int Simulator::Counter(const std::string& name) const {
    std::lock_guard lock(core_->mutex);
    auto it = core_->counters.find(name);
    return it == core_->counters.end() ? 0 : it->second;
}

std::vector<std::string> Simulator::Events() const {
    std::lock_guard lock(core_->mutex);
    return core_->events;
}

std::string Simulator::ShownText() const {
    std::lock_guard lock(core_->mutex);
    return core_->shown_text;
}

void Simulator::ClearRecords() {
    std::lock_guard lock(core_->mutex);
    core_->frames.clear();
    core_->commands.clear();
    core_->events.clear();
    core_->counters.clear();
}

bool Simulator::WaitCommands(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(core_->mutex);
    return core_->changed.wait_for(lock, timeout, [&] { return core_->commands.size() >= count; });
}

bool Simulator::WaitEvent(const std::string& name, std::chrono::milliseconds timeout, int count) const {
    std::unique_lock lock(core_->mutex);
    return core_->changed.wait_for(lock, timeout, [&] {
        auto it = core_->counters.find(name);
        return it != core_->counters.end() && it->second >= count;
    });
}

}  // namespace hhsim
