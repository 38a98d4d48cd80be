#include "form1.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QFontMetrics>
#include <QFrame>
#include <QHeaderView>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QScreen>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTabBar>
#include <QTabWidget>
#include <QTableView>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>
#include <algorithm>
#include <atomic>
#include <exception>

#include "busy_window.h"
#include "meter_db.h"
#include "meter_grid.h"
#include "processes.h"
#include "progress_pump.h"
#include "task_table.h"
#include "temporaries.h"
#include "transfer_runner.h"
#include "workbook.h"

namespace desk {

namespace {

QFrame* NewPanel(QWidget* parent) {
    auto* panel = new QFrame(parent);
    panel->setFrameShape(QFrame::StyledPanel);
    auto* layout = new QVBoxLayout(panel);
    layout->setContentsMargins(1, 1, 1, 1);
    return panel;
}

QString ExceptionText(const std::exception& e) {
    return QString::fromUtf8(e.what());
}

// The question before a task table goes with texts that would not arrive as they stand.
QString ChangedTextsQuestion(const TextChanges& c) {
    QString meters = c.meters.join(QStringLiteral(", "));
    if (c.records > c.meters.size()) meters += QStringLiteral(", ...");
    return QStringLiteral(
               "%1 of the meters have a name, address or other text that would not reach the "
               "handheld as it stands:\n"
               "%2 texts with characters that the task table's code page %3 lacks (sent as \"?\"),\n"
               "%4 texts longer than their field (cut).\n"
               "Meters: %5\n\n"
               "OK sends the task table as it would arrive; Cancel sends nothing.")
        .arg(c.records)
        .arg(c.replaced)
        .arg(QString::fromStdString(c.code_page))
        .arg(c.cut)
        .arg(meters);
}

// thrdStop's stop request: the byte-frame family takes it back by itself after half a second, so
// nothing of it is left for the next call; the text-frame family does not read the value.
constexpr int32_t kStopRequest = 1;

constexpr const char* kStopQuestion =
    "A transfer with the handheld is running. Stop it and close the window?";

// The right-hand gap the download's progress bar keeps to the edge of its panel as the window grows.
constexpr int kProgressBar2Left = 240;
constexpr int kProgressBar2RightGap = 190;

std::atomic<int> g_forms{0};

}  // namespace

TForm1::TForm1(HandheldLink& link, DeskUi& ui, QString data_dir, QString program_dir, QWidget* parent)
    : QMainWindow(parent),
      link_(link),
      ui_(ui),
      data_dir_(std::move(data_dir)),
      program_dir_(std::move(program_dir)),
      connection_(QStringLiteral("ADOMeterQuery%1").arg(g_forms.fetch_add(1))),
      operator_language_(OperatorLanguage()) {
    setObjectName(QStringLiteral("Form1"));
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setPointSize(8);
    setFont(font);
    resize(1178, 635);
    setWindowTitle(QString());

    // Main menu.
    t2 = menuBar()->addMenu(QStringLiteral("File"));
    ConnecttoHHU1 = t2->addAction(QStringLiteral("Connect to HHU"));
    Quit1 = t2->addAction(QStringLiteral("Exit"));
    Data1 = menuBar()->addMenu(QStringLiteral("Data"));
    Meterdatamaintenance1 = Data1->addAction(QStringLiteral("Import data from excel"));
    DownloadfromHHU1 = Data1->addAction(QStringLiteral("Download from HHU"));
    connect(ConnecttoHHU1, &QAction::triggered, this, &TForm1::ConnecttoHHU1Click);
    connect(Quit1, &QAction::triggered, this, &TForm1::Quit1Click);
    connect(Meterdatamaintenance1, &QAction::triggered, this, &TForm1::Meterdatamaintenance1Click);
    connect(DownloadfromHHU1, &QAction::triggered, this, &TForm1::DownloadfromHHU1Click);

    // Client area.
    Panel1 = NewPanel(this);
    setCentralWidget(Panel1);
    PageControl1 = new QTabWidget(Panel1);
    Panel1->layout()->addWidget(PageControl1);

    TabSheet2 = new QWidget;
    auto* page0 = new QVBoxLayout(TabSheet2);
    page0->setContentsMargins(0, 0, 0, 0);
    Panel6 = NewPanel(TabSheet2);
    page0->addWidget(Panel6);
    DBGrid2 = new MeterGrid(Panel6);
    DBGrid2->setObjectName(QStringLiteral("DBGrid2"));
    DBGrid2->horizontalHeader()->setFont(font);
    DBGrid2->setContextMenuPolicy(Qt::CustomContextMenu);
    DBGrid2->confirmDelete = [this] { return ui_.confirm(QStringLiteral("Delete record?")); };
    DBGrid2->deleteFailed = [this](const QString& why) { ui_.errorReport(why); };
    DBGrid2->verticalHeader()->setDefaultSectionSize(QFontMetrics(font).height() + 6);
    DBGrid2->verticalHeader()->setFixedWidth(12);  // the record indicator column
    Panel6->layout()->addWidget(DBGrid2);
    ProgressBar3 = new QProgressBar(Panel6);
    ProgressBar3->setGeometry(172, 168, 793, 17);
    ProgressBar3->setTextVisible(false);
    ProgressBar3->hide();
    PageControl1->addTab(TabSheet2, QStringLiteral("Import meter data from excel and upload to HHU"));

    TabSheet4 = new QWidget;
    auto* page1 = new QVBoxLayout(TabSheet4);
    page1->setContentsMargins(0, 0, 0, 0);
    Panel15 = NewPanel(TabSheet4);
    page1->addWidget(Panel15);
    ListView2 = new QTableWidget(Panel15);
    ListView2->setObjectName(QStringLiteral("ListView2"));
    QFont list_font(QStringLiteral("MS Sans Serif"));
    list_font.setPointSize(10);
    ListView2->setFont(list_font);
    ListView2->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ListView2->setSelectionBehavior(QAbstractItemView::SelectRows);
    ListView2->setShowGrid(true);
    ListView2->verticalHeader()->hide();
    ListView2->verticalHeader()->setDefaultSectionSize(QFontMetrics(list_font).height() + 6);
    ListView2->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    ListView2->setContextMenuPolicy(Qt::CustomContextMenu);
    Panel15->layout()->addWidget(ListView2);
    ProgressBar2 = new QProgressBar(Panel15);
    ProgressBar2->setGeometry(kProgressBar2Left, 180, 719, 17);
    ProgressBar2->setRange(0, 100);
    ProgressBar2->setTextVisible(false);
    ProgressBar2->hide();
    Panel15->installEventFilter(this);
    PageControl1->addTab(TabSheet4, QStringLiteral("Download from HHU and export data to excel"));

    // Popup menus.
    PopupMenu1 = new QMenu(this);
    ddfs1 = PopupMenu1->addAction(QStringLiteral("Upload all data to HHU"));
    connect(ddfs1, &QAction::triggered, this, &TForm1::ddfs1Click);
    connect(DBGrid2, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { PopupMenu1->popup(DBGrid2->viewport()->mapToGlobal(at)); });
    PopupMenu2 = new QMenu(this);
    Exportdatatoexcel2 = PopupMenu2->addAction(QStringLiteral("Export data to excel"));
    connect(Exportdatatoexcel2, &QAction::triggered, this, &TForm1::Exportdatatoexcel2Click);
    connect(ListView2, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { PopupMenu2->popup(ListView2->viewport()->mapToGlobal(at)); });

    model_ = std::make_unique<MeterGridModel>();
    DBGrid2->setModel(model_.get());
    // Told after the edit has ended: a dialog inside the editor's commit would take its focus and
    // commit it a second time.
    connect(
        model_.get(), &MeterGridModel::writeFailed, this,
        [this](const QString& why) { ui_.errorReport(why); }, Qt::QueuedConnection);
}

TForm1::~TForm1() {
    DBGrid2->setModel(nullptr);
    model_.reset();
    if (db_.isValid()) db_.close();
    db_ = QSqlDatabase();
    QSqlDatabase::removeDatabase(connection_);
}

void TForm1::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (!shown_once_) {
        shown_once_ = true;
        if (QScreen* screen = this->screen()) {
            // The window opens centred in the screen's free area (without panels and docks) and, where
            // that area is smaller than the layout, shrunk to fit it, so that its frame, menus and close
            // button can all be reached.
            const QMargins frame = windowHandle() ? windowHandle()->frameMargins() : QMargins();
            const QRect area = screen->availableGeometry();
            const QSize room(area.width() - frame.left() - frame.right(),
                             area.height() - frame.top() - frame.bottom());
            if (size().width() > room.width() || size().height() > room.height())
                resize(size().boundedTo(room).expandedTo(minimumSize()));
            QRect outer(QPoint(), size().grownBy(frame));
            outer.moveCenter(area.center());
            // A window still larger than the area (its layout cannot shrink further) keeps its top-left
            // corner, with the menus, on screen.
            outer.moveLeft(std::max(outer.left(), area.left()));
            outer.moveTop(std::max(outer.top(), area.top()));
            move(outer.topLeft());  // the position of a window is that of its frame
        }
        FormShow();
    }
}

void TForm1::closeEvent(QCloseEvent* event) {
    if (busy_ != nullptr && busy_->running()) {
        // While a transfer runs the window stays: the operator is asked whether to stop the transfer,
        // and on Yes the window closes once the command has ended.  When the application quits the
        // transfer is stopped already, and the window goes as at any other time.
        if (!busy_->quitting()) {
            event->ignore();
            askToStopForClose();
            return;
        }
    } else if (working_ > 0) {
        // A command's own long step (an import into db.mdb, a task table, the reading list, a report)
        // takes seconds at most and cannot be stopped half-way without leaving its files half-done: the
        // close is remembered and done once the step has ended and the command with it.  The message
        // that tells how the step went still shows; no transfer with the handheld starts after it.
        event->ignore();
        close_pending_ = true;
        return;
    }
    // A cell still being edited is written before the window goes; a value its field cannot take keeps
    // the window open, so the operator sees why and can correct or cancel it.
    if (!DBGrid2->commitPendingEdit()) {
        event->ignore();
        return;
    }
    QMainWindow::closeEvent(event);
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    if (watched == Panel15 && event->type() == QEvent::Resize)
        ProgressBar2->setFixedWidth(
            std::max(1, Panel15->width() - kProgressBar2Left - kProgressBar2RightGap));
    return QMainWindow::eventFilter(watched, event);
}

// ---- pages -----------------------------------------------------------------------------------

int TForm1::pageOnView() const {
    if (PageControl1->isHidden()) return -1;
    const int current = PageControl1->currentIndex();
    return current >= 0 && PageControl1->isTabVisible(current) ? current : -1;
}

void TForm1::showTab(int page) {
    PageControl1->setTabVisible(page, true);
    if (!PageControl1->isTabVisible(PageControl1->currentIndex()) || PageControl1->isHidden())
        PageControl1->setCurrentIndex(page);
    PageControl1->show();
}

void TForm1::hideTab(int page) {
    PageControl1->setTabVisible(page, false);
    bool any = false;
    for (int i = 0; i < PageControl1->count(); ++i) {
        if (PageControl1->isTabVisible(i)) {
            any = true;
            if (!PageControl1->isTabVisible(PageControl1->currentIndex())) PageControl1->setCurrentIndex(i);
        }
    }
    // With no tab shown there is no page on view.
    PageControl1->setVisible(any);
}

void TForm1::showPage(int page) {
    showTab(page);
    hideTab(1 - page);
    PageControl1->setCurrentIndex(page);
}

void TForm1::FormShow() {
    hideTab(0);
    hideTab(1);
}

void TForm1::Quit1Click() {
    close();
}

void TForm1::setCaption(const QString& caption) {
    setWindowTitle(caption);
}

// ---- commands at work --------------------------------------------------------------------------

TForm1::Working::Working(TForm1& form)
    : form_(form), busy_(std::make_unique<BusyWindow>(&form, form.commandActions())) {
    ++form_.working_;
}

TForm1::Working::~Working() {
    // Input still queued goes to the guard first (a close among it is remembered), then the window is
    // given back.
    busy_.reset();
    if (--form_.working_ > 0 || !form_.close_pending_) return;
    form_.close_pending_ = false;
    // Once the command has returned; a grid edit that cannot be written may still keep the window open.
    QTimer::singleShot(0, &form_, [form = &form_] { form->close(); });
}

// ---- transfers ---------------------------------------------------------------------------------

std::vector<QAction*> TForm1::commandActions() const {
    return {t2->menuAction(),      Data1->menuAction(), ConnecttoHHU1, Quit1,
            Meterdatamaintenance1, DownloadfromHHU1,    ddfs1,         Exportdatatoexcel2};
}

std::function<void()> TForm1::stopCall() {
    return [this] { link_.thrdStop(kStopRequest); };
}

std::optional<int32_t> TForm1::transferCall(Transfer& busy, const std::function<int32_t()>& call,
                                            QProgressBar* bar) {
    // A close asked during the command's own steps before the call: the window is to go, and the
    // call is not made.
    if (!close_pending_) {
        busy_ = &busy;
        struct Forget {
            TForm1* form;
            ~Forget() { form->busy_ = nullptr; }
        } forget{this};
        int32_t result = 1;
        std::exception_ptr error;
        std::function<int32_t()> percent;
        if (bar != nullptr) percent = [this] { return link_.thrdQueryPercent(); };
        try {
            result = busy.run(call, percent, bar);
        } catch (...) {
            error = std::current_exception();
        }
        if (!busy.stopped()) {
            if (error) std::rethrow_exception(error);
            return result;
        }
    }
    return std::nullopt;
}

void TForm1::askToStopForClose() {
    if (asking_stop_ || busy_->stopped()) return;
    asking_stop_ = true;
    const bool stop = ui_.askYesNo(QString::fromLatin1(kStopQuestion));
    asking_stop_ = false;
    // The question waits inside the transfer's run, so the transfer is still there, although its call
    // may have ended meanwhile: the window then closes all the same.
    if (!stop) return;
    close_pending_ = true;
    busy_->stop();
}

// ---- connection --------------------------------------------------------------------------------

TForm1::Probe TForm1::TryConnectHHU() {
    // A stop (the window closes) reaches the detection in hand through thrdStop, and no further
    // attempt is made.
    std::atomic<bool> halted{false};
    // The command's Working keeps the window busy (see transferCall).
    Transfer busy(nullptr, {}, [this, &halted] {
        halted = true;
        link_.thrdStop(kStopRequest);
    });
    // Written by the call's thread, read here once it has returned.
    char number[16] = {};
    std::optional<int32_t> found;
    try {
        found = transferCall(
            busy,
            [this, &halted, &number]() -> int32_t {
                for (int attempt = 1; attempt <= 4 && !halted.load(); ++attempt) {
                    std::fill(std::begin(number), std::end(number), '\0');
                    if (link_.thrdGetHcNum(attempt, kBaudRate, number) == 0) return attempt;
                }
                return 0;
            },
            nullptr);
    } catch (const std::exception&) {
        return Probe::Failed;
    }
    if (!found) return Probe::Stopped;
    if (*found == 0) return Probe::Failed;
    HandheldPort = *found;
    // The number's text up to its NUL, never past the buffer, cut to 9 characters.
    size_t length = 0;
    while (length < 9 && length < sizeof number && number[length] != '\0') ++length;
    setCaption(QString::fromLatin1(number, static_cast<qsizetype>(length)));
    return Probe::Connected;
}

void TForm1::ConnecttoHHU1Click() {
    Working working(*this);
    try {
        // The search runs as a transfer, whose loop paints the caption while it lasts.
        setCaption(QStringLiteral("Connecting........."));
        const Probe probe = TryConnectHHU();
        if (probe == Probe::Stopped) return;  // the window closes or the application quits
        if (probe == Probe::Connected) {
            ui_.information(QStringLiteral("The connection is successful"));
        } else {
            ui_.information(QStringLiteral("Connect fail\uFF01"));
            setCaption(QStringLiteral("Not connect!"));
        }
    } catch (const std::exception&) {
        ui_.information(QStringLiteral("Connect fail\uFF01"));
    }
}

// ---- import ------------------------------------------------------------------------------------

void TForm1::buildGridColumns() {
    const QSqlRecord record = model_->record();
    QHeaderView* header = DBGrid2->horizontalHeader();
    int visual = 0;
    for (const GridColumn& column : kGridColumns) {
        const int logical = record.indexOf(QString::fromLatin1(column.field));
        if (logical < 0) continue;
        const QString title =
            *column.title ? QString::fromLatin1(column.title) : QString::fromLatin1(column.field);
        model_->setHeaderData(logical, Qt::Horizontal, title);
        header->moveSection(header->visualIndex(logical), visual++);
        DBGrid2->setColumnWidth(logical, column.width > 0 ? column.width : header->defaultSectionSize());
    }
}

void TForm1::closeGridQuery() {
    model_->clear();
    query_open_ = false;
}

void TForm1::Meterdatamaintenance1Click() {
    showPage(0);

    // Choose the workbook.
    QString path;
    try {
        const std::optional<QString> chosen =
            ui_.openFile(QStringLiteral("EXCEL (*.xls);;EXCEL2007 (*.xlsx)"), program_dir_);
        if (!chosen || QFileInfo(*chosen).fileName().isEmpty()) throw std::runtime_error("cancelled");
        path = QDir::toNativeSeparators(QFileInfo(*chosen).absoluteFilePath());
        setCaption(path);
    } catch (const std::exception&) {
        ui_.box(QStringLiteral("You canceled the operation !"), QStringLiteral("ERROR!"), BoxIcon::Error);
        return;
    }
    Working working(*this);

    // Read its first sheet (the caption shows the chosen file meanwhile).
    ProgressPump::pumpWindow();
    Sheet sheet;
    try {
        sheet =
            ReadFirstSheet(QFile::encodeName(QDir::fromNativeSeparators(path)).toStdString(), kImportColumns);
    } catch (const std::exception&) {
        ui_.box(QStringLiteral("You Excel did not install!"), QStringLiteral("ERROR!"), BoxIcon::Error);
        return;
    }
    if (sheet.rowCount() == 0 || sheet.columnCount() == 0) {
        ui_.plain(QStringLiteral("The excel file has no data! Please confirm"));
        return;
    }

    // Replace Meter: every row converted first, then one transaction.
    ProgressBar3->setRange(0, sheet.rowCount());
    ProgressBar3->setValue(0);
    ProgressBar3->show();
    ProgressBar3->raise();
    try {
        // The grid keeps showing Meter as it is until the new list is in: a failed import changes
        // neither.
        db_ = OpenMeterDatabase(data_dir_, connection_);
        ProgressPump pump(ProgressBar3);
        pump.flush();
        ImportMeters(db_, sheet, [&pump](int k) { pump.set(k); });
        pump.flush();
        sheet = Sheet();  // the rows are in Meter now
    } catch (const std::exception& e) {
        ProgressBar3->setValue(0);
        ProgressBar3->hide();
        ui_.errorReport(ExceptionText(e));
        return;
    }
    ProgressBar3->setValue(0);
    ProgressBar3->hide();

    TerminateProcessesByName("excel.exe");
    ProgressPump::pumpWindow();

    // Show the new list; every row is fetched, so the upload sees them all.
    QString why;
    if (!model_->open(db_, why)) {
        closeGridQuery();
        ui_.errorReport(QStringLiteral("The meter list cannot be shown: %1").arg(why));
        return;
    }
    query_open_ = true;
    buildGridColumns();
    ui_.plain(QStringLiteral("Data has been imported\uFF01"));
}

// ---- upload ------------------------------------------------------------------------------------

void TForm1::ddfs1Click() {
    // An edit still open is written first, so the table carries what the grid shows; a refused value
    // ends the command with its report.
    if (!DBGrid2->commitPendingEdit()) return;
    Working working(*this);
    const int port = HandheldPort;
    const QString template_path = FindFileNoCase(data_dir_, QStringLiteral("B.DBF"));
    if (template_path.isEmpty()) {
        ui_.plain(QStringLiteral("(B.dbf)File association missing!"));
        return;
    }
    // The new table is built beside A.DBF from a fresh copy of the template (so records never pile up
    // across runs).  Cancel at the question on changed texts (a close during the build stands for it
    // when there is one) and a build that fails leave the earlier table, which a later download's
    // texts are read by, as it was.  Once the new table is complete and not cancelled it takes A.DBF's
    // place, also when the send then fails, or a close stops the send or ends the command before it.
    const QString table_path = QDir(data_dir_).filePath(QStringLiteral("A.DBF"));
    const QString temp = QDir(data_dir_).filePath(QStringLiteral(".A.DBF.part"));
    {
        QFile::remove(temp);
        // The copy records the code page its texts are written in, so that the table reads the same
        // under any operator's language.
        bool copied = QFile::copy(template_path, temp);
        try {
            if (copied) RecordCodePage(temp, operator_language_);
        } catch (const DeskError&) {
            copied = false;
        }
        // A name that no table can take (a folder) is found before any work.
        copied = copied && (!QFileInfo::exists(table_path) || QFileInfo(table_path).isFile());
        if (!copied) {
            QFile::remove(temp);
            ui_.plain(QStringLiteral("Send the file failed, please try again!"));
            return;
        }
    }

    ProgressBar3->setValue(0);
    ProgressBar3->show();
    ProgressBar3->raise();
    auto reset_bar = [this] {
        ProgressBar3->setValue(0);
        ProgressBar3->hide();
    };
    TextChanges changes;
    try {
        if (!query_open_)
            throw DeskError(QStringLiteral("Cannot perform this operation on a closed dataset"));
        const int count = model_->rowCount();
        // The bar runs through the rows twice: reading them from the grid's data, then writing them.
        ProgressBar3->setRange(0, std::max(2 * count, 1));
        ProgressPump pump(ProgressBar3);
        pump.flush();
        std::vector<TaskRecord> records;
        records.reserve(static_cast<size_t>(count));
        // The rows come from the grid's data, not through the view: moving the view's current cell
        // per row would lay out and repaint the grid 100 000 times.
        const QSqlRecord names = model_->record();
        int column[7];
        for (int c = 0; c < 7; ++c) column[c] = names.indexOf(QString::fromLatin1(kGridColumns[c].field));
        auto field = [&column](const QSqlRecord& r, int c) {
            return column[c] < 0 ? QVariant() : r.value(column[c]);
        };
        for (int k = 1; k <= count; ++k) {
            pump.set(k);
            const QSqlRecord r = model_->record(k - 1);
            TaskRecord t;
            t.nid = field(r, 0).toLongLong();
            t.cid = FieldText(field(r, 1));
            t.addres = FieldText(field(r, 2));
            t.mid = FieldText(field(r, 3));
            t.roter = FieldText(field(r, 4));
            t.lx = FieldText(field(r, 6));
            t.reset = FieldText(field(r, 5));
            records.push_back(std::move(t));
        }
        // The grid's current record ends on the last row, as after a walk through every record.
        if (count > 0)
            DBGrid2->setCurrentIndex(model_->index(count - 1, std::max(0, DBGrid2->currentIndex().column())));
        // Texts that would arrive changed are shown before anything is written or sent; they are judged
        // by the code page the new table records.
        changes = FindTextChanges(temp, records, operator_language_);
        if (changes.records > 0) {
            pump.flush();
            // Nothing is to be sent once the window is to close: no question then.
            if (close_pending_ || !ui_.confirm(ChangedTextsQuestion(changes))) {
                QFile::remove(temp);
                reset_bar();
                return;
            }
        }
        AppendTaskRecords(temp, records, operator_language_, [&pump, count](int k) { pump.set(count + k); });
        pump.flush();
    } catch (const std::exception& e) {
        QFile::remove(temp);
        reset_bar();
        ui_.errorReport(ExceptionText(e));
        return;
    }
    if (::rename(QFile::encodeName(temp).constData(), QFile::encodeName(table_path).constData()) != 0) {
        QFile::remove(temp);
        reset_bar();
        ui_.plain(QStringLiteral("Send the file failed, please try again!"));
        return;
    }
    // The bar follows the transfer from here.
    ProgressBar3->setRange(0, 100);
    ProgressBar3->setValue(0);
    ProgressPump::pumpWindow();

    // The command's Working keeps the window busy (see transferCall).
    Transfer busy(nullptr, {}, stopCall());
    std::optional<int32_t> result;
    try {
        result = transferCall(
            busy,
            [this, port] { return link_.SendFileToHc(port, kBaudRate, kHcTaskTable, kPcTaskTable, 1, 1); },
            ProgressBar3);
    } catch (const std::exception&) {
        ui_.plain(QStringLiteral("Send the file failed"));
        reset_bar();
        return;
    }
    if (!result) {
        reset_bar();
        return;
    }
    if (*result != 0) {
        ui_.information(QStringLiteral("Send the file failed!"));
        reset_bar();
    } else {
        reset_bar();
        // A table that went with changed texts is never reported as a plain success.
        QString text = QStringLiteral("File upload success!");
        if (changes.records > 0)
            text += QStringLiteral(
                        "\n%1 of the meters went with changed texts (\"?\" for a character the code "
                        "page %2 lacks, or a text cut to its field).")
                        .arg(changes.records)
                        .arg(QString::fromStdString(changes.code_page));
        ui_.information(text);
    }
}

// ---- download ----------------------------------------------------------------------------------

void TForm1::SetupReadingColumns() {
    ListView2->clear();
    ListView2->setRowCount(0);
    ListView2->setColumnCount(19);
    ListView2->setShowGrid(true);
    QStringList captions;
    for (const ReadingColumn& c : kReadingColumns) captions << QString::fromLatin1(c.caption);
    ListView2->setHorizontalHeaderLabels(captions);
    for (int i = 0; i < 19; ++i) ListView2->setColumnWidth(i, kReadingColumns[i].width);
    ListView2->setRowCount(0);
}

void TForm1::DownloadfromHHU1Click() {
    Working working(*this);
    // What a desk that ended during an earlier download left behind goes first.
    RemoveStaleTemporaries(data_dir_);
    showPage(1);
    SetupReadingColumns();
    ProgressBar2->setValue(0);
    ProgressBar2->show();
    ProgressBar2->raise();
    auto reset_bar = [this] {
        ProgressBar2->setValue(0);
        ProgressBar2->hide();
    };

    // Page 1, its columns and the bar are on view before the transfer starts; the bar then follows it.
    // The command's Working keeps the window busy (see transferCall).
    Transfer busy(nullptr, {}, stopCall());
    ProgressPump::pumpWindow();
    std::optional<int32_t> result;
    try {
        const int port = HandheldPort;
        result = transferCall(
            busy, [this, port] { return link_.GetHcFile(port, kBaudRate, kHcTaskTable, kPcDownloaded, 1); },
            ProgressBar2);
    } catch (const std::exception&) {
        result = 1;
    }
    if (!result) {
        reset_bar();
        return;
    }
    if (*result != 0) {
        ui_.information(QStringLiteral("Receive file failed!"));
        reset_bar();
        return;
    }
    ProgressPump pump(ProgressBar2, ProgressPump::Positions::Every);
    pump.set(10);
    pump.flush();

    std::vector<QStringList> rows;
    try {
        rows = RunLocalSelect(data_dir_, QString::fromLatin1(kReadingQueryStatement), operator_language_);
    } catch (const std::exception& e) {
        reset_bar();
        ui_.errorReport(ExceptionText(e));
        return;
    }
    ListView2->setUpdatesEnabled(false);
    ListView2->setRowCount(static_cast<int>(rows.size()));
    for (size_t k = 0; k < rows.size(); ++k) {
        const QStringList& values = rows[k];
        for (int c = 0; c < 19 && c < values.size(); ++c)
            ListView2->setItem(static_cast<int>(k), c, new QTableWidgetItem(values[c]));
        pump.set(static_cast<int>(std::min<size_t>(100, 11 + k + 1)));
    }
    ListView2->setUpdatesEnabled(true);
    pump.set(100);
    pump.flush();
    reset_bar();
}

// ---- report ------------------------------------------------------------------------------------

ListContent TForm1::listContent() const {
    ListContent content;
    for (int c = 0; c < ListView2->columnCount(); ++c) {
        const QTableWidgetItem* h = ListView2->horizontalHeaderItem(c);
        content.captions << (h ? h->text() : QString());
    }
    for (int r = 0; r < ListView2->rowCount(); ++r) {
        QStringList row;
        for (int c = 0; c < ListView2->columnCount(); ++c) {
            const QTableWidgetItem* item = ListView2->item(r, c);
            row << (item ? item->text() : QString());
        }
        content.rows.push_back(std::move(row));
    }
    return content;
}

bool TForm1::ExportListViewToExcel(QTableWidget* list, const QString& title) {
    const std::optional<SaveChoice> choice =
        ui_.saveFile(QStringLiteral("Save to"), QStringLiteral("EXCEL (*.xls);;EXCEL2007 (*.xlsx)"));
    if (!choice) return false;
    Working working(*this);
    const QString name = QDir::toNativeSeparators(
        QFileInfo(CompleteReportName(QDir::fromNativeSeparators(choice->path), choice->filter_index))
            .absoluteFilePath());
    // A report an earlier desk was writing there when it ended is never finished: its part goes.
    RemoveStaleTemporaries(QFileInfo(QDir::fromNativeSeparators(name)).absolutePath());

    // The download's bar follows the report: the list's items read, then measured, then written.
    const int m = list->rowCount();
    ProgressBar2->setRange(0, std::max(1, 3 * m));
    ProgressBar2->setValue(0);
    ProgressBar2->show();
    ProgressBar2->raise();
    ReportOutcome outcome;
    {
        ProgressPump pump(ProgressBar2);
        pump.flush();
        ListContent content;
        for (int c = 0; c < list->columnCount(); ++c)
            content.captions << (list->horizontalHeaderItem(c) ? list->horizontalHeaderItem(c)->text()
                                                               : QString());
        content.rows.reserve(static_cast<size_t>(m));
        for (int r = 0; r < m; ++r) {
            pump.set(r + 1);
            QStringList row;
            for (int c = 0; c < list->columnCount(); ++c)
                row << (list->item(r, c) ? list->item(r, c)->text() : QString());
            content.rows.push_back(std::move(row));
        }
        outcome = WriteReport(QDir::fromNativeSeparators(name), title, content, QDateTime::currentDateTime(),
                              [&pump, m](int k) { pump.set(m + k); });
        pump.flush();
    }
    ProgressBar2->setValue(0);
    ProgressBar2->hide();
    ProgressBar2->setRange(0, 100);
    switch (outcome) {
        case ReportOutcome::Saved:
            ui_.box(QStringLiteral("Data has been successfully exported to\uFF1A") + UpperLatin(name),
                    QStringLiteral("Prompt"), BoxIcon::Information);
            return true;
        case ReportOutcome::WorkbookUnavailable:
            ui_.box(QStringLiteral("Call Excel failed\uFF0CExcel is not available\u3002"),
                    QStringLiteral("Error"), BoxIcon::Information);
            TerminateProcessesByName("excel.exe");
            return false;
        case ReportOutcome::DataRowFailed:
            ui_.box(QStringLiteral("Network connection fails, the data was not able to export"),
                    QStringLiteral("Prompt"), BoxIcon::Information);
            return false;
        case ReportOutcome::LayoutOrSaveFailed:
            ui_.box(QStringLiteral("Export data failed\uFF1A") + UpperLatin(name), QStringLiteral("Prompt"),
                    BoxIcon::Information);
            return false;
    }
    return false;
}

void TForm1::Exportdatatoexcel2Click() {
    ExportListViewToExcel(ListView2, QStringLiteral("Informe de Resultados"));
}

}  // namespace desk
