// KELVANORMProgram: the meter desk.
//   KELVANORMProgram          works in the current folder (db.mdb and B.DBF there)
//   KELVANORMProgram --home   works in the operator's own data folder, made on first start (the
//                             desktop's menu entry starts it this way)
//   KELVANORMProgram --help | --version
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QStandardPaths>
#include <QTimer>
#include <cstdio>
#include <cstring>

#include "data_folder.h"
#include "desk_ui.h"
#include "form1.h"
#include "handheld.h"
#include "meter_db.h"
#include "task_table.h"
#include "temporaries.h"

namespace {

constexpr const char* kProgram = "KELVANORMProgram";

void PrintUsage(std::FILE* to) {
    std::fprintf(to,
                 "Usage: %s [--home]\n"
                 "The meter desk: imports meters from a workbook into the meter database, uploads the task\n"
                 "table to the handheld data terminal, downloads the readings, lists them and exports a\n"
                 "report workbook.\n"
                 "\n"
                 "Without --home it works in the current folder, which must hold the meter database db.mdb\n"
                 "and the task-table template B.DBF; to make them there:\n"
                 "  kelvanorm-create-db . && cp /usr/share/kelvanorm/B.DBF .\n"
                 "\n"
                 "  --home      work in the operator's own data folder ($KELVANORM_DATA, default\n"
                 "              ~/KELVANORM), made on first start with db.mdb and B.DBF\n"
                 "  -h, --help  print this help and exit\n"
                 "  --version   print the version and exit\n",
                 kProgram);
}

// How the program is to run, from its arguments, read before the window system is reached.
struct Arguments {
    bool home = false;
    int exit_status = -1;  // >= 0: end at once with this status (help, version, a refused argument)
};

Arguments ReadArguments(int argc, char** argv) {
    Arguments a;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--home") == 0) {
            a.home = true;
        } else if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            PrintUsage(stdout);
            a.exit_status = 0;
            return a;
        } else if (std::strcmp(arg, "--version") == 0) {
            std::printf("%s %s\n", kProgram, DESK_VERSION);
            a.exit_status = 0;
            return a;
        } else {
            std::fprintf(stderr, arg[0] == '-' ? "%s: unknown option %s\n" : "%s: unexpected argument %s\n",
                         kProgram, arg);
            PrintUsage(stderr);
            a.exit_status = 2;
            return a;
        }
    }
    return a;
}

// A path as it can be typed into a shell.
QString ShellWord(const QString& path) {
    static const QString plain =
        QStringLiteral("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/._-+=:,@%");
    for (QChar c : path)
        if (!plain.contains(c))
            return QLatin1Char('\'') + QString(path).replace(QLatin1String("'"), QLatin1String("'\\''")) +
                   QLatin1Char('\'');
    return path;
}

// The command that makes the database: by its name where that is the one on the path, else by
// where it lies beside the program (in a build tree).
QString CreateDbCommand(const QString& program_dir) {
    const QString name = QStringLiteral("kelvanorm-create-db");
    const QFileInfo beside(QDir(program_dir).filePath(name));
    if (!beside.isExecutable()) return name;
    const QString on_path = QStandardPaths::findExecutable(name);
    if (!on_path.isEmpty() && QFileInfo(on_path).canonicalFilePath() == beside.canonicalFilePath())
        return name;
    return ShellWord(beside.absoluteFilePath());
}

// What the data folder lacks of the files the commands need, and how to make them; empty when
// nothing is missing.
QString MissingFilesText(const QString& data_dir, const QString& program_dir) {
    const bool db = QFileInfo(QDir(data_dir).filePath(QStringLiteral("db.mdb"))).isFile();
    const bool table_template = !desk::FindFileNoCase(data_dir, QStringLiteral("B.DBF")).isEmpty();
    if (db && table_template) return {};
    QStringList missing, commands;
    if (!db) {
        missing << QStringLiteral("the meter database db.mdb");
        commands << CreateDbCommand(program_dir) + QStringLiteral(" .");
    }
    if (!table_template) {
        missing << QStringLiteral("the task-table template B.DBF");
        QString shared = desk::SharedFilesDir(program_dir);
        if (shared.isEmpty()) shared = QStringLiteral("/usr/share/kelvanorm");
        commands << QStringLiteral("cp %1 .").arg(ShellWord(QDir(shared).filePath(QStringLiteral("B.DBF"))));
    }
    return QStringLiteral(
               "The folder %1 lacks %2, which the import, the upload and the download need.\n\n"
               "To make them there, run in that folder:\n"
               "  %3\n\n"
               "or start %4 with --home to work in your own data folder.")
        .arg(QDir::toNativeSeparators(data_dir), missing.join(QStringLiteral(" and ")),
             commands.join(QStringLiteral(" && ")), QString::fromLatin1(kProgram));
}

}  // namespace

int main(int argc, char** argv) {
    // --help, --version and refused arguments need no display.
    const Arguments arguments = ReadArguments(argc, argv);
    if (arguments.exit_status >= 0) return arguments.exit_status;

    QApplication app(argc, argv);
    const QString title = desk::ApplicationTitle(QString::fromLatin1(kProgram));
    QApplication::setApplicationName(title);
    QApplication::setApplicationDisplayName(QStringLiteral(""));  // the caption alone is the title
    QString program_dir = QCoreApplication::applicationDirPath();
    const QString installed_dir = program_dir;
    if (arguments.home) {
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
    // A folder without the files the commands need is said at once, not found out command by
    // command; the window works all the same.
    const QString missing = MissingFilesText(data_dir, installed_dir);
    if (!missing.isEmpty()) {
        std::fprintf(stderr, "%s: %s\n", kProgram, missing.toLocal8Bit().constData());
        std::fflush(stderr);
        QTimer::singleShot(0, &form,
                           [&form, &title, missing] { QMessageBox::warning(&form, title, missing); });
    }
    return app.exec();
}
