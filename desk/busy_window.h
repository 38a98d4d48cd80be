// A window while one of its commands works for long (a transfer with the handheld, an import, a task
// table, a report): a busy cursor over it, its commands disabled, and the operator's input aimed at it
// dropped, not queued, so that no other command starts in the middle of this one nor by itself once it
// has ended.  Dialogs on the way (a file dialog, a message box, a question) take their own input.
#pragma once

#include <QCursor>
#include <QObject>
#include <QPointer>
#include <vector>

class QAction;
class QWidget;

namespace desk {

// From construction on the window shows that it is busy and its input is dropped; all of it is undone
// when the object goes, however the command ends (an exception included).  Guards nest: the innermost
// gives back what the outer one set.
class BusyWindow final : public QObject {
  public:
    // window: where input is dropped and the busy cursor shown (null: nowhere, and the guard does
    // nothing); commands: disabled meanwhile.
    BusyWindow(QWidget* window, std::vector<QAction*> commands);
    ~BusyWindow() override;
    BusyWindow(const BusyWindow&) = delete;
    BusyWindow& operator=(const BusyWindow&) = delete;

    // Whether a guard with a window is in force now (window thread): events may then be handled
    // whole, the operator's input among them, since the guard drops what is aimed at the window.
    static bool active();

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    QPointer<QWidget> window_;
    std::vector<QPointer<QAction>> commands_;
    std::vector<bool> enabled_;
    bool had_cursor_ = false;
    QCursor cursor_;
    bool counted_ = false;  // counted in active(), its filter installed
};

}  // namespace desk
