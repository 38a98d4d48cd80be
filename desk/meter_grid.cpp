#include "meter_grid.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPointer>
#include <QSqlError>
#include <QSqlField>
#include <QSqlQuery>

namespace desk {

namespace {

// The grid's query with the row's key added at the end, so that an edit or a delete reaches exactly the
// row shown (Meter has no key of its own and NID need not be unique).
QString KeyedGridQuery() {
    QString statement = QString::fromLatin1(kGridQueryStatement);
    const qsizetype from = statement.indexOf(QLatin1String(" from "), 0, Qt::CaseInsensitive);
    return statement.insert(from, QLatin1String(",rowid"));
}

// The record indicator: the current row is marked, the others carry nothing.
const QString kIndicator = QStringLiteral("\u25B6");

}  // namespace

QString FieldText(const QVariant& value) {
    if (value.isNull()) return QString();
    if (value.typeId() == QMetaType::Double) return NumberText(value.toDouble());
    return value.toString();
}

bool MeterGridModel::open(QSqlDatabase db, QString& why) {
    beginResetModel();
    db_ = db;
    rows_.clear();
    fields_ = QSqlRecord();
    types_.clear();
    open_ = false;
    current_ = -1;
    QSqlQuery q(db);
    q.setForwardOnly(true);
    const bool ran = q.exec(KeyedGridQuery());
    if (ran) {
        const QSqlRecord all = q.record();
        for (int i = 0; i + 1 < all.count(); ++i) fields_.append(all.field(i));
        try {
            types_ = MeterFieldTypes(db, fields_);
        } catch (const DeskError&) {
            types_.assign(static_cast<size_t>(fields_.count()), FieldType::Text);  // as the query gave them
        }
        const int width = all.count();
        while (q.next()) {
            QVariantList row;
            row.reserve(width);
            for (int i = 0; i < width; ++i) row << q.value(i);
            rows_.push_back(std::move(row));
        }
    }
    if (!ran || q.lastError().isValid()) {
        why = q.lastError().text();
        rows_.clear();
        fields_ = QSqlRecord();
        types_.clear();
    } else {
        open_ = true;
    }
    titles_.assign(static_cast<size_t>(fields_.count()), QVariant());
    endResetModel();
    return open_;
}

void MeterGridModel::clear() {
    beginResetModel();
    rows_.clear();
    fields_ = QSqlRecord();
    types_.clear();
    titles_.clear();
    db_ = QSqlDatabase();
    open_ = false;
    current_ = -1;
    endResetModel();
}

int MeterGridModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int MeterGridModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : fields_.count();
}

QVariant MeterGridModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount() || index.column() >= columnCount()) return {};
    const QVariant& v = rows_[static_cast<size_t>(index.row())][index.column()];
    if (role == Qt::DisplayRole || role == Qt::EditRole) return FieldText(v);
    return {};
}

QVariant MeterGridModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Vertical) {
        if (role == Qt::DisplayRole) return section == current_ ? kIndicator : QString();
        return {};
    }
    if (role != Qt::DisplayRole || section < 0 || section >= columnCount()) return {};
    const QVariant& title = titles_[static_cast<size_t>(section)];
    return title.isValid() ? title : QVariant(fields_.fieldName(section));
}

bool MeterGridModel::setHeaderData(int section, Qt::Orientation orientation, const QVariant& value,
                                   int role) {
    if (orientation != Qt::Horizontal || (role != Qt::DisplayRole && role != Qt::EditRole) || section < 0 ||
        section >= columnCount())
        return false;
    titles_[static_cast<size_t>(section)] = value;
    emit headerDataChanged(orientation, section, section);
    return true;
}

Qt::ItemFlags MeterGridModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    return Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemIsEditable;
}

QSqlRecord MeterGridModel::record(int row) const {
    QSqlRecord r = fields_;
    if (row < 0 || row >= rowCount()) return r;
    for (int i = 0; i < r.count(); ++i) r.setValue(i, rows_[static_cast<size_t>(row)][i]);
    return r;
}

void MeterGridModel::setCurrentRow(int row) {
    if (row == current_) return;
    const int before = current_;
    current_ = row;
    if (before >= 0 && before < rowCount()) emit headerDataChanged(Qt::Vertical, before, before);
    if (row >= 0 && row < rowCount()) emit headerDataChanged(Qt::Vertical, row, row);
}

bool MeterGridModel::refresh(int row, QString& why) {
    // The row as the database now holds it, so the grid shows (and the upload sends) what was stored.
    QVariantList& shown = rows_[static_cast<size_t>(row)];
    QStringList names;
    for (int i = 0; i < fields_.count(); ++i) names << fields_.fieldName(i);
    QSqlQuery q(db_);
    q.prepare(QStringLiteral("SELECT %1 FROM Meter WHERE rowid = ?").arg(names.join(QLatin1Char(','))));
    q.addBindValue(shown.back());
    if (!q.exec() || !q.next()) {
        why = q.lastError().isValid() ? q.lastError().text()
                                      : QStringLiteral("The record was deleted by another user.");
        return false;
    }
    for (int i = 0; i < fields_.count(); ++i) shown[i] = q.value(i);
    return true;
}

bool MeterGridModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (role != Qt::EditRole || !index.isValid() || index.row() >= rowCount() ||
        index.column() >= columnCount())
        return false;
    last_write_ok_ = false;
    const int column = index.column();
    const QString name = fields_.fieldName(column);
    const QString text = value.toString();
    if (text == data(index, Qt::EditRole).toString()) {
        last_write_ok_ = true;
        return true;  // nothing changed: nothing to write
    }

    QVariant converted;
    QString why;
    const FieldType type = types_[static_cast<size_t>(column)];
    if (!ConvertEdit(text, type, converted, why)) {
        emit writeFailed(
            QStringLiteral("'%1' is not a valid value for the field %2: %3.").arg(text, name, why));
        return false;
    }
    QSqlQuery q(db_);
    q.prepare(QStringLiteral("UPDATE Meter SET \"%1\" = ? WHERE rowid = ?").arg(name));
    q.addBindValue(converted);
    q.addBindValue(rows_[static_cast<size_t>(index.row())].back());
    if (!q.exec()) {
        emit writeFailed(
            QStringLiteral("The field %1 cannot be written: %2").arg(name, q.lastError().text()));
        return false;
    }
    if (q.numRowsAffected() != 1) {
        emit writeFailed(
            QStringLiteral("The field %1 cannot be written: the record was deleted by another user.")
                .arg(name));
        return false;
    }
    if (!refresh(index.row(), why)) {
        emit writeFailed(QStringLiteral("The record cannot be read back: %1").arg(why));
        return false;
    }
    last_write_ok_ = true;
    emit dataChanged(this->index(index.row(), 0), this->index(index.row(), columnCount() - 1));
    return true;
}

bool MeterGridModel::deleteRow(int row, QString& why) {
    if (row < 0 || row >= rowCount()) {
        why = QStringLiteral("There is no record to delete.");
        return false;
    }
    QSqlQuery q(db_);
    q.prepare(QStringLiteral("DELETE FROM Meter WHERE rowid = ?"));
    q.addBindValue(rows_[static_cast<size_t>(row)].back());
    if (!q.exec()) {
        why = QStringLiteral("The record cannot be deleted: %1").arg(q.lastError().text());
        return false;
    }
    // A row another user deleted already leaves the grid all the same.
    beginRemoveRows({}, row, row);
    rows_.erase(rows_.begin() + row);
    if (current_ >= rowCount()) current_ = rowCount() - 1;
    endRemoveRows();
    return true;
}

QWidget* MeterGridDelegate::createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                                         const QModelIndex& index) const {
    // Every field is edited as text; the model converts it to the column's type.
    auto* editor = new QLineEdit(parent);
    editor->setFrame(false);
    (void)option;
    (void)index;
    editor_ = editor;
    return editor;
}

MeterGrid::MeterGrid(QWidget* parent) : QTableView(parent), delegate_(new MeterGridDelegate(this)) {
    setItemDelegate(delegate_);
    setSelectionBehavior(QAbstractItemView::SelectItems);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::SelectedClicked |
                    QAbstractItemView::EditKeyPressed | QAbstractItemView::AnyKeyPressed);
    setTabKeyNavigation(true);
    setShowGrid(true);
    setGridStyle(Qt::SolidLine);
    horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    horizontalHeader()->setSectionsMovable(false);
    horizontalHeader()->setVisible(true);
    horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);  // titles as the cells
    verticalHeader()->setVisible(true);
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
}

bool MeterGrid::commitPendingEdit() {
    QWidget* editor = delegate_->openEditor();
    if (!editor || state() != QAbstractItemView::EditingState) return true;
    auto* grid_model = qobject_cast<MeterGridModel*>(model());
    commitData(editor);
    const bool ok = !grid_model || grid_model->lastWriteOk();
    closeEditor(editor, QAbstractItemDelegate::NoHint);
    return ok;
}

void MeterGrid::deleteCurrentRow() {
    auto* grid_model = qobject_cast<MeterGridModel*>(model());
    const QModelIndex current = currentIndex();
    if (!grid_model || !current.isValid()) return;
    if (confirmDelete && !confirmDelete()) return;
    QString why;
    if (!grid_model->deleteRow(current.row(), why)) {
        if (deleteFailed) deleteFailed(why);
        return;
    }
    if (grid_model->rowCount() > 0)
        setCurrentIndex(
            grid_model->index(std::min(current.row(), grid_model->rowCount() - 1), current.column()));
}

void MeterGrid::keyPressEvent(QKeyEvent* event) {
    const bool editing = state() == QAbstractItemView::EditingState;
    if (event->key() == Qt::Key_Delete &&
        (event->modifiers() == Qt::ControlModifier || (!editing && event->modifiers() == Qt::NoModifier))) {
        deleteCurrentRow();
        event->accept();
        return;
    }
    QTableView::keyPressEvent(event);
}

void MeterGrid::currentChanged(const QModelIndex& current, const QModelIndex& previous) {
    QTableView::currentChanged(current, previous);
    if (auto* grid_model = qobject_cast<MeterGridModel*>(model()))
        grid_model->setCurrentRow(current.isValid() ? current.row() : -1);
}

}  // namespace desk
