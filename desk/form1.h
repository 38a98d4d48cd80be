// The main window of the meter desk.
#pragma once

#include <QMainWindow>
#include <QSqlDatabase>
#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "desk_ui.h"
#include "handheld.h"
#include "meter_grid.h"
#include "report.h"

class QAction;
class QFrame;
class QMenu;
class QProgressBar;
class QTabWidget;
class QTableWidget;

namespace desk {

class BusyWindow;
class Transfer;

// A column of the meter grid: the field it shows, its title (empty: the field name) and its width
// (0: the grid's default).  The upload reads the grid's fields by these indexes.
struct GridColumn {
    const char* field;
    const char* title;
    int width;
};
inline constexpr GridColumn kGridColumns[] = {
    {"NID", "Order number", 75},   {"clientid", "Nro de Cliente", 100},
    {"address", "Direccion", 200}, {"meterid", "Serie de Medidor", 100},
    {"ROTER", "Ruta", 50},         {"RESET", "", 100},
    {"lx", "Tipos de", 0},
};

// A column of the reading list.
struct ReadingColumn {
    const char* caption;
    int width;
};
inline constexpr ReadingColumn kReadingColumns[19] = {
    {"No.", 40},
    {"Nro de Cliente", 90},
    {"Direccion", 300},
    {"Serie de Medidor", 120},
    {"Ruta", 60},
    {"Tipos de", 60},
    {"Energia Activa ", 140},
    {"Energia Activa A+", 140},
    {"Energia Activa A-", 140},
    {"Energia Reactiva L", 140},
    {"Energia Reactiva C", 140},
    {"Voltaje", 140},
    {"Corriente", 140},
    {"Demanda Maxima", 140},
    {"RESET", 140},
    {"Demanda Maxima despues del Reset", 260},
    {"Dia", 90},
    {"Hora", 90},
    {"Razon", 100},
};

inline constexpr int kBaudRate = 115200;
inline constexpr const char* kHcTaskTable = "\\KELVANHB\\A.DBF";
inline constexpr const char* kPcTaskTable = ".\\A.DBF";
inline constexpr const char* kPcDownloaded = ".\\downa.dbf";

class TForm1 : public QMainWindow {
    Q_OBJECT
  public:
    // data_dir: the folder the program started in, which holds db.mdb and the task tables for the
    // whole run; program_dir: where the open dialog starts.
    TForm1(HandheldLink& link, DeskUi& ui, QString data_dir, QString program_dir, QWidget* parent = nullptr);
    ~TForm1() override;

    // Components the commands use (named as the operator's documentation names them).
    QMenu* t2 = nullptr;
    QAction* ConnecttoHHU1 = nullptr;
    QAction* Quit1 = nullptr;
    QMenu* Data1 = nullptr;
    QAction* Meterdatamaintenance1 = nullptr;
    QAction* DownloadfromHHU1 = nullptr;
    QFrame* Panel1 = nullptr;
    QTabWidget* PageControl1 = nullptr;
    QWidget* TabSheet2 = nullptr;
    QWidget* TabSheet4 = nullptr;
    QFrame* Panel6 = nullptr;
    QFrame* Panel15 = nullptr;
    MeterGrid* DBGrid2 = nullptr;
    QProgressBar* ProgressBar3 = nullptr;
    QTableWidget* ListView2 = nullptr;
    QProgressBar* ProgressBar2 = nullptr;
    QMenu* PopupMenu1 = nullptr;
    QAction* ddfs1 = nullptr;
    QMenu* PopupMenu2 = nullptr;
    QAction* Exportdatatoexcel2 = nullptr;

    int HandheldPort = 0;

    // The page on view: 0, 1, or -1 when no page is on view.
    int pageOnView() const;
    bool gridQueryOpen() const { return query_open_; }
    MeterGridModel* meterModel() const { return model_.get(); }
    const QString& dataDir() const { return data_dir_; }
    // What the reading list shows, as the report takes it.
    ListContent listContent() const;
    // The operator's language, which chooses the task table's code page when the table names none.
    void setOperatorLanguage(const QString& language) { operator_language_ = language; }

  public slots:
    void FormShow();
    void Quit1Click();
    void ConnecttoHHU1Click();
    void Meterdatamaintenance1Click();
    void DownloadfromHHU1Click();
    void ddfs1Click();
    void Exportdatatoexcel2Click();

  public:
    void SetupReadingColumns();
    bool ExportListViewToExcel(QTableWidget* list, const QString& title);

  protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void showPage(int page);
    void hideTab(int page);
    void showTab(int page);
    void buildGridColumns();
    void closeGridQuery();
    void setCaption(const QString& caption);
    // The commands disabled while a command works.
    std::vector<QAction*> commandActions() const;
    std::function<void()> stopCall();
    // Runs a command's library call as its transfer (see Transfer); bar, when given, follows the
    // library's percent.  nullopt: the window is to close (the transfer was stopped for it, or the
    // window was closed before the call began) or the application quits; the command ends without a
    // message.  Called only inside a command at work (Working), which does the close once the command
    // has ended and keeps the window busy meanwhile: busy is built with no window of its own
    // (Transfer(nullptr, {}, stop)), so the command has one guard, not two on the same window.
    std::optional<int32_t> transferCall(Transfer& busy, const std::function<int32_t()>& call,
                                        QProgressBar* bar);
    // A close while a transfer runs: asks whether to stop it.
    void askToStopForClose();
    // The connect's attempts to find the handheld, run as a transfer: Connected when a handheld
    // answered with its number, Stopped when the window is to close or the application quits.
    enum class Probe { Connected, Failed, Stopped };
    Probe TryConnectHHU();

    // A command at work, from construction to the command's end: the window is busy (see BusyWindow),
    // and a close asked meanwhile is done once the command has ended.
    class Working {
      public:
        explicit Working(TForm1& form);
        ~Working();
        Working(const Working&) = delete;
        Working& operator=(const Working&) = delete;

      private:
        TForm1& form_;
        std::unique_ptr<BusyWindow> busy_;
    };

    HandheldLink& link_;
    DeskUi& ui_;
    QString data_dir_;
    QString program_dir_;
    QString connection_;
    QString operator_language_;
    QSqlDatabase db_;
    std::unique_ptr<MeterGridModel> model_;
    bool query_open_ = false;
    bool shown_once_ = false;
    // The transfer whose call runs now and the stop question on view.
    Transfer* busy_ = nullptr;
    bool asking_stop_ = false;
    // Commands at work now (Working), and a close to be done once they have ended.
    int working_ = 0;
    bool close_pending_ = false;
};

}  // namespace desk
