// The library's message boxes shown by the desk.
#include "host_prompt.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <thread>

#include "tarvix.h"

extern "C" int32_t tarvix_host_prompt(const char* text, const char* caption, uint32_t style);

namespace {

TEST(HostPrompt, LibraryTextsInEveryEncodingTheyCome) {
    EXPECT_EQ(desk::LibraryText("Folder with the same name exists"),
              QStringLiteral("Folder with the same name exists"));
    EXPECT_EQ(desk::LibraryText("\xe8\xbf\x9e\xe6\x8e\xa5"), QStringLiteral("\u8fde\u63a5"));  // UTF-8
    EXPECT_EQ(desk::LibraryText("\xc1\xac\xbd\xd3"), QStringLiteral("\u8fde\u63a5"));          // GBK
    EXPECT_EQ(desk::LibraryText(nullptr), QString());
}

// Clicks the given button of the next message box that opens, and remembers what it showed.
struct BoxAnswer {
    QMessageBox::StandardButton button;
    QString text, caption;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    void arm() {
        QTimer::singleShot(0, [this] { answer(); });
    }
    void answer() {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) {
            QTimer::singleShot(10, [this] { answer(); });
            return;
        }
        text = box->text();
        caption = box->windowTitle();
        icon = box->icon();
        buttons = box->standardButtons();
        box->button(button)->click();
    }
};

TEST(HostPrompt, QuestionsAndNoticesAsDialogs) {
    BoxAnswer yes{QMessageBox::Yes, {}, {}, {}, {}};
    yes.arm();
    EXPECT_EQ(tarvix_host_prompt("Overwrite?", "Caption", TARVIX_MB_YESNO | TARVIX_MB_ICONQUESTION),
              TARVIX_ID_YES);
    EXPECT_EQ(yes.text, QStringLiteral("Overwrite?"));
    EXPECT_EQ(yes.caption, QStringLiteral("Caption"));
    EXPECT_EQ(yes.icon, QMessageBox::Question);
    EXPECT_EQ(yes.buttons, QMessageBox::Yes | QMessageBox::No);

    BoxAnswer no{QMessageBox::No, {}, {}, {}, {}};
    no.arm();
    EXPECT_EQ(tarvix_host_prompt("Delete?", "", TARVIX_MB_YESNO), TARVIX_ID_NO);

    BoxAnswer ok{QMessageBox::Ok, {}, {}, {}, {}};
    ok.arm();
    EXPECT_EQ(tarvix_host_prompt("\xc1\xac\xbd\xd3", "E", TARVIX_MB_OK | TARVIX_MB_ICONERROR), TARVIX_ID_OK);
    EXPECT_EQ(ok.text, QStringLiteral("\u8fde\u63a5"));
    EXPECT_EQ(ok.icon, QMessageBox::Critical);
}

TEST(HostPrompt, AWorkerThreadsQuestionRunsOnTheWindowThread) {
    BoxAnswer yes{QMessageBox::Yes, {}, {}, {}, {}};
    std::atomic<int32_t> result{-1};
    std::thread worker([&] { result = tarvix_host_prompt("From a worker", "W", TARVIX_MB_YESNO); });
    // The window thread serves the queued dialog while the worker waits.
    QTimer::singleShot(0, [&] { yes.answer(); });
    while (result.load() == -1) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    worker.join();
    EXPECT_EQ(result.load(), TARVIX_ID_YES);
    EXPECT_EQ(yes.text, QStringLiteral("From a worker"));
}

}  // namespace
