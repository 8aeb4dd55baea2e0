#include "grid_view.h"

#include <QHeaderView>
#include <QMouseEvent>
#include <QPalette>

namespace lindra::gui {

namespace {
constexpr int kRowHeight = 20;
}

GridView::GridView(QStringList headers, std::vector<int> widths, size_t rowCap, QWidget* parent)
    : QTableView(parent), model_(std::move(headers), rowCap), widths_(std::move(widths)) {
  setModel(&model_);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setWordWrap(false);
  setCornerButtonEnabled(false);

  QPalette area = palette();
  area.setColor(QPalette::Base, ToQColor(kGridAreaColour));
  setPalette(area);

  // Fixed row heights keep appends and scrolling cheap however many rows there are.
  QHeaderView* rows = verticalHeader();
  rows->setSectionResizeMode(QHeaderView::Fixed);
  rows->setDefaultSectionSize(kRowHeight);
  rows->setMinimumSectionSize(kRowHeight);
  rows->setDefaultAlignment(Qt::AlignCenter);
  rows->setHighlightSections(false);
  connect(rows, &QHeaderView::sectionPressed, this, [this](int row) { Q_EMIT rowClicked(row); });

  QHeaderView* columns = horizontalHeader();
  columns->setSectionResizeMode(QHeaderView::Interactive);
  columns->setHighlightSections(false);
  columns->setStretchLastSection(false);
  columns->setFixedHeight(kRowHeight);
  connect(columns, &QHeaderView::sectionPressed, this, [this](int) { Q_EMIT rowClicked(-1); });
  ApplyWidths();
}

void GridView::ApplyWidths() {
  if (!widths_.empty()) verticalHeader()->setFixedWidth(widths_[0]);
  for (size_t c = 1; c < widths_.size(); ++c) setColumnWidth(static_cast<int>(c) - 1, widths_[c]);
}

void GridView::ScrollToNewest() { scrollToBottom(); }

void GridView::SelectDataRow(int row) {
  if (row < 0 || row >= model_.rowCount()) {
    clearSelection();
    return;
  }
  selectRow(row);
  scrollTo(model_.index(row, 0));
}

void GridView::mousePressEvent(QMouseEvent* event) {
  QTableView::mousePressEvent(event);
  const QModelIndex index = indexAt(event->position().toPoint());
  Q_EMIT rowClicked(index.isValid() ? index.row() : -1);
}

}  // namespace lindra::gui
