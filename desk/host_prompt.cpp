#include "host_prompt.h"

#include <QApplication>
#include <QMessageBox>
#include <QStringDecoder>
#include <QThread>
#include <atomic>

#include "tarvix.h"
#include "transfer_runner.h"

namespace desk {

namespace {
std::atomic<LibraryPromptAnswer> g_answer{nullptr};
}

void SetLibraryPromptAnswer(LibraryPromptAnswer answer) {
    g_answer = answer;
}

QString LibraryText(const char* text) {
    if (!text) return {};
    const QByteArray bytes(text);
    QStringDecoder utf8(QStringDecoder::Utf8);
    QString decoded = utf8(bytes);
    if (!utf8.hasError()) return decoded;
    QStringDecoder gbk("GB18030");
    if (gbk.isValid()) {
        decoded = gbk(bytes);
        if (!gbk.hasError()) return decoded;
    }
    return QString::fromLatin1(bytes);
}

int32_t ShowLibraryPrompt(const char* text, const char* caption, uint32_t style) {
    const QString t = LibraryText(text), c = LibraryText(caption);
    if (LibraryPromptAnswer answer = g_answer.load()) return answer(t, c, style);

    const bool yes_no = (style & 0x0Fu) == TARVIX_MB_YESNO;
    auto show = [&]() -> int32_t {
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        switch (style & 0xF0u) {
            case TARVIX_MB_ICONERROR:
                icon = QMessageBox::Critical;
                break;
            case TARVIX_MB_ICONQUESTION:
                icon = QMessageBox::Question;
                break;
            case TARVIX_MB_ICONWARNING:
                icon = QMessageBox::Warning;
                break;
            case TARVIX_MB_ICONINFORMATION:
                icon = QMessageBox::Information;
                break;
            default:
                break;
        }
        QMessageBox box(icon, c, t, yes_no ? (QMessageBox::Yes | QMessageBox::No) : QMessageBox::Ok,
                        QApplication::activeWindow());
        // A box nobody answers (the window closes, the application quits) takes the answer that
        // changes nothing.
        const QMessageBox::StandardButton pressed =
            RunLibraryBox(box, yes_no ? QMessageBox::No : QMessageBox::Ok);
        if (yes_no) return pressed == QMessageBox::Yes ? TARVIX_ID_YES : TARVIX_ID_NO;
        return TARVIX_ID_OK;
    };
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return yes_no ? TARVIX_ID_NO : TARVIX_ID_OK;
    if (QThread::currentThread() == app->thread()) return show();
    // A background worker asks: the dialog runs on the window thread while the worker waits.
    int32_t result = yes_no ? TARVIX_ID_NO : TARVIX_ID_OK;
    QMetaObject::invokeMethod(
        app, [&] { result = show(); }, Qt::BlockingQueuedConnection);
    return result;
}

}  // namespace desk

// Looked up by the library when it is loaded (the program exports it).
extern "C" __attribute__((visibility("default"))) int32_t tarvix_host_prompt(const char* text,
                                                                             const char* caption,
                                                                             uint32_t style) {
    return desk::ShowLibraryPrompt(text, caption, style);
}
