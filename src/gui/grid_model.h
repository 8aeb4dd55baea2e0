#pragma once
// The cells behind one grid: a fixed header row (the view's horizontal header), a
// fixed first column holding the row number (the view's vertical header), and
// per-cell texts and background colours.
// Rows live in a deque so that a capped call list can drop its oldest rows cheaply;
// the numbers of the remaining rows keep counting from where they were.
#include <QAbstractTableModel>
#include <QColor>
#include <QString>
#include <QStringList>
#include <deque>
#include <vector>

#include "app/controller_view.h"

namespace lindra::gui {

// COLORREF (0x00BBGGRR) to a Qt colour.
QColor ToQColor(Colour colourRef);

// GUI thread only.
class GridModel final : public QAbstractTableModel {
  Q_OBJECT
 public:
  // `headers` includes column 0's (" "). A `rowCap` of 0 means no cap; otherwise, when
  // a new row would pass the cap, the oldest `rowCap / 10` rows (at least one) are
  // dropped at once, so the cost of dropping is spread over many appends.
  explicit GridModel(QStringList headers, size_t rowCap = 0, QObject* parent = nullptr);

  struct Row {
    std::vector<QString> cells;   // columns 1..n-1
    std::vector<Colour> colours;  // columns 1..n-1, kNoColour for the default
  };

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

  // Appends rows at the end (cells beyond the column count are ignored, missing ones
  // are empty); applies the cap.
  void AppendRows(std::vector<Row> rows);
  void AppendRow(Row row);
  void RemoveRow(int row);
  void Clear();

  // Columns below are the grid's own: column 0 is the row number, the model's column
  // j is grid column j + 1.
  // Text of a data row's cell.
  QString CellText(int row, int column) const;
  Colour CellColour(int row, int column) const;
  void SetCellText(int row, int column, const QString& text);
  void SetCellColour(int row, int column, Colour colour);

  // Number shown in column 0 of data row `row` (the first row ever added is 1).
  qint64 RowNumber(int row) const { return firstNumber_ + row; }

 private:
  Row Normalised(Row row) const;
  void DropOldest(size_t count);

  QStringList headers_;
  size_t rowCap_;
  std::deque<Row> rows_;
  qint64 firstNumber_ = 1;
};

}  // namespace lindra::gui
