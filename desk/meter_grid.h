// The meter grid: every row of the grid's query over Meter, edited in place and written back to
// db.mdb cell by cell, rows deleted after the operator's confirmation.
#pragma once

#include <QAbstractTableModel>
#include <QPointer>
#include <QSqlDatabase>
#include <QSqlRecord>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QVariant>
#include <functional>
#include <vector>

#include "meter_db.h"

namespace desk {

// Text form of a field as the grid shows it and the upload writes it.
QString FieldText(const QVariant& value);

class MeterGridModel final : public QAbstractTableModel {
    Q_OBJECT
  public:
    // Runs the grid's query and fetches every row (no batches: the upload needs them all).  False, with
    // the reason, when the query fails; the model is then empty.
    bool open(QSqlDatabase db, QString& why);
    void clear();
    bool isOpen() const { return open_; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    bool setHeaderData(int section, Qt::Orientation orientation, const QVariant& value,
                       int role = Qt::EditRole) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    // Writes the edited text to Meter, converted to the column's type.  A refused value or a failed
    // write leaves the row as it is in the database and here, and is told through writeFailed.
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;

    // The shown fields of a row, by the names of the grid's query; record() without a row gives the
    // field names only.
    QSqlRecord record(int row) const;
    QSqlRecord record() const { return fields_; }
    // Deletes the row from Meter and from the grid.  False, with the reason, when it is not deleted.
    bool deleteRow(int row, QString& why);
    // The row the record indicator marks.
    void setCurrentRow(int row);
    bool lastWriteOk() const { return last_write_ok_; }

  signals:
    void writeFailed(const QString& why);

  private:
    bool refresh(int row, QString& why);
    QSqlDatabase db_;
    QSqlRecord fields_;
    std::vector<FieldType> types_;
    std::vector<QVariantList> rows_;  // the shown fields, then the row's key
    std::vector<QVariant> titles_;
    int current_ = -1;
    bool open_ = false;
    bool last_write_ok_ = true;
};

// The editor of a grid cell, kept track of so that an edit still open can be written before a command
// reads the grid.
class MeterGridDelegate final : public QStyledItemDelegate {
  public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const override;
    QWidget* openEditor() const { return editor_; }

  private:
    mutable QPointer<QWidget> editor_;
};

class MeterGrid final : public QTableView {
    Q_OBJECT
  public:
    explicit MeterGrid(QWidget* parent = nullptr);
    // Asked before a row is deleted; true goes ahead.
    std::function<bool()> confirmDelete;
    // Told when a row could not be deleted.
    std::function<void(const QString&)> deleteFailed;
    // Writes and closes an editor still open.  False when its value was refused.
    bool commitPendingEdit();
    // The delete gesture (Ctrl+Delete, or Delete while no cell is being edited) on the current row.
    void deleteCurrentRow();

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;

  private:
    MeterGridDelegate* delegate_;
};

}  // namespace desk
