// The call monitor: rows of routed, dropped and broadcast events as the core builds
// them, posted from another thread; operator colours; the device list, the status
// line and the message-log box.
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <thread>

#include "gui_harness.h"
#include "notify/route_call_event.h"
#include "test_registry.h"

namespace lindra::gui {

using testing::Harness;

namespace {

const LocalTime kNow{2026, 3, 14, 10, 5, 7, 300};

CallEvent Event(const char* kind, const char* trunk, const char* extension, const char* caller = "0311112222") {
  CallEvent e;
  e.kind = kind;
  e.trunk = trunk;
  e.extension = extension;
  e.callerNumber = caller;
  return e;
}

// The slot-1 tables of these tests: trunks 701 to 708 on one DID, extension 201 on
// two operator PCs.
void FillTables(RoutingTables& tables) {
  tables.SetDids({{"701:708", "0212345678"}});
  tables.SetAgents({{"201", "127.0.0.2"}, {"201", "127.0.0.3"}, {"202", "127.0.0.4"}});
}

// The call the model would hand on for a routing result.
CallRecord CallOf(int slotNo, RouteResult result) {
  CallRecord call;
  call.slotNo = slotNo;
  call.routing = result.routing;
  call.rows = std::move(result.rows);
  return call;
}

// Routes on a thread of its own, as a device's reader does, and posts the call.
void RouteFromCoreThread(ControllerView& view, const RoutingTables& tables, int slotNo, const CallEvent& event) {
  std::thread reader([&] { view.Publish(event::CallAdded{CallOf(slotNo, RouteCallEvent(tables, 2, event, kNow))}); });
  reader.join();
}

QColor Background(const GridModel& grid, int row, int column) {
  return grid.data(grid.index(row, column - 1), Qt::BackgroundRole).value<QColor>();
}

QStringList RowTexts(const GridModel& grid, int row) {
  QStringList texts;
  for (int c = 0; c <= 7; ++c) texts << grid.CellText(row, c);
  return texts;
}

std::string CtiConfig(int port) {
  std::string ini = testing::TestConfig();
  const std::string from = "DEV_NAME=2\r\nCOM_PORT=COM1\r\nCOM_BAUDRATE=9600\r\nLAN_IP=127.0.0.1\r\nLAN_PORT=5100";
  ini.replace(
      ini.find(from), from.size(),
      "DEV_NAME=202\r\nCOM_PORT=COM1\r\nCOM_BAUDRATE=9600\r\nLAN_IP=127.0.0.1\r\nLAN_PORT=" + std::to_string(port));
  return ini;
}

}  // namespace

class CallMonitorTest : public QObject {
  Q_OBJECT
 private Q_SLOTS:
  void routedAnsweredCallShowsOneRowPerOperator() {
    Harness h;
    RoutingTables tables;
    FillTables(tables);
    RouteFromCoreThread(h.view, tables, 1, Event("T", "703", "201"));
    const GridModel& grid = h.form().callGrid(0).grid();
    QVERIFY(h.WaitFor([&] { return grid.rowCount() == 2; }));
    QCOMPARE(RowTexts(grid, 0),
             (QStringList{"1", "703", "201", "0212345678", "127.0.0.2", "0311112222", "10:05:07.3", "받음"}));
    QCOMPARE(grid.CellText(1, 0), QString("2"));
    QCOMPARE(grid.CellText(1, 4), QString("127.0.0.3"));
    for (int row : {0, 1}) {
      for (int column = 1; column <= 7; ++column) QCOMPARE(Background(grid, row, column), QColor(210, 230, 240));
    }
  }

  void kindTextsAndColours_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QColor>("colour");
    QTest::newRow("answered") << "T"
                              << "받음" << QColor(210, 230, 240);
    QTest::newRow("ended") << "H"
                           << "끊음" << QColor(200, 240, 240);
    QTest::newRow("ringing") << "R"
                             << "링" << QColor(230, 230, 230);
    QTest::newRow("other") << "N"
                           << "" << QColor(Qt::white);
  }
  void kindTextsAndColours() {
    QFETCH(QString, kind);
    QFETCH(QString, text);
    QFETCH(QColor, colour);
    Harness h;
    RoutingTables tables;
    FillTables(tables);
    RouteFromCoreThread(h.view, tables, 1, Event(kind.toStdString().c_str(), "701", "202"));
    const GridModel& grid = h.form().callGrid(0).grid();
    QVERIFY(h.WaitFor([&] { return grid.rowCount() == 1; }));
    QCOMPARE(grid.CellText(0, 7), text);
    QCOMPARE(Background(grid, 0, 1), colour);
    QCOMPARE(Background(grid, 0, 7), colour);
  }

  void droppedEventsAndTheirRows() {
    Harness h;
    RoutingTables tables;
    FillTables(tables);
    // No DID row for trunk 801: a ringing event shows nothing, an ended one a row.
    RouteFromCoreThread(h.view, tables, 1, Event("R", "801", "201"));
    RouteFromCoreThread(h.view, tables, 1, Event("H", "801", "201", "11112222"));
    // A DID row but no operator for extension 299: an answered event shows a row.
    RouteFromCoreThread(h.view, tables, 1, Event("T", "702", "299", "11113333"));
    const GridModel& grid = h.form().callGrid(0).grid();
    QVERIFY(h.WaitFor([&] { return grid.rowCount() == 2; }));
    h.Drain();
    QCOMPARE(grid.rowCount(), 2);
    QCOMPARE(RowTexts(grid, 0), (QStringList{"1", "801", " ", " ", " ", "11112222", "10:05:07.3", "없음"}));
    QCOMPARE(RowTexts(grid, 1), (QStringList{"2", " ", "299", " ", " ", "11113333", "10:05:07.3", "없음"}));
    QCOMPARE(Background(grid, 1, 1), QColor(240, 210, 210));
    QCOMPARE(Background(grid, 1, 7), QColor(240, 210, 210));
  }

  // Routed rows take the list to the newest, dropped ones do not; and a user who has
  // scrolled up to read keeps the row in view until back at the bottom.
  void theListFollowsRoutedRowsOnlyFromTheBottom() {
    Harness h;
    h.window->show();
    RoutingTables tables;
    FillTables(tables);
    GridView& view = h.form().callGrid(0);
    auto add = [&](const char* kind, const char* trunk) {
      h.view.Publish(event::CallAdded{CallOf(1, RouteCallEvent(tables, 2, Event(kind, trunk, "202"), kNow))});
    };
    for (int n = 0; n < 40; ++n) add("T", "701");
    QVERIFY(h.WaitFor([&] { return view.grid().rowCount() == 40; }));
    h.Drain();
    QScrollBar* bar = view.verticalScrollBar();
    QCOMPARE(bar->value(), bar->maximum());
    add("H", "999");
    QVERIFY(h.WaitFor([&] { return view.grid().rowCount() == 41; }));
    h.Drain();
    QVERIFY(bar->value() < bar->maximum());
    bar->setValue(bar->maximum());
    add("R", "701");
    QVERIFY(h.WaitFor([&] { return view.grid().rowCount() == 42; }));
    h.Drain();
    QCOMPARE(bar->value(), bar->maximum());
    bar->setValue(0);
    add("T", "701");
    QVERIFY(h.WaitFor([&] { return view.grid().rowCount() == 43; }));
    h.Drain();
    QCOMPARE(bar->value(), 0);
  }

  void broadcastModeShowsOneRow() {
    Harness h;
    RoutingTables tables;
    FillTables(tables);
    tables.PublishAgents({}, true);
    RouteFromCoreThread(h.view, tables, 2, Event("T", "705", "201"));
    const GridModel& grid = h.form().callGrid(1).grid();
    QVERIFY(h.WaitFor([&] { return grid.rowCount() == 1; }));
    QCOMPARE(grid.CellText(0, 2), QString("NONE"));
    QCOMPARE(grid.CellText(0, 4), QString("BroadCast"));
    QCOMPARE(h.form().callGrid(0).grid().rowCount(), 0);  // slot 2's rows stay in slot 2's grid
  }

  void operatorColoursFollowTheirRow() {
    Harness h(
        {{"lindra.ini", testing::TestConfig()}, {"ip.tbl", "201 127.0.0.2\r\n202 127.0.0.3\r\n203 127.0.0.2\r\n"}});
    const GridModel& grid = h.form().agentGrid(0).grid();
    QCOMPARE(grid.rowCount(), 3);
    // A colour names its row: only that row changes, whatever IP other rows share.
    h.view.Publish(event::OperatorChanged{1, 2, {{"203", "127.0.0.2", 0xF0DCC8}, {}, {}}});
    h.Drain();
    QCOMPARE(grid.CellColour(2, 1), Colour(0xF0DCC8));
    QCOMPARE(grid.CellColour(2, 2), Colour(0xF0DCC8));
    QCOMPARE(grid.CellColour(0, 1), Colour(0xF0E6D2));
    // The senders followed the table: every row takes its sender's colour, and a row
    // without a sender keeps its own.
    h.view.Publish(event::OperatorsChanged{
        1, {{{"201", "127.0.0.2", 0xE6E6E6}, {}, {}}, {{"202", "127.0.0.3", kNoColour}, {}, {}}}});
    h.Drain();
    QCOMPARE(grid.CellColour(0, 2), Colour(0xE6E6E6));
    QCOMPARE(grid.CellColour(1, 1), Colour(0xF0E6DC));
    QCOMPARE(grid.CellColour(2, 1), Colour(0xF0DCC8));
  }

  void tablesLoadIntoTheirGridsWithAlternatingColours() {
    Harness h({{"lindra.ini", testing::TestConfig()},
               {"did.tbl", "701:708 0212345678\r\n709 0212345679\r\n"},
               {"did2.tbl", "1 2\r\n"}});
    const GridModel& dids = h.form().didGrid(0).grid();
    QCOMPARE(dids.rowCount(), 2);
    QCOMPARE(dids.CellText(0, 1), QString("701:708"));
    QCOMPARE(dids.CellText(1, 2), QString("0212345679"));
    QCOMPARE(dids.CellColour(0, 1), Colour(0xF0E6D2));
    QCOMPARE(dids.CellColour(1, 2), Colour(0xF0E6DC));
    QCOMPARE(h.form().didGrid(1).grid().rowCount(), 1);
    QCOMPARE(h.form().didGrid(0).grid().headerData(1, Qt::Horizontal, Qt::DisplayRole).toString(), QString("대표전화"));
    QCOMPARE(h.form().agentGrid(0).grid().headerData(1, Qt::Horizontal, Qt::DisplayRole).toString(),
             QString("상담원 IP"));
  }

  void deviceListAndCaptions() {
    Harness h;
    QComboBox& list = h.form().deviceList();
    QCOMPARE(list.count(), 4);
    QCOMPARE(list.itemText(0), QString("DEV01: 삼성 DCS 828(816i) RS232C"));
    QCOMPARE(list.itemText(1), QString("DEV02: 삼성 DCS 500 RS232C"));
    QCOMPARE(list.itemText(2), QString("---------------------------"));
    QCOMPARE(list.currentIndex(), 0);
    QCOMPARE(h.form().callGroup().title(), QString("DEV01: 삼성 DCS 828(816i) RS232C 수신확인"));
    QCOMPARE(h.form().didEditor().group->title(), QString("DEV01: 삼성 DCS 828(816i) RS232C KeyNumber"));
    QCOMPARE(h.form().agentEditor().group->title(), QString("DEV01: 삼성 DCS 828(816i) RS232C ExtNumber"));
    QVERIFY(h.asker.informed.isEmpty());
  }

  void selectingASlotWithoutModelWarnsAndStillSwitches() {
    Harness h;
    h.form().deviceList().setCurrentIndex(2);
    h.form().SelectDevice();
    QCOMPARE(h.asker.informed, QStringList{"DEVICE가 선택되지 않았습니다."});
    QCOMPARE(h.form().statusLabel().text(), QString("연결상태:"));
    QVERIFY(!h.form().callGrid(2).isHidden());
    QVERIFY(h.form().callGrid(0).isHidden());
    QVERIFY(!h.form().didGrid(2).isHidden() && !h.form().agentGrid(2).isHidden());
    QVERIFY(!h.form().connectButton().isEnabled());
    QCOMPARE(h.form().callGroup().title(), QString("--------------------------- 수신확인"));

    h.form().deviceList().setCurrentIndex(1);
    h.form().SelectDevice();
    QCOMPARE(h.asker.informed.size(), 1);
    QCOMPARE(h.form().statusLabel().text(), QString("연결상태: DEV2 - 연결 끊김"));
    QVERIFY(h.form().connectButton().isEnabled());
    QVERIFY(!h.form().disconnectButton().isEnabled());
    QVERIFY(h.form().setupButton().isEnabled());
  }

  void connectAndDisconnectDriveButtonsAndStatus() {
    Harness h({{"lindra.ini", CtiConfig(testing::FreeLocalPort())}});
    MainForm& form = h.form();
    form.SelectDevice();
    QTest::mouseClick(&form.connectButton(), Qt::LeftButton);
    h.Drain();
    QVERIFY(h.controller->IsRunning(0));
    QCOMPARE(form.statusLabel().text(), QString("연결상태: DEV1 - 연결 됨"));
    QVERIFY(!form.connectButton().isEnabled());
    QVERIFY(form.disconnectButton().isEnabled());
    QVERIFY(!form.setupButton().isEnabled());
    QTest::mouseClick(&form.disconnectButton(), Qt::LeftButton);
    h.Drain();
    QVERIFY(!h.controller->IsRunning(0));
    QCOMPARE(form.statusLabel().text(), QString("연결상태: DEV1 - 연결 끊김"));
    QVERIFY(form.connectButton().isEnabled());
    QVERIFY(form.setupButton().isEnabled());
  }

  void aLinkOfAnotherSlotEndingFreesSetup() {
    std::string ini = testing::TestConfig();
    const std::string from = "DEV_NAME=3\r\nCOM_PORT=COM2\r\nCOM_BAUDRATE=9600\r\nLAN_IP=127.0.0.1\r\nLAN_PORT=5100";
    ini.replace(ini.find(from), from.size(),
                "DEV_NAME=202\r\nCOM_PORT=COM2\r\nCOM_BAUDRATE=9600\r\nLAN_IP=127.0.0.1\r\nLAN_PORT=" +
                    std::to_string(testing::FreeLocalPort()));
    Harness h({{"lindra.ini", ini}});
    MainForm& form = h.form();
    h.Select(1);
    QTest::mouseClick(&form.connectButton(), Qt::LeftButton);
    h.Drain();
    QVERIFY(h.controller->IsRunning(1));
    h.Select(0);
    QVERIFY(!form.setupButton().isEnabled());
    // Slot 2's link ends without the operator, while slot 1 is the one shown.
    h.controller->DisconnectDevice(1);
    h.Drain();
    QVERIFY(!h.controller->AnyRunning());
    QVERIFY(form.setupButton().isEnabled());
    QCOMPARE(form.statusLabel().text(), QString("연결상태: DEV1 - 연결 끊김"));
  }

  void messageLogBoxNumbersTheNewestHundredLines() {
    Harness h;
    for (int n = 1; n <= 120; ++n) h.controller->model().AddMessage(StatusLine::Info("line " + std::to_string(n)));
    h.Drain();
    QPlainTextEdit& box = h.form().messageLogBox();
    QVERIFY(box.isHidden());
    QVERIFY(!box.isEnabled());
    const QStringList lines = box.toPlainText().split('\n');
    QCOMPARE(lines.size(), 100);
    QVERIFY(lines.first().startsWith("[001]["));
    QVERIFY(lines.last().startsWith("[100]["));
    QVERIFY(lines.last().endsWith("]line 120"));
    h.controller->StopServer();
    h.Drain();
    QVERIFY(box.toPlainText().isEmpty());
  }

  void initialControls() {
    Harness h({{"lindra.ini", testing::TestConfig()}}, {.trayAvailable = true, .start = false});
    MainForm& form = h.form();
    QVERIFY(!form.setupButton().isEnabled());
    QVERIFY(!form.connectButton().isEnabled());
    QVERIFY(!form.disconnectButton().isEnabled());
    QCOMPARE(form.statusLabel().text(), QString("연결상태:"));
    QCOMPARE(form.callGrid(0).geometry(), QRect(20, 70, 750, 275));
    QCOMPARE(form.didGrid(0).geometry(), QRect(20, 380, 360, 175));
    QCOMPARE(form.agentGrid(0).geometry(), QRect(410, 380, 360, 175));
    QVERIFY(form.callGrid(1).isHidden());
    QVERIFY(form.didEditor().remove->isHidden() && !form.didEditor().remove->isEnabled());
    QVERIFY(form.agentEditor().modify->isHidden() && !form.agentEditor().modify->isEnabled());
    QCOMPARE(form.agentEditor().firstLabel->text(), QString("내선:"));
    QCOMPARE(form.agentEditor().secondLabel->text(), QString("상담원IP:"));
    QCOMPARE(form.callGrid(0).grid().headerData(5, Qt::Horizontal, Qt::DisplayRole).toString(), QString("수신 시간"));
    QCOMPARE(form.callGrid(0).columnWidth(3), 140);
  }

  void noEnabledSlotLeavesOnlySetup() {
    Harness h(Harness::Files{});  // no lindra.ini: the default file, no slot enabled
    QVERIFY(h.form().setupButton().isEnabled());
    QVERIFY(!h.form().connectButton().isEnabled());
    QVERIFY(!h.form().didEditor().add->isEnabled());
    QCOMPARE(h.form().deviceList().itemText(0), QString("---------------------------"));
  }
};

}  // namespace lindra::gui

LINDRA_GUI_TEST(lindra::gui::CallMonitorTest)
#include "call_monitor_test.moc"
