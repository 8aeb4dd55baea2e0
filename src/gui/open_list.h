#pragma once
// Drop-down lists keep their box at its place and width, but their open list is as
// wide as their longest entry: some styles would open it at the box's width and cut
// the entries there.
#include <QAbstractItemView>
#include <QComboBox>
#include <QScrollBar>

namespace lindra::gui {

// Call again whenever the entries change.
inline void FitOpenListToEntries(QComboBox& box) {
  QAbstractItemView& view = *box.view();
  int width = view.sizeHintForColumn(0) + 2 * view.frameWidth();
  if (box.count() > box.maxVisibleItems()) width += view.verticalScrollBar()->sizeHint().width();
  view.setMinimumWidth(width);
}

}  // namespace lindra::gui
