// Objects that last until the process ends.
#pragma once

#include <new>
#include <utility>

namespace tarvix {

namespace lasting_detail {
// Records an object for EndLastingObjects.
void Enlist(void (*destroy)(void*), void* object);
}  // namespace lasting_detail

// Destroys every Lasting object built so far, the newest first.  Only for the library's very last step
// when it is unloaded from a running process with no worker left: the objects' own memory goes with the
// library's image, and what they hold would otherwise be lost.
void EndLastingObjects();

// Holds a T that is built once and never destroyed.  Whatever the unload hook or a background worker
// may still touch while the process ends lives in one of these: the C++ static destructors run before
// the unload hook, and a worker that outlives the unload's bounded wait keeps running until the process
// is gone, so neither may find its objects destroyed.  Declared as a function-local static it is built
// on first use, whatever the order in which the library's parts start.
template <class T>
class Lasting {
  public:
    template <class... Args>
    explicit Lasting(Args&&... args) {
        ::new (static_cast<void*>(storage_)) T(std::forward<Args>(args)...);
        lasting_detail::Enlist([](void* object) { static_cast<T*>(object)->~T(); }, storage_);
    }
    Lasting(const Lasting&) = delete;
    Lasting& operator=(const Lasting&) = delete;

    T& get() noexcept { return *std::launder(reinterpret_cast<T*>(storage_)); }
    T& operator*() noexcept { return get(); }
    T* operator->() noexcept { return &get(); }

  private:
    alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace tarvix
