#pragma once
// The grid control of the window: a table view over a GridModel with a fixed header
// row, a fixed numbered first column, the grid's area colour, an always-shown
// vertical scroll bar, whole-row selection and no editing.
#include <QTableView>
#include <vector>

#include "grid_model.h"

namespace lindra::gui {

// The colour of the area not covered by cells (COLORREF 0x00FFFFDC).
inline constexpr Colour kGridAreaColour = 0x00FFFFDC;

// GUI thread only.
class GridView final : public QTableView {
  Q_OBJECT
 public:
  // `widths` holds every column's width, column 0 (the row numbers) first.
  GridView(QStringList headers, std::vector<int> widths, size_t rowCap, QWidget* parent);

  GridModel& grid() { return model_; }
  const GridModel& grid() const { return model_; }

  // Sets the column widths again (after the grid was emptied).
  void ApplyWidths();
  void ScrollToNewest();
  // Selects data row `row` (0-based), or clears the selection for -1.
  void SelectDataRow(int row);

 Q_SIGNALS:
  // The operator clicked data row `row` (0-based), or the header / below the rows (-1).
  void rowClicked(int row);

 protected:
  void mousePressEvent(QMouseEvent* event) override;

 private:
  GridModel model_;
  std::vector<int> widths_;
};

}  // namespace lindra::gui
