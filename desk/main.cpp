// KELVANORMProgram: the meter desk.
#include <QApplication>
#include <QDir>
#include <QFileInfo>

#include "desk_ui.h"
#include "form1.h"
#include "handheld.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QString title = desk::ApplicationTitle(QStringLiteral("KELVANORMProgram"));
    QApplication::setApplicationName(title);
    QApplication::setApplicationDisplayName(QStringLiteral(""));  // the caption alone is the title
    // The data folder is the one the program started in, for the whole run.
    const QString data_dir = QDir::currentPath();
    desk::QtDeskUi ui(nullptr, title);
    desk::TForm1 form(desk::TarvixLink(), ui, data_dir, QCoreApplication::applicationDirPath());
    ui.setOwner(&form);
    form.show();
    return app.exec();
}
