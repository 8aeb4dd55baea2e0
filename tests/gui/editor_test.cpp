// The routing-table editors in the window: selecting rows, add / modify / delete of
// both tables with every refusal message and its focus, the delete question, and
// what reaches the table files.
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "gui_harness.h"
#include "test_registry.h"

namespace lindra::gui {

using testing::Harness;

namespace {

Harness::Files Files(const std::string& did, const std::string& ip = "") {
  Harness::Files files{{"lindra.ini", testing::TestConfig()}, {"did.tbl", did}};
  if (!ip.empty()) files.push_back({"ip.tbl", ip});
  return files;
}

void Enter(MainForm::TableEditor& editor, const QString& first, const QString& second) {
  editor.first->setText(first);
  editor.second->setText(second);
}

void Click(QPushButton* button) { QTest::mouseClick(button, Qt::LeftButton); }

// Clicks data row `row` of a table grid the way the operator does.
void ClickRow(GridView& grid, int row) {
  grid.show();
  QTest::mouseClick(grid.viewport(), Qt::LeftButton, {}, grid.visualRect(grid.grid().index(row, 0)).center());
}

QStringList Column(const GridModel& grid, int column) {
  QStringList texts;
  for (int row = 0; row < grid.rowCount(); ++row) texts << grid.CellText(row, column);
  return texts;
}

}  // namespace

class EditorTest : public QObject {
  Q_OBJECT
 private Q_SLOTS:
  void didAddAppendsSavesAndEmptiesTheFields() {
    Harness h(Files("705 0212340000\r\n"));
    h.Select(0);
    auto& editor = h.form().didEditor();
    Enter(editor, "0701:0708", "0212345678");
    Click(editor.add);
    QVERIFY(h.asker.informed.isEmpty());
    const GridModel& grid = h.form().didGrid(0).grid();
    QCOMPARE(Column(grid, 1), (QStringList{"705", "0701:0708"}));
    QCOMPARE(grid.CellText(1, 0), QString("2"));
    QCOMPARE(grid.CellColour(1, 1), Colour(0xF0E6DC));
    QCOMPARE(h.ReadWorkFile("did.tbl"), std::string("705 0212340000\r\n0701:0708 0212345678\r\n"));
    QVERIFY(editor.first->text().isEmpty() && editor.second->text().isEmpty());
  }

  void didAddRefusals_data() {
    QTest::addColumn<QString>("existing");
    QTest::addColumn<QString>("trunk");
    QTest::addColumn<QString>("did");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("focus");
    QTest::addColumn<int>("selectedRow");
    QTest::newRow("no trunk") << ""
                              << ""
                              << "0212"
                              << "국선을 입력 해 주세요."
                              << "trunk" << -1;
    QTest::newRow("no DID") << ""
                            << "701"
                            << ""
                            << "대표번호를 입력 해 주세요."
                            << "did" << -1;
    QTest::newRow("trunk letter") << ""
                                  << "7a1"
                                  << "0212"
                                  << "국선에는 '0~9', ':' 를 제외한 문자는 입력 할 수 없습니다."
                                  << "trunk" << -1;
    QTest::newRow("DID dash") << ""
                              << "701"
                              << "02-1234"
                              << "대표번호에는 '0~9' 를 제외한 문자는 입력 할 수 없습니다."
                              << "did" << -1;
    QTest::newRow("range backwards") << ""
                                     << "708:701"
                                     << "0212"
                                     << "범위 입력 데이터가 올바르지 않습니다."
                                     << "" << -1;
    QTest::newRow("range without ends") << ""
                                        << ":"
                                        << "0212"
                                        << "범위 입력 데이터가 올바르지 않습니다."
                                        << "" << -1;
    QTest::newRow("range widths") << ""
                                  << "70:708"
                                  << "0212"
                                  << "범위 입력 데이터가 올바르지 않습니다."
                                  << "" << -1;
    QTest::newRow("range over a trunk") << "600 1\r\n705 2\r\n"
                                        << "701:708"
                                        << "0212"
                                        << "국선이 중복 됩니다."
                                        << "" << 1;
    QTest::newRow("same trunk") << "701 1\r\n"
                                << "701"
                                << "0212"
                                << "국선이 중복 됩니다."
                                << "" << 0;
  }
  void didAddRefusals() {
    QFETCH(QString, existing);
    QFETCH(QString, trunk);
    QFETCH(QString, did);
    QFETCH(QString, message);
    QFETCH(QString, focus);
    QFETCH(int, selectedRow);
    Harness h(Files(existing.toStdString()));
    h.Select(0);
    h.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(h.window.get()));
    auto& editor = h.form().didEditor();
    Enter(editor, trunk, did);
    Click(editor.add);
    QCOMPARE(h.asker.informed, QStringList{message});
    if (focus == "trunk") QCOMPARE(h.window->focusWidget(), editor.first);
    if (focus == "did") QCOMPARE(h.window->focusWidget(), editor.second);
    const GridView& grid = h.form().didGrid(0);
    QCOMPARE(grid.selectionModel()->selectedRows().size(), selectedRow < 0 ? 0 : 1);
    if (selectedRow >= 0) QCOMPARE(grid.selectionModel()->selectedRows().first().row(), selectedRow);
    // Nothing changed: table, file, and the fields as typed.
    QCOMPARE(h.ReadWorkFile("did.tbl"), existing.toStdString());
    QCOMPARE(editor.first->text(), trunk);
  }

  void enclosingRangeIsAccepted() {
    Harness h(Files("703:705 1\r\n"));
    h.Select(0);
    auto& editor = h.form().didEditor();
    Enter(editor, "700:709", "2");
    Click(editor.add);
    QVERIFY(h.asker.informed.isEmpty());
    QCOMPARE(h.form().didGrid(0).grid().rowCount(), 2);
  }

  void selectingARowSwapsTheButtons() {
    Harness h(Files("701 0212345678\r\n702 0212345679\r\n"));
    h.Select(0);
    h.window->show();
    auto& editor = h.form().didEditor();
    ClickRow(h.form().didGrid(0), 1);
    QCOMPARE(editor.first->text(), QString("702"));
    QCOMPARE(editor.second->text(), QString("0212345679"));
    QVERIFY(editor.add->isHidden() && !editor.add->isEnabled());
    QVERIFY(!editor.modify->isHidden() && editor.modify->isEnabled());
    QVERIFY(!editor.remove->isHidden() && editor.remove->isEnabled());
    // Below the last row: back to add-only with empty fields.
    GridView& grid = h.form().didGrid(0);
    QTest::mouseClick(grid.viewport(), Qt::LeftButton, {}, QPoint(5, grid.viewport()->height() - 3));
    QVERIFY(editor.first->text().isEmpty());
    QVERIFY(!editor.add->isHidden() && editor.add->isEnabled());
    QVERIFY(editor.modify->isHidden() && editor.remove->isHidden());
  }

  void modifyKeepsItsOwnRowOutOfTheConflictCheck() {
    Harness h(Files("701 0212345678\r\n702 0212345679\r\n"));
    h.Select(0);
    h.window->show();
    auto& editor = h.form().didEditor();
    ClickRow(h.form().didGrid(0), 0);
    Enter(editor, "701", "0299999999");
    Click(editor.modify);
    QVERIFY(h.asker.informed.isEmpty());
    QCOMPARE(h.ReadWorkFile("did.tbl"), std::string("701 0299999999\r\n702 0212345679\r\n"));
    QVERIFY(editor.modify->isHidden() && !editor.add->isHidden());
    // Onto the other row's trunk: refused, that row selected.
    ClickRow(h.form().didGrid(0), 0);
    Enter(editor, "702", "1");
    Click(editor.modify);
    QCOMPARE(h.asker.informed, QStringList{"국선이 중복 됩니다."});
    QCOMPARE(h.form().didGrid(0).selectionModel()->selectedRows().first().row(), 1);
    QCOMPARE(h.form().didGrid(0).grid().CellText(0, 2), QString("0299999999"));
  }

  void deleteAsksFirst() {
    Harness h(Files("701 1\r\n702 2\r\n703 3\r\n"));
    h.Select(0);
    h.window->show();
    auto& editor = h.form().didEditor();
    ClickRow(h.form().didGrid(0), 1);
    h.asker.answers = {false};
    Click(editor.remove);
    QCOMPARE(h.asker.asked, QStringList{"정말 삭제 하시겠습니까?"});
    QVERIFY(h.asker.askedButtons.back() == Asker::Buttons::YesNo);
    QCOMPARE(h.form().didGrid(0).grid().rowCount(), 3);
    QCOMPARE(h.ReadWorkFile("did.tbl"), std::string("701 1\r\n702 2\r\n703 3\r\n"));

    h.asker.answers = {true};
    Click(editor.remove);
    const GridModel& grid = h.form().didGrid(0).grid();
    QCOMPARE(Column(grid, 1), (QStringList{"701", "703"}));
    QCOMPARE(Column(grid, 0), (QStringList{"1", "2"}));
    QCOMPARE(h.ReadWorkFile("did.tbl"), std::string("701 1\r\n703 3\r\n"));
    QVERIFY(editor.first->text().isEmpty());
    QVERIFY(editor.remove->isHidden() && !editor.add->isHidden());
  }

  void operatorRows() {
    Harness h(Files("", "201 127.0.0.2\r\n"));
    h.Select(0);
    h.window->show();
    auto& editor = h.form().agentEditor();
    // The same extension again, on another PC: accepted.
    Enter(editor, "201", "127.0.0.3");
    Click(editor.add);
    QVERIFY(h.asker.informed.isEmpty());
    QCOMPARE(h.ReadWorkFile("ip.tbl"), std::string("201 127.0.0.2\r\n201 127.0.0.3\r\n"));

    Enter(editor, "202", "");
    Click(editor.add);
    Enter(editor, "2x2", "127.0.0.4");
    Click(editor.add);
    Enter(editor, "202", "127.0.0.x");
    Click(editor.add);
    QCOMPARE(h.asker.informed,
             (QStringList{"상담원IP를 입력 해 주세요.", "내선에는 '0~9' 를 제외한 문자는 입력 할 수 없습니다.",
                          "IP에는 '0~9', '.' 를 제외한 문자는 입력 할 수 없습니다."}));
    QCOMPARE(h.window->focusWidget(), editor.second);

    h.asker.informed.clear();
    ClickRow(h.form().agentGrid(0), 1);
    Enter(editor, "205", "");
    Click(editor.modify);
    QCOMPARE(h.asker.informed, QStringList{"상담원 IP를 입력 해 주세요."});
    Enter(editor, "205", "127.0.0.5");
    Click(editor.modify);
    QCOMPARE(h.ReadWorkFile("ip.tbl"), std::string("201 127.0.0.2\r\n205 127.0.0.5\r\n"));

    ClickRow(h.form().agentGrid(0), 0);
    h.asker.answers = {true};
    Click(editor.remove);
    QCOMPARE(h.ReadWorkFile("ip.tbl"), std::string("205 127.0.0.5\r\n"));
    QCOMPARE(h.form().agentGrid(0).grid().CellText(0, 0), QString("1"));
    QCOMPARE(h.form().agentGrid(0).grid().CellText(0, 2), QString("127.0.0.5"));
  }

  void addingToASlotOutOfUseDoesNothing() {
    Harness h(Files(""));
    h.Select(2);  // slot 3: no model
    h.asker.informed.clear();
    auto& editor = h.form().agentEditor();
    Enter(editor, "201", "127.0.0.2");
    Click(editor.add);
    QVERIFY(h.asker.informed.isEmpty());
    QCOMPARE(h.form().agentGrid(2).grid().rowCount(), 0);
    QVERIFY(!QFile::exists(QString::fromStdString((h.work / "ip3.tbl").string())));
  }

  void switchingSlotsLetsTheChosenRowGo() {
    Harness h(Files("701 1\r\n"));
    h.Select(0);
    h.window->show();
    auto& editor = h.form().didEditor();
    ClickRow(h.form().didGrid(0), 0);
    h.Select(1);
    QCOMPARE(editor.selectedRow, -1);
    QVERIFY(editor.modify->isHidden());
    QVERIFY(editor.first->text().isEmpty());
  }
};

}  // namespace lindra::gui

LINDRA_GUI_TEST(lindra::gui::EditorTest)
#include "editor_test.moc"
