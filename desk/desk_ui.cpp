#include "desk_ui.h"

#include <QFileDialog>
#include <QMessageBox>

namespace desk {

QString ApplicationTitle(const QString& program_file_name) {
    QString title = program_file_name.section(QLatin1Char('.'), 0, 0);
    if (title.size() > 1) title = title.left(1) + title.mid(1).toLower();
    return title;
}

namespace {

void Show(QWidget* owner, QMessageBox::Icon icon, const QString& caption, const QString& text) {
    QMessageBox box(icon, caption, text, QMessageBox::Ok, owner);
    box.exec();
}

QMessageBox::Icon ToQt(BoxIcon icon) {
    switch (icon) {
        case BoxIcon::Information:
            return QMessageBox::Information;
        case BoxIcon::Error:
            return QMessageBox::Critical;
        case BoxIcon::None:
            break;
    }
    return QMessageBox::NoIcon;
}

}  // namespace

void QtDeskUi::information(const QString& text) {
    Show(owner_, QMessageBox::Information, QStringLiteral("Information"), text);
}
void QtDeskUi::plain(const QString& text) {
    Show(owner_, QMessageBox::NoIcon, title_, text);
}
void QtDeskUi::box(const QString& text, const QString& caption, BoxIcon icon) {
    Show(owner_, ToQt(icon), caption, text);
}
void QtDeskUi::errorReport(const QString& text) {
    Show(owner_, QMessageBox::Critical, title_, text);
}

bool QtDeskUi::confirm(const QString& text) {
    QMessageBox box(QMessageBox::Question, QStringLiteral("Confirm"), text,
                    QMessageBox::Ok | QMessageBox::Cancel, owner_);
    box.setDefaultButton(QMessageBox::Ok);
    return box.exec() == QMessageBox::Ok;
}

bool QtDeskUi::askYesNo(const QString& text) {
    QMessageBox box(QMessageBox::Question, title_, text, QMessageBox::Yes | QMessageBox::No, owner_);
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

std::optional<QString> QtDeskUi::openFile(const QString& filter, const QString& initial_dir) {
    QFileDialog dialog(owner_, QString(), initial_dir, filter);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return dialog.selectedFiles().front();
}

std::optional<SaveChoice> QtDeskUi::saveFile(const QString& title, const QString& filter) {
    QFileDialog dialog(owner_, title, QString(), filter);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    SaveChoice choice;
    choice.path = dialog.selectedFiles().front();
    const int index = dialog.nameFilters().indexOf(dialog.selectedNameFilter());
    choice.filter_index = index < 0 ? 1 : index + 1;
    return choice;
}

}  // namespace desk
