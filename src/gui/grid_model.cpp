#include "grid_model.h"

#include <algorithm>

namespace lindra::gui {

namespace {
// Cells without a colour of their own are white; the area below the last row shows
// the grid's own colour (the view's base colour).
const QColor kCellDefault(Qt::white);
}  // namespace

QColor ToQColor(Colour colourRef) {
  return QColor(colourRef & 0xFF, (colourRef >> 8) & 0xFF, (colourRef >> 16) & 0xFF);
}

GridModel::GridModel(QStringList headers, size_t rowCap, QObject* parent)
    : QAbstractTableModel(parent), headers_(std::move(headers)), rowCap_(rowCap) {}

int GridModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int GridModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : std::max<int>(static_cast<int>(headers_.size()) - 1, 0);
}

QVariant GridModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  const Row& row = rows_[index.row()];
  switch (role) {
    case Qt::DisplayRole:
      return row.cells[index.column()];
    case Qt::BackgroundRole: {
      const Colour c = row.colours[index.column()];
      return c == kNoColour ? kCellDefault : ToQColor(c);
    }
    default:
      return {};
  }
}

QVariant GridModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (role != Qt::DisplayRole) return {};
  if (orientation == Qt::Horizontal) return section + 1 < headers_.size() ? headers_[section + 1] : QVariant();
  return QString::number(RowNumber(section));
}

Qt::ItemFlags GridModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}

GridModel::Row GridModel::Normalised(Row row) const {
  const size_t dataColumns = static_cast<size_t>(columnCount());
  row.cells.resize(dataColumns);
  row.colours.resize(dataColumns, kNoColour);
  return row;
}

void GridModel::DropOldest(size_t count) {
  count = std::min(count, rows_.size());
  if (count == 0) return;
  beginRemoveRows({}, 0, static_cast<int>(count) - 1);
  rows_.erase(rows_.begin(), rows_.begin() + static_cast<std::ptrdiff_t>(count));
  firstNumber_ += static_cast<qint64>(count);
  endRemoveRows();
}

void GridModel::AppendRows(std::vector<Row> rows) {
  if (rows.empty()) return;
  if (rowCap_ > 0) {
    if (rows.size() > rowCap_) rows.erase(rows.begin(), rows.end() - static_cast<std::ptrdiff_t>(rowCap_));
    if (rows_.size() + rows.size() > rowCap_) {
      const size_t needed = rows_.size() + rows.size() - rowCap_;
      DropOldest(std::max(needed, std::max<size_t>(rowCap_ / 10, 1)));
    }
  }
  const int first = rowCount();
  beginInsertRows({}, first, first + static_cast<int>(rows.size()) - 1);
  for (Row& row : rows) rows_.push_back(Normalised(std::move(row)));
  endInsertRows();
}

void GridModel::AppendRow(Row row) {
  std::vector<Row> one;
  one.push_back(std::move(row));
  AppendRows(std::move(one));
}

void GridModel::RemoveRow(int row) {
  if (row < 0 || row >= rowCount()) return;
  beginRemoveRows({}, row, row);
  rows_.erase(rows_.begin() + row);
  endRemoveRows();
  // Later rows were renumbered: their numbers follow from their position.
  if (row < rowCount()) Q_EMIT headerDataChanged(Qt::Vertical, row, rowCount() - 1);
}

void GridModel::Clear() {
  beginResetModel();
  rows_.clear();
  firstNumber_ = 1;
  endResetModel();
}

QString GridModel::CellText(int row, int column) const {
  if (row < 0 || row >= rowCount() || column < 0 || column > columnCount()) return {};
  if (column == 0) return QString::number(RowNumber(row));
  return rows_[row].cells[column - 1];
}

Colour GridModel::CellColour(int row, int column) const {
  if (row < 0 || row >= rowCount() || column < 1 || column > columnCount()) return kNoColour;
  return rows_[row].colours[column - 1];
}

void GridModel::SetCellText(int row, int column, const QString& text) {
  if (row < 0 || row >= rowCount() || column < 1 || column > columnCount()) return;
  rows_[row].cells[column - 1] = text;
  const QModelIndex i = index(row, column - 1);
  Q_EMIT dataChanged(i, i, {Qt::DisplayRole});
}

void GridModel::SetCellColour(int row, int column, Colour colour) {
  if (row < 0 || row >= rowCount() || column < 1 || column > columnCount()) return;
  rows_[row].colours[column - 1] = colour;
  const QModelIndex i = index(row, column - 1);
  Q_EMIT dataChanged(i, i, {Qt::BackgroundRole});
}

}  // namespace lindra::gui
