// The grid control: numbering, colours, the row cap of the call grid, removal,
// the view's fixed settings and what a click reports.
#include <QHeaderView>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>

#include "grid_view.h"
#include "test_registry.h"

namespace lindra::gui {

namespace {
GridModel::Row Row(const QString& a, const QString& b, Colour colour = kNoColour) { return {{a, b}, {colour, colour}}; }
QStringList ThreeHeaders() { return {" ", "A", "B"}; }
}  // namespace

class GridTest : public QObject {
  Q_OBJECT
 private Q_SLOTS:
  void colourRefIsBlueGreenRed() {
    QCOMPARE(ToQColor(0xF0E6D2), QColor(0xD2, 0xE6, 0xF0));
    QCOMPARE(ToQColor(0x00FFFFDC), QColor(220, 255, 255));
  }

  void cellsNumbersAndColours() {
    GridModel grid(ThreeHeaders());
    grid.AppendRow(Row("701", "021234", 0xF0E6D2));
    grid.AppendRow(Row("702", "021235"));
    QCOMPARE(grid.columnCount(), 2);
    QCOMPARE(grid.headerData(0, Qt::Horizontal, Qt::DisplayRole).toString(), QString("A"));
    QCOMPARE(grid.headerData(1, Qt::Vertical, Qt::DisplayRole).toString(), QString("2"));
    QCOMPARE(grid.CellText(0, 0), QString("1"));
    QCOMPARE(grid.CellText(1, 2), QString("021235"));
    QCOMPARE(grid.data(grid.index(0, 1), Qt::BackgroundRole).value<QColor>(), ToQColor(0xF0E6D2));
    // A cell without a colour of its own is white, not the grid's area colour.
    QCOMPARE(grid.data(grid.index(1, 0), Qt::BackgroundRole).value<QColor>(), QColor(Qt::white));
    QVERIFY(!(grid.flags(grid.index(0, 0)) & Qt::ItemIsEditable));
  }

  void shortRowsArePaddedAndLongOnesCut() {
    GridModel grid(ThreeHeaders());
    grid.AppendRow({{"only"}, {}});
    grid.AppendRow({{"a", "b", "c", "d"}, {1, 2, 3, 4}});
    QCOMPARE(grid.CellText(0, 2), QString());
    QCOMPARE(grid.CellColour(0, 2), kNoColour);
    QCOMPARE(grid.CellText(1, 2), QString("b"));
    QCOMPARE(grid.CellText(1, 3), QString());  // no such column
  }

  void capDropsOldestRowsAndNumbersKeepCounting() {
    GridModel grid(ThreeHeaders(), 10);
    for (int n = 1; n <= 25; ++n) grid.AppendRow(Row(QString::number(n), {}));
    QVERIFY(grid.rowCount() <= 10);
    const int last = grid.rowCount() - 1;
    QCOMPARE(grid.CellText(last, 0), QString("25"));
    QCOMPARE(grid.CellText(last, 1), QString("25"));
    // The number shown is the row's own: the oldest row kept still reads its number.
    QCOMPARE(grid.CellText(0, 0), grid.CellText(0, 1));
  }

  void batchLargerThanCapKeepsItsNewestRows() {
    GridModel grid(ThreeHeaders(), 4);
    grid.AppendRow(Row("old", {}));
    std::vector<GridModel::Row> batch;
    for (int n = 1; n <= 6; ++n) batch.push_back(Row(QString::number(n), {}));
    grid.AppendRows(std::move(batch));
    QCOMPARE(grid.rowCount(), 4);
    QCOMPARE(grid.CellText(0, 1), QString("3"));
    QCOMPARE(grid.CellText(3, 1), QString("6"));
  }

  void removeRenumbersTheRowsAfter() {
    GridModel grid(ThreeHeaders());
    for (const char* t : {"a", "b", "c"}) grid.AppendRow(Row(t, {}));
    grid.RemoveRow(0);
    grid.RemoveRow(7);  // no such row: nothing happens
    QCOMPARE(grid.rowCount(), 2);
    QCOMPARE(grid.CellText(0, 0), QString("1"));
    QCOMPARE(grid.CellText(0, 1), QString("b"));
    grid.Clear();
    grid.AppendRow(Row("x", {}));
    QCOMPARE(grid.CellText(0, 0), QString("1"));
  }

  void viewSettings() {
    GridView view(ThreeHeaders(), {40, 80, 218}, 0, nullptr);
    QCOMPARE(view.verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    QCOMPARE(view.editTriggers(), QAbstractItemView::NoEditTriggers);
    QCOMPARE(view.selectionBehavior(), QAbstractItemView::SelectRows);
    QCOMPARE(view.verticalHeader()->width(), 40);
    QCOMPARE(view.columnWidth(0), 80);
    QCOMPARE(view.columnWidth(1), 218);
    QCOMPARE(view.palette().color(QPalette::Base), QColor(220, 255, 255));
  }

  void clickReportsTheRowOrNone() {
    GridView view(ThreeHeaders(), {40, 80, 218}, 0, nullptr);
    view.resize(360, 175);
    view.grid().AppendRow(Row("a", "b"));
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    QSignalSpy clicked(&view, &GridView::rowClicked);
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, view.visualRect(view.grid().index(0, 1)).center());
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, QPoint(10, view.viewport()->height() - 5));
    QCOMPARE(clicked.count(), 2);
    QCOMPARE(clicked[0][0].toInt(), 0);
    QCOMPARE(clicked[1][0].toInt(), -1);
    QCOMPARE(view.selectionModel()->selectedRows().size(), 0);
  }
};

}  // namespace lindra::gui

LINDRA_GUI_TEST(lindra::gui::GridTest)
#include "grid_test.moc"
