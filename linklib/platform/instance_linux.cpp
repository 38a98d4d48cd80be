// The instance data lives in POSIX shared memory.  A lock file marks the live processes: each holds a
// shared lock on it while it has the data mapped; a process that can take the lock exclusively is
// alone, so at attach it starts the data afresh and at detach it removes it.  A second lock file
// serialises attach and detach between processes.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <new>
#include <string>

#include "platform/instance.h"
#include "platform/process.h"

namespace tarvix::platform {
namespace {

std::mutex g_lock;
SharedInstanceData* g_data = nullptr;
int g_live_fd = -1;

std::string BaseName() {
    std::string name = Environment("TARVIX_SHM_NAME");
    if (name.empty()) name = "tarvix-instance-" + std::to_string(getuid());
    if (name.front() == '/') name.erase(0, 1);
    return name;
}

std::string LockFolder() {
    std::string folder = Environment("XDG_RUNTIME_DIR");
    if (folder.empty()) folder = "/tmp";
    return folder;
}

// Holds the attach/detach lock for its lifetime.
class GuardLock {
  public:
    explicit GuardLock(const std::string& path)
        : fd_(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
        if (fd_ >= 0) flock(fd_, LOCK_EX);
    }
    ~GuardLock() {
        if (fd_ >= 0) close(fd_);  // closing releases the lock
    }
    bool ok() const { return fd_ >= 0; }

  private:
    int fd_;
};

}  // namespace

SharedInstanceData* AttachInstanceData() {
    std::lock_guard<std::mutex> lock(g_lock);
    if (g_data != nullptr) return g_data;
    const std::string base = BaseName();
    GuardLock guard(LockFolder() + "/" + base + ".guard");
    if (!guard.ok()) return nullptr;

    int live = open((LockFolder() + "/" + base + ".live").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (live < 0) return nullptr;
    const std::string shm_name = "/" + base;
    const bool alone = flock(live, LOCK_EX | LOCK_NB) == 0;
    if (alone) shm_unlink(shm_name.c_str());  // data left by processes that are gone: start from zero
    int fd = shm_open(shm_name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0 || ftruncate(fd, sizeof(SharedInstanceData)) != 0) {
        if (fd >= 0) close(fd);
        close(live);
        return nullptr;
    }
    void* map = mmap(nullptr, sizeof(SharedInstanceData), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (map == MAP_FAILED) {
        close(live);
        return nullptr;
    }
    flock(live, LOCK_SH);  // downgrade (or take) the mark of a live process
    g_live_fd = live;
    // A fresh mapping is zero-filled, which is the atomics' initial state.
    g_data = static_cast<SharedInstanceData*>(map);
    return g_data;
}

void DetachInstanceData() {
    std::lock_guard<std::mutex> lock(g_lock);
    if (g_data == nullptr) return;
    const std::string base = BaseName();
    GuardLock guard(LockFolder() + "/" + base + ".guard");
    munmap(g_data, sizeof(SharedInstanceData));
    g_data = nullptr;
    if (flock(g_live_fd, LOCK_EX | LOCK_NB) == 0) shm_unlink(("/" + base).c_str());  // the last one
    close(g_live_fd);
    g_live_fd = -1;
}

}  // namespace tarvix::platform
