// How the desk speaks to the operator: modal messages of the kinds the commands use, the open and
// save dialogs, and the error report for errors no command handles itself.  The program shows Qt
// dialogs; tests answer from a script.
#pragma once

#include <QString>
#include <optional>

class QWidget;

namespace desk {

enum class BoxIcon { None, Information, Error };

struct SaveChoice {
    QString path;
    int filter_index = 1;  // 1-based, as the dialog's filter entries are counted
};

class DeskUi {
  public:
    virtual ~DeskUi() = default;
    // Message dialog with the information icon, caption "Information".
    virtual void information(const QString& text) = 0;
    // Message dialog without icon, captioned with the application's title.
    virtual void plain(const QString& text) = 0;
    // Message box with the given caption and icon.
    virtual void box(const QString& text, const QString& caption, BoxIcon icon) = 0;
    // The error report: a box with the error's own text.
    virtual void errorReport(const QString& text) = 0;
    // A question with OK and Cancel, the question icon and the caption "Confirm"; true for OK.
    virtual bool confirm(const QString& text) = 0;
    // A question with Yes and No (No the default), the question icon and the application's title as
    // its caption; true for Yes.
    virtual bool askYesNo(const QString& text) = 0;
    // Open dialog; nullopt when cancelled.
    virtual std::optional<QString> openFile(const QString& filter, const QString& initial_dir) = 0;
    // Save dialog; nullopt when cancelled.
    virtual std::optional<SaveChoice> saveFile(const QString& title, const QString& filter) = 0;
};

// The application's title: the program file's name up to its first full stop, every character after
// the first in lower case ("KELVANORMProgram" gives "Kelvanormprogram").
QString ApplicationTitle(const QString& program_file_name);

// Qt dialogs owned by the given window.
class QtDeskUi final : public DeskUi {
  public:
    explicit QtDeskUi(QWidget* owner, QString title) : owner_(owner), title_(std::move(title)) {}
    void setOwner(QWidget* owner) { owner_ = owner; }
    void information(const QString& text) override;
    void plain(const QString& text) override;
    void box(const QString& text, const QString& caption, BoxIcon icon) override;
    void errorReport(const QString& text) override;
    bool confirm(const QString& text) override;
    bool askYesNo(const QString& text) override;
    std::optional<QString> openFile(const QString& filter, const QString& initial_dir) override;
    std::optional<SaveChoice> saveFile(const QString& title, const QString& filter) override;

  private:
    QWidget* owner_;
    QString title_;
};

}  // namespace desk
