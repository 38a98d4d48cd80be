#include "busy_window.h"

#include <QAction>
#include <QCoreApplication>
#include <QDialog>
#include <QEvent>
#include <QWidget>

namespace desk {

namespace {

// Guards with a window now in force (window thread only).
int g_active = 0;

// What the operator does with mouse, keys, wheel, pen, touch or a drop; a move only points.
bool IsOperatorInput(QEvent::Type type) {
    switch (type) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::Wheel:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::ShortcutOverride:
        case QEvent::Shortcut:
        case QEvent::ContextMenu:
        case QEvent::InputMethod:
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
        case QEvent::TouchCancel:
        case QEvent::TabletPress:
        case QEvent::TabletRelease:
        case QEvent::TabletMove:
        case QEvent::NativeGesture:
        case QEvent::Gesture:
        case QEvent::DragEnter:
        case QEvent::DragMove:
        case QEvent::Drop:
            return true;
        default:
            return false;
    }
}

// Whether an event for receiver is aimed at window: the receiver is the window, one of its widgets, or
// an action, menu or popup of it.  A dialog on the way (a library box, a question, a file dialog) takes
// its own input.
bool AimedAt(const QObject* receiver, const QWidget* window) {
    for (const QObject* o = receiver; o != nullptr; o = o->parent()) {
        if (o == window) return true;
        if (qobject_cast<const QDialog*>(o) != nullptr) return false;
    }
    return false;
}

}  // namespace

BusyWindow::BusyWindow(QWidget* window, std::vector<QAction*> commands) : window_(window) {
    for (QAction* action : commands) {
        if (action == nullptr) continue;
        commands_.emplace_back(action);
        enabled_.push_back(action->isEnabled());
        action->setEnabled(false);
    }
    if (!window_) return;
    had_cursor_ = window_->testAttribute(Qt::WA_SetCursor);
    cursor_ = window_->cursor();
    window_->setCursor(Qt::BusyCursor);
    QCoreApplication::instance()->installEventFilter(this);
    counted_ = true;
    ++g_active;
}

BusyWindow::~BusyWindow() {
    if (window_) {
        // Input given while the command blocked the window thread (between two of its pumps) still
        // waits: it goes to the filter now rather than to the window once it is given back.
        QCoreApplication::processEvents();
    }
    if (counted_) {
        QCoreApplication::instance()->removeEventFilter(this);
        --g_active;
    }
    if (window_) {
        if (had_cursor_)
            window_->setCursor(cursor_);
        else
            window_->unsetCursor();
    }
    for (size_t i = 0; i < commands_.size(); ++i)
        if (commands_[i]) commands_[i]->setEnabled(enabled_[i]);
}

bool BusyWindow::active() {
    return g_active > 0;
}

bool BusyWindow::eventFilter(QObject* watched, QEvent* event) {
    if (window_ && IsOperatorInput(event->type()) && AimedAt(watched, window_)) return true;
    return QObject::eventFilter(watched, event);
}

}  // namespace desk
