// The instance data on Windows: a named file mapping backed by the paging file.  The system zero-fills
// it when the first process creates it and removes it when the last handle to it closes, which is
// exactly the lifetime the data needs.  Creating or opening it is one atomic call, so processes need
// no lock of their own around it (and the load notification, which calls it, must not wait); the
// data's fields are atomics.
#include <windows.h>

#include <mutex>
#include <string>

#include "platform/instance.h"
#include "platform/process.h"

namespace tarvix::platform {
namespace {

std::mutex g_lock;
SharedInstanceData* g_data = nullptr;
HANDLE g_mapping = nullptr;

std::string BaseName() {
    std::string name = Environment("TARVIX_SHM_NAME");
    if (name.empty()) name = "tarvix-instance";
    for (char& c : name) {
        if (c == '\\' || c == '/') c = '-';  // a kernel object name holds no separator of its own
    }
    return "Local\\" + name;
}

}  // namespace

SharedInstanceData* AttachInstanceData() {
    std::lock_guard<std::mutex> lock(g_lock);
    if (g_data != nullptr) return g_data;
    const std::string name = BaseName();
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                        sizeof(SharedInstanceData), name.c_str());
    if (mapping == nullptr) return nullptr;
    void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(SharedInstanceData));
    if (view == nullptr) {
        CloseHandle(mapping);
        return nullptr;
    }
    g_mapping = mapping;
    // A fresh mapping is zero-filled, which is the atomics' initial state.
    g_data = static_cast<SharedInstanceData*>(view);
    return g_data;
}

void DetachInstanceData() {
    std::lock_guard<std::mutex> lock(g_lock);
    if (g_data == nullptr) return;
    UnmapViewOfFile(g_data);
    CloseHandle(g_mapping);
    g_data = nullptr;
    g_mapping = nullptr;
}

}  // namespace tarvix::platform
