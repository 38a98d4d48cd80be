// hhsim: the simulated handheld as a program, for demos and for tests that run it as a process.
// It prints "device: <slave path>", links the path when asked, prints "hhsim ready" and serves until
// SIGINT or SIGTERM.  SIGUSR1 releases the pause point named "pause"; SIGUSR2 restarts the handheld on
// its line (the PC's open port hangs up, the same path leads to the new line) and prints
// "hhsim restarted".
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>

#include "sim/hhsim.h"

namespace {

void Usage() {
    std::cout
        << "usage: hhsim [options]\n"
           "  --family text|byte       protocol family (default text)\n"
           "  --model CODE             model code for the device-kind query (default R9M)\n"
           "  --number TEXT            the handheld's number (8 to 15 characters)\n"
           "  --free BYTES             free space reported\n"
           "  --baud RATE              rate the handheld answers at (0: any; default 115200)\n"
           "  --store DIR              folder holding the handheld's files (kept)\n"
           "  --folder PATH            current folder at start (handheld form, default \\)\n"
           "  --mkdir PATH             a folder the handheld has from the start (repeatable)\n"
           "  --no-app-folder          start without the application folder \\KELVANHB\n"
           "  --ack-timeout MS         the handheld's wait for the answer byte to its frames (1000)\n"
           "  --data-timeout MS        the handheld's wait for an awaited data frame (4000)\n"
           "  --link PATH              make PATH a symbolic link to the pseudo-terminal\n"
           "  --pace                   pace the line at the baud rate\n"
           "  --fill-readings PATTERN  fill reading fields of a stored table matching PATTERN (e.g. A.DBF)\n"
           "  --fill-seed N            seed of the filled values\n"
           "  --version TEXT           byte-frame firmware version answer\n"
           "  --crc-mode BYTE          byte-frame check-mode answer (Z asks for the CRC)\n"
           "  --status CMD/SUB=VALUE   force a text-frame status byte (repeatable)\n"
           "  --fault KIND[:at=N,times=N,command=N,sub=N,value=N,name=S]  (repeatable)\n"
           "        KIND: nak silence corrupt-check repeat-frame skip-number early-last abort-frame\n"
           "              wrong-status wrong-echo short-status pause add-byte spoil-answer usb-short-block "
           "usb-oversize\n"
           "              drop-upload keep-time mute late-answers\n"
           "              babble dribble endless-listing repeat-entry lying-size\n"
           "              damage-answer resent-as-data damage-last-answer wrong-kind go-silent\n"
           "  --noise RATE             line noise rate (flip, drop, insert), e.g. 1e-3\n"
           "  --noise-seed N           seed of the line noise\n"
           "  --usb KIND               serve USB instead of the line (text: 4, 3 or 7 for both; byte: 1)\n"
           "  --usb-dir DIR            folder of the USB sockets, for TARVIX_USB_DIR (default: temporary)\n"
           "  --usb-block BYTES        byte-frame USB block size, 4096 or 512\n";
}

bool ParseFault(const std::string& text, hhsim::Fault& f) {
    using K = hhsim::Fault::Kind;
    std::string kind = text.substr(0, text.find(':'));
    static const std::pair<const char*, K> kKinds[] = {
        {"nak", K::Nak},
        {"silence", K::Silence},
        {"corrupt-check", K::CorruptCheck},
        {"repeat-frame", K::RepeatFrame},
        {"skip-number", K::SkipNumber},
        {"early-last", K::EarlyLast},
        {"abort-frame", K::AbortFrame},
        {"wrong-status", K::WrongStatus},
        {"wrong-echo", K::WrongEcho},
        {"short-status", K::ShortStatus},
        {"pause", K::Pause},
        {"add-byte", K::AddByte},
        {"spoil-answer", K::SpoilAnswer},
        {"usb-short-block", K::UsbShortBlock},
        {"usb-oversize", K::UsbOversize},
        {"babble", K::Babble},
        {"dribble", K::Dribble},
        {"endless-listing", K::EndlessListing},
        {"repeat-entry", K::RepeatEntry},
        {"lying-size", K::LyingSize},
        {"drop-upload", K::DropUpload},
        {"keep-time", K::KeepTime},
        {"mute", K::Mute},
        {"late-answers", K::LateAnswers},
        {"damage-answer", K::DamageAnswer},
        {"resent-as-data", K::ResentAsData},
        {"damage-last-answer", K::DamageLastAnswer},
        {"wrong-kind", K::WrongKind},
        {"go-silent", K::GoSilent},
    };
    bool known = false;
    for (const auto& [name, k] : kKinds) {
        if (kind == name) {
            f.kind = k;
            known = true;
        }
    }
    if (!known) return false;
    if (text.find(':') == std::string::npos) return true;
    std::stringstream rest(text.substr(text.find(':') + 1));
    std::string item;
    while (std::getline(rest, item, ',')) {
        auto eq = item.find('=');
        if (eq == std::string::npos) return false;
        std::string key = item.substr(0, eq), value = item.substr(eq + 1);
        if (key == "name") {
            f.name = value;
            continue;
        }
        char* end = nullptr;
        long v = std::strtol(value.c_str(), &end, 0);
        if (!end || *end) return false;
        if (key == "at")
            f.at = static_cast<int>(v);
        else if (key == "times")
            f.times = static_cast<int>(v);
        else if (key == "command")
            f.command = static_cast<int>(v);
        else if (key == "sub")
            f.sub = static_cast<int>(v);
        else if (key == "value")
            f.value = static_cast<int>(v);
        else
            return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    hhsim::Config config;
    config.initial_folders = {"\\KELVANHB"};  // the demo handheld has its application folder
    hhsim::FaultPlan plan;
    std::string link;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::cerr << "hhsim: " << arg << " needs a value\n";
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            Usage();
            return 0;
        } else if (arg == "--family") {
            std::string v = value();
            if (v == "text" || v == "textframe")
                config.family = hhsim::Family::TextFrame;
            else if (v == "byte" || v == "byteframe")
                config.family = hhsim::Family::ByteFrame;
            else {
                std::cerr << "hhsim: unknown family " << v << "\n";
                return 2;
            }
        } else if (arg == "--model") {
            config.model = value();
        } else if (arg == "--number") {
            config.number = value();
        } else if (arg == "--free") {
            config.free_space = static_cast<std::uint32_t>(std::strtoul(value().c_str(), nullptr, 0));
        } else if (arg == "--baud") {
            config.baud = static_cast<unsigned>(std::strtoul(value().c_str(), nullptr, 0));
        } else if (arg == "--store") {
            config.store = value();
        } else if (arg == "--folder") {
            config.start_folder = value();
        } else if (arg == "--mkdir") {
            config.initial_folders.push_back(value());
        } else if (arg == "--no-app-folder") {
            config.initial_folders.clear();
        } else if (arg == "--ack-timeout") {
            config.ack_timeout_ms = std::atoi(value().c_str());
        } else if (arg == "--data-timeout") {
            config.data_timeout_ms = std::atoi(value().c_str());
        } else if (arg == "--link") {
            link = value();
        } else if (arg == "--pace") {
            config.pace = true;
        } else if (arg == "--fill-readings") {
            config.fill_readings = value();
        } else if (arg == "--fill-seed") {
            config.fill_seed = static_cast<std::uint32_t>(std::strtoul(value().c_str(), nullptr, 0));
        } else if (arg == "--version") {
            config.version = value();
        } else if (arg == "--crc-mode") {
            std::string v = value();
            config.crc_mode = v.empty() ? 0 : static_cast<std::uint8_t>(v[0]);
        } else if (arg == "--status") {
            std::string v = value();
            auto eq = v.find('=');
            if (eq == std::string::npos) {
                std::cerr << "hhsim: --status wants CMD/SUB=VALUE\n";
                return 2;
            }
            config.forced_status[v.substr(0, eq)] =
                static_cast<std::uint8_t>(std::strtoul(v.substr(eq + 1).c_str(), nullptr, 0));
        } else if (arg == "--fault") {
            hhsim::Fault f;
            std::string v = value();
            if (!ParseFault(v, f)) {
                std::cerr << "hhsim: bad fault " << v << "\n";
                return 2;
            }
            plan.faults.push_back(f);
        } else if (arg == "--noise") {
            plan.noise_rate = std::strtod(value().c_str(), nullptr);
        } else if (arg == "--usb") {
            config.usb = static_cast<int>(std::strtol(value().c_str(), nullptr, 0));
        } else if (arg == "--usb-dir") {
            config.usb_dir = value();
        } else if (arg == "--usb-block") {
            config.usb_block = static_cast<unsigned>(std::strtoul(value().c_str(), nullptr, 0));
        } else if (arg == "--noise-seed") {
            plan.noise_seed = static_cast<std::uint32_t>(std::strtoul(value().c_str(), nullptr, 0));
        } else {
            std::cerr << "hhsim: unknown option " << arg << "\n";
            Usage();
            return 2;
        }
    }
    if (config.store.empty()) config.keep_store = true;  // a demo keeps its files

    // Signals are taken by sigwait below, never by a handler in the middle of serving.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);
    sigaddset(&signals, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    hhsim::Simulator sim(config);
    sim.SetPlan(plan);
    std::string error;
    if (!sim.Start(&error)) {
        std::cerr << "hhsim: " << error << "\n";
        return 1;
    }
    if (!link.empty()) {
        std::error_code ec;
        std::filesystem::remove(link, ec);
        std::filesystem::create_symlink(sim.SlavePath(), link, ec);
        if (ec) {
            std::cerr << "hhsim: cannot link " << link << ": " << ec.message() << "\n";
            return 1;
        }
    }
    std::cout << "device: " << sim.SlavePath() << "\n";
    std::cout << "store: " << sim.StorePath().string() << "\n";
    if (config.usb != 0) std::cout << "usb: " << sim.UsbDir().string() << "\n";
    std::cout << "hhsim ready" << std::endl;

    for (;;) {
        int sig = 0;
        if (sigwait(&signals, &sig) != 0) break;
        if (sig == SIGUSR1) {
            sim.Release("pause");
            continue;
        }
        if (sig == SIGUSR2) {
            if (!sim.Restart(&error)) {
                std::cerr << "hhsim: restart: " << error << "\n";
                // A handheld that was not restarted (on USB) serves on; one left off its line ends.
                if (sim.Running()) continue;
                break;
            }
            std::cout << "hhsim restarted" << std::endl;
            continue;
        }
        break;
    }
    sim.Stop();
    if (!link.empty()) {
        std::error_code ec;
        if (std::filesystem::is_symlink(link, ec)) std::filesystem::remove(link, ec);
    }
    return 0;
}
