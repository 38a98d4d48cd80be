// Message boxes without an owner window.  The library asks through one prompt service: the host's
// tarvix_host_prompt when its executable defines one, a handler a test installed, or else the safe
// answer (No to a question, OK otherwise).
#pragma once

#include <cstdint>
#include <functional>

#include "tarvix.h"

namespace tarvix::platform {

using PromptHandler = std::function<int32_t(const char* text, const char* caption, uint32_t style)>;

// Shows a box and returns the button pressed (TARVIX_ID_*).  Safe to call from any thread.
int32_t ShowMessageBox(const char* text, const char* caption, uint32_t style);
// True only for an explicit Yes to a Yes/No question.
bool AskYesNo(const char* text, const char* caption, uint32_t icon);

// Looks up the host's hooks in the loading program (done once at library load).
void BindHostHooks();
// Installs a handler (tests); an empty one restores the host's or the default answer.
void SetPromptHandler(PromptHandler handler);

// Restores the given window through the host's hook; nothing without one.
void RestoreWindow(uint32_t window);
using RestoreHandler = std::function<void(uint32_t window)>;
void SetRestoreHandler(RestoreHandler handler);

}  // namespace tarvix::platform
