// The handheld's end of the line: the master side of a pseudo-terminal.  It looks at the line settings
// the PC side made on the slave, so that a PC talking at another rate is not understood, as on a wire.
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "sim/core.h"

namespace hhsim {

namespace {

speed_t SpeedOf(unsigned baud) {
    switch (baud) {
        case 1200:
            return B1200;
        case 2400:
            return B2400;
        case 4800:
            return B4800;
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        case 230400:
            return B230400;
        default:
            return B115200;
    }
}

unsigned BaudOf(speed_t speed) {
    switch (speed) {
        case B1200:
            return 1200;
        case B2400:
            return 2400;
        case B4800:
            return 4800;
        case B9600:
            return 9600;
        case B19200:
            return 19200;
        case B38400:
            return 38400;
        case B57600:
            return 57600;
        case B115200:
            return 115200;
        case B230400:
            return 230400;
        default:
            return 0;
    }
}

}  // namespace

Line::~Line() {
    Close();
}

bool Line::Open(unsigned rate, std::string* error) {
    // A line opened again keeps its name through a failure, for the next try.
    const bool again = !link_dir_.empty();
    auto fail = [&](const char* what) {
        if (error) *error = std::string(what) + ": " + std::strerror(errno);
        Close(again);
        return false;
    };
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0) return fail("posix_openpt");
    if (grantpt(master_) != 0 || unlockpt(master_) != 0) return fail("grantpt/unlockpt");
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) return fail("ptsname");
    slave_ = ::open(name, O_RDWR | O_NOCTTY);
    if (slave_ < 0) return fail("open slave");
    // The PC is pointed at a name of this line's own, gone when the line closes.  The slave's own name
    // (/dev/pts/N) is handed to the next pseudo-terminal opened on the machine, maybe another
    // process's: a PC still holding the old name must find nothing there, not a stranger's handheld.
    // A line opened again after a close that kept its folder takes the same name (a handheld restarted
    // on the same port), now leading to this pseudo-terminal.
    if (link_dir_.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        std::string dir_template =
            std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/hhsim-line-XXXXXX";
        if (::mkdtemp(dir_template.data()) == nullptr) return fail("mkdtemp");
        link_dir_ = dir_template;
    }
    slave_path_ = link_dir_ + "/tty";
    if (::symlink(name, slave_path_.c_str()) != 0) return fail("symlink");
    // Raw 8N1 at the handheld's own rate, so that a test talking raw bytes on the slave needs no set-up;
    // the library sets its own mode when it opens the port.
    termios tio{};
    if (tcgetattr(slave_, &tio) != 0) return fail("tcgetattr");
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&tio, SpeedOf(rate ? rate : 115200));
    cfsetospeed(&tio, SpeedOf(rate ? rate : 115200));
    if (tcsetattr(slave_, TCSANOW, &tio) != 0) return fail("tcsetattr");
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) return fail("pipe");
    // The PC's closes are watched: an answer byte it wrote right before closing can be lost on the way
    // (a close that drops its output), and a frame sent again after that would only reach its next
    // open as a stale answer.
    notify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (notify_ >= 0) inotify_add_watch(notify_, name, IN_CLOSE_WRITE | IN_CLOSE_NOWRITE);
    int flags = fcntl(master_, F_GETFL);
    fcntl(master_, F_SETFL, flags | O_NONBLOCK);
    baud = rate;
    privileged_ = geteuid() == 0;
    return true;
}

void Line::Close(bool keep_name) {
    // The name goes first: from here on it leads nowhere until this line opens again.
    if (!link_dir_.empty()) {
        ::unlink(slave_path_.c_str());
        if (!keep_name) {
            ::rmdir(link_dir_.c_str());
            link_dir_.clear();
        }
    }
    for (int* fd : {&master_, &slave_, &wake_[0], &wake_[1], &notify_}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
    // Bytes of the closed pseudo-terminal are no part of the next one.
    pending_.clear();
}

void Line::Wake() {
    stop = true;
    if (wake_[1] >= 0) {
        std::uint8_t b = 1;
        [[maybe_unused]] ssize_t n = ::write(wake_[1], &b, 1);
    }
}

unsigned Line::SlaveBaud() const {
    termios tio{};
    if (tcgetattr(slave_, &tio) != 0) return 0;
    return BaudOf(cfgetospeed(&tio));
}

void Line::ApplyNoise(Bytes& bytes, bool inbound) {
    std::lock_guard lock(noise_mutex);
    if (noise_rate <= 0 || (inbound ? !noise_in : !noise_out)) return;
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    Bytes out;
    out.reserve(bytes.size() + 4);
    for (std::uint8_t b : bytes) {
        if (chance(noise_rng) >= noise_rate) {
            out.push_back(b);
            continue;
        }
        switch (noise_rng() % 3) {
            case 0:
                out.push_back(static_cast<std::uint8_t>(b ^ (1u << (noise_rng() % 8))));
                break;
            case 1:
                break;  // dropped
            default:
                out.push_back(b);
                out.push_back(static_cast<std::uint8_t>(noise_rng() & 0xFF));
        }
    }
    bytes.swap(out);
}

unsigned Line::LineRate() const {
    // The line's own rate: the handheld's, or, when it answers at any rate, the one the PC set.
    unsigned rate = baud ? baud.load() : SlaveBaud();
    return rate == 0 ? 115200 : rate;
}

std::chrono::nanoseconds Line::LineTime(std::size_t count) const {
    return std::chrono::nanoseconds(static_cast<long long>(count) * 10'000'000'000LL / LineRate());
}

void Line::PaceUntil(std::chrono::steady_clock::time_point& free_at, std::size_t count) {
    // A line that stood idle starts its bytes now; one still busy carries them after the ones before.
    auto now = std::chrono::steady_clock::now();
    if (free_at < now) free_at = now;
    free_at += LineTime(count);
    std::this_thread::sleep_until(free_at);
}

Bytes Line::Purge() {
    Bytes dropped(pending_.begin(), pending_.end());
    pending_.clear();
    for (;;) {
        std::uint8_t buf[512];
        ssize_t got = ::read(master_, buf, sizeof buf);
        if (got <= 0) break;
        unsigned want = baud;
        if (want != 0 && SlaveBaud() != want) {
            garbled_in += got;
            continue;
        }
        Bytes chunk(buf, buf + got);
        ApplyNoise(chunk, true);
        dropped.insert(dropped.end(), chunk.begin(), chunk.end());
    }
    return dropped;
}

bool Line::TakeNotifications() {
    if (notify_ < 0) return false;
    bool closed = false;
    alignas(inotify_event) char buf[1024];
    for (;;) {
        ssize_t n = ::read(notify_, buf, sizeof buf);
        if (n <= 0) return closed;
        for (ssize_t at = 0; at < n;) {
            auto* e = reinterpret_cast<inotify_event*>(buf + at);
            if (e->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) closed = true;
            at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
        }
    }
}

Line::Read Line::ReadByte(std::uint8_t& byte, int timeout_ms, bool until_close) {
    // Closes from before this wait do not count.
    if (until_close) TakeNotifications();
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
    for (;;) {
        if (stop) return kStopped;
        if (!pending_.empty()) {
            byte = pending_.front();
            pending_.pop_front();
            return kByte;
        }
        int wait = -1;
        if (timeout_ms >= 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                // One last look without waiting: a byte may have come at the deadline.
                wait = 0;
            } else {
                wait = static_cast<int>(left.count());
            }
        }
        if (!privileged_) {
            // The PC side's exclusive-open flag outlives its close while this end holds the slave, and
            // would refuse its next open (only a privileged process passes it): clear it between looks.
            // The PC's flock still keeps a second program out.
            ioctl(slave_, TIOCNXCL);
            if (wait < 0 || wait > kExclusiveSliceMs) wait = kExclusiveSliceMs;
        }
        pollfd fds[3] = {{master_, POLLIN, 0}, {wake_[0], POLLIN, 0}, {notify_, POLLIN, 0}};
        int n = ::poll(fds, until_close && notify_ >= 0 ? 3 : 2, wait);
        if (n < 0 && errno == EINTR) continue;
        if (stop) return kStopped;
        if (until_close && n > 0 && (fds[2].revents & POLLIN) && TakeNotifications() &&
            !(fds[0].revents & POLLIN)) {
            return kPcClosed;
        }
        if (n > 0 && (fds[0].revents & POLLIN)) {
            std::uint8_t buf[512];
            ssize_t got = ::read(master_, buf, sizeof buf);
            if (got > 0) {
                Bytes chunk(buf, buf + got);
                unsigned want = baud;
                if (want != 0 && SlaveBaud() != want) {
                    // Another rate on the PC side: the bytes arrive as framing errors and are lost.
                    garbled_in += got;
                    continue;
                }
                if (pace) PaceUntil(in_free_at_, chunk.size());
                ApplyNoise(chunk, true);
                pending_.insert(pending_.end(), chunk.begin(), chunk.end());
                continue;
            }
        } else if (n > 0 && (fds[0].revents & (POLLHUP | POLLERR))) {
            // No PC side at the moment; wait in small slices rather than spin on the hang-up.
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (timeout_ms >= 0 && std::chrono::steady_clock::now() >= deadline) return kTimeout;
    }
}

bool Line::Write(const Bytes& bytes) {
    Bytes out = bytes;
    ApplyNoise(out, false);
    std::size_t done = 0;
    // Paced output goes out in small pieces, each when the line would have carried the one before.
    // The schedule is absolute from the start of the write (the line time of the bytes sent so far),
    // so that the sleeps' overshoots do not add up.
    const std::size_t piece = pace ? 16 : out.size();
    if (pace) {
        auto now = std::chrono::steady_clock::now();
        if (out_free_at_ < now) out_free_at_ = now;
    }
    const auto start = out_free_at_;
    while (done < out.size()) {
        if (stop) return false;
        std::size_t n = std::min(piece, out.size() - done);
        ssize_t put = ::write(master_, out.data() + done, n);
        if (put < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) {
                pollfd fds[2] = {{master_, POLLOUT, 0}, {wake_[0], POLLIN, 0}};
                ::poll(fds, 2, 100);
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(put);
        if (pace) {
            out_free_at_ = start + LineTime(done);
            std::this_thread::sleep_until(out_free_at_);
        }
    }
    return true;
}

}  // namespace hhsim
