// The library's message boxes, shown as Qt dialogs.
#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>

namespace desk {

// The library's texts are 8-bit: ASCII or UTF-8, and its built-in Chinese texts GBK bytes.
QString LibraryText(const char* text);

// Shows the box the library asks for and returns the button pressed (TARVIX_ID_*).  Runs the dialog
// on the window thread whatever thread asks.
int32_t ShowLibraryPrompt(const char* text, const char* caption, uint32_t style);

// Tests answer the library's boxes themselves: when set, called instead of showing a dialog.
using LibraryPromptAnswer = int32_t (*)(const QString& text, const QString& caption, uint32_t style);
void SetLibraryPromptAnswer(LibraryPromptAnswer answer);

}  // namespace desk
