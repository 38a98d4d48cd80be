#include "platform/prompt.h"

#include <dlfcn.h>

#include <mutex>

#include "common/lasting.h"

namespace tarvix::platform {
namespace {

std::mutex g_lock;
tarvix_host_prompt_fn g_host_prompt = nullptr;
tarvix_host_restore_window_fn g_host_restore = nullptr;

// The handlers live on after the static destructors: a worker may still ask while the process ends.
PromptHandler& Handler() {
    static Lasting<PromptHandler> handler;
    return *handler;
}
RestoreHandler& Restorer() {
    static Lasting<RestoreHandler> restorer;
    return *restorer;
}

bool IsQuestion(uint32_t style) {
    return (style & 0x0Fu) == TARVIX_MB_YESNO;
}

}  // namespace

void BindHostHooks() {
    std::lock_guard<std::mutex> lock(g_lock);
    // The host's executable exports its hooks dynamically; the library's own exports stay untouched.
    g_host_prompt = reinterpret_cast<tarvix_host_prompt_fn>(dlsym(RTLD_DEFAULT, TARVIX_HOST_PROMPT_SYMBOL));
    g_host_restore = reinterpret_cast<tarvix_host_restore_window_fn>(
        dlsym(RTLD_DEFAULT, TARVIX_HOST_RESTORE_WINDOW_SYMBOL));
}

void SetPromptHandler(PromptHandler handler) {
    std::lock_guard<std::mutex> lock(g_lock);
    Handler() = std::move(handler);
}

int32_t ShowMessageBox(const char* text, const char* caption, uint32_t style) {
    PromptHandler handler;
    tarvix_host_prompt_fn host;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        handler = Handler();
        host = g_host_prompt;
    }
    const char* safe_text = text != nullptr ? text : "";
    const char* safe_caption = caption != nullptr ? caption : "";
    if (handler) return handler(safe_text, safe_caption, style);
    if (host != nullptr) return host(safe_text, safe_caption, style);
    // Nobody to ask: the safe answer.
    return IsQuestion(style) ? TARVIX_ID_NO : TARVIX_ID_OK;
}

bool AskYesNo(const char* text, const char* caption, uint32_t icon) {
    return ShowMessageBox(text, caption, TARVIX_MB_YESNO | icon) == TARVIX_ID_YES;
}

void SetRestoreHandler(RestoreHandler handler) {
    std::lock_guard<std::mutex> lock(g_lock);
    Restorer() = std::move(handler);
}

void RestoreWindow(uint32_t window) {
    RestoreHandler handler;
    tarvix_host_restore_window_fn host;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        handler = Restorer();
        host = g_host_restore;
    }
    if (handler) {
        handler(window);
    } else if (host != nullptr) {
        host(window);
    }
}

}  // namespace tarvix::platform
