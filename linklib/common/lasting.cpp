#include "common/lasting.h"

#include <atomic>
#include <cstddef>
#include <mutex>

namespace tarvix {
namespace {

// Trivially destructible on purpose: the list must outlive every object in it.
struct Entry {
    void (*destroy)(void*);
    void* object;
};
constexpr size_t kMaxObjects = 64;
Entry g_entries[kMaxObjects];
size_t g_count = 0;
std::mutex g_lock;

}  // namespace

namespace lasting_detail {

void Enlist(void (*destroy)(void*), void* object) {
    std::lock_guard<std::mutex> lock(g_lock);
    // Beyond the list an object simply lasts to the end of the process.
    if (g_count < kMaxObjects) g_entries[g_count++] = Entry{destroy, object};
}

}  // namespace lasting_detail

void EndLastingObjects() {
    for (;;) {
        Entry entry;
        {
            std::lock_guard<std::mutex> lock(g_lock);
            if (g_count == 0) return;
            entry = g_entries[--g_count];
        }
        entry.destroy(entry.object);
    }
}

}  // namespace tarvix
