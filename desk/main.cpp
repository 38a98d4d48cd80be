// KELVANORMProgram: the meter desk.
//   KELVANORMProgram          works in the current folder (db.mdb and B.DBF there)
//   KELVANORMProgram --home   works in the operator's own data folder, made on first start (the
//                             desktop's menu entry starts it this way)
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>

#include "data_folder.h"
#include "desk_ui.h"
#include "form1.h"
#include "handheld.h"
#include "meter_db.h"
#include "temporaries.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QString title = desk::ApplicationTitle(QStringLiteral("KELVANORMProgram"));
    QApplication::setApplicationName(title);
    QApplication::setApplicationDisplayName(QStringLiteral(""));  // the caption alone is the title
    QString program_dir = QCoreApplication::applicationDirPath();
    if (QCoreApplication::arguments().contains(QStringLiteral("--home"))) {
        const QString folder = desk::UserDataDir();
        try {
            const QString shared = desk::SharedFilesDir(program_dir);
            if (shared.isEmpty())
                throw desk::DeskError(QStringLiteral("The desk's template and schema are missing"));
            desk::PrepareDataFolder(folder, shared);
        } catch (const std::exception& e) {
            QMessageBox::critical(nullptr, title, QString::fromUtf8(e.what()));
            return 1;
        }
        // The commands name their files relative to the current folder.
        QDir::setCurrent(folder);
        program_dir = folder;  // the open dialog starts among the operator's files
    }
    // The data folder is the one the program started in, for the whole run.
    const QString data_dir = QDir::currentPath();
    // Part files a desk left there when it ended in the middle of a download or a report.
    desk::RemoveStaleTemporaries(data_dir);
    desk::QtDeskUi ui(nullptr, title);
    desk::TForm1 form(desk::TarvixLink(), ui, data_dir, program_dir);
    ui.setOwner(&form);
    form.show();
    return app.exec();
}
