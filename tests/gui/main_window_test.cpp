// The main frame: title and size, labels and lists that read whole, Korean message
// boxes, the tray menu and its actions, the close button that only hides, the exit
// that asks first, the automatic connect's hide, and the desktop without a tray or
// with one that appears late.
#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QStyle>
#include <QStyleFactory>
#include <QTest>
#include <QTimer>
#include <memory>

#include "device/channel_view.h"
#include "gui_harness.h"
#include "test_registry.h"
#include "tray_icon.h"

namespace lindra::gui {

using testing::Harness;

namespace {

// Answers the next message box with the button captioned `answer`, after noting every
// button's caption.
void AnswerNextBox(const QString& answer, QStringList& captions) {
  auto* poll = new QTimer;
  QObject::connect(poll, &QTimer::timeout, [poll, answer, &captions] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) return;
    poll->deleteLater();
    poll->stop();
    for (QAbstractButton* button : box->buttons()) captions << button->text();
    for (QAbstractButton* button : box->buttons()) {
      if (button->text() == answer) return button->click();
    }
    box->reject();  // no such button: the captions tell what was there
  });
  poll->start(10);
}

QStringList Sorted(QStringList list) {
  list.sort();
  return list;
}

}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT
 private Q_SLOTS:
  void titleSizeAndShown() {
    Harness h;
    QCOMPARE(h.window->windowTitle(), QString("Lindra2"));
    QCOMPARE(h.window->frameGeometry().size(), QSize(800, 670));
    QVERIFY(h.window->isVisible());
    QVERIFY(!(h.window->windowFlags() & Qt::WindowMaximizeButtonHint));
  }

  void formLabelsReadWholeAndTheStatusBarHasNoEmptyPanes() {
    Harness h;
    QCOMPARE(testing::HiddenLabelTexts(h.form()), QStringList());
    for (const QLabel* pane : h.window->statusBar()->findChildren<QLabel*>()) {
      QVERIFY(!pane->isVisible() || !pane->text().isEmpty());
    }
  }

  void deviceListOpensWideEnoughForItsLongestEntry() {
    // A style that opens a list at its box's width, as several desktops' styles do.
    const std::unique_ptr<QStyle> style(QStyleFactory::create("Windows"));
    Harness h;
    QComboBox& list = h.form().deviceList();
    list.setStyle(style.get());
    h.form().FillDeviceList();
    list.showPopup();
    QAbstractItemView& view = *list.view();
    QVERIFY(QTest::qWaitForWindowExposed(view.window()));
    for (int row = 0; row < list.count(); ++row) {
      const QModelIndex entry = view.model()->index(row, 0);
      QVERIFY2(view.viewport()->width() >= view.sizeHintForIndex(entry).width(), qPrintable(list.itemText(row)));
    }
    list.hidePopup();
    QCOMPARE(list.geometry(), QRect(140, 18, 200, 20));  // the box itself stays
  }

  void messageBoxesAnswerInKorean() {
    MessageBoxAsker asker;
    QStringList captions;
    AnswerNextBox("확인", captions);
    asker.Inform(nullptr, "DEVICE 설정이 완료 되었습니다.");
    QCOMPARE(captions, QStringList{"확인"});
    captions.clear();
    AnswerNextBox("취소", captions);
    QVERIFY(!asker.Confirm(nullptr, "프로그램을 종료 합니다.", Asker::Buttons::OkCancel));
    QCOMPARE(Sorted(captions), (QStringList{"취소", "확인"}));
    captions.clear();
    AnswerNextBox("예", captions);
    QVERIFY(asker.Confirm(nullptr, "정말 삭제 하시겠습니까?", Asker::Buttons::YesNo));
    QCOMPARE(Sorted(captions), (QStringList{"아니요", "예"}));
  }

  void aTrayThatAppearsLaterGetsTheIcon() {
    Harness h(Harness::Files{{"lindra.ini", testing::TestConfig()}}, {.trayAvailable = false, .start = true});
    QVERIFY(!h.window->tray());
    h.trayAvailable = true;  // the panel has started
    QVERIFY(h.WaitFor([&] { return h.window->tray() != nullptr; }, static_cast<int>(4 * kTrayWatch.count())));
    QVERIFY(h.window->tray()->shown());
    // From now on the window lives in the tray, as with a tray from the start.
    h.window->close();
    QVERIFY(!h.window->isVisible());
    QVERIFY(h.asker.asked.isEmpty());
    h.window->tray()->showAction().trigger();
    h.form().Publish(event::AutoConnectDone{0, true});
    QVERIFY(!h.window->isVisible());
  }

  void trayMenuInOrder() {
    Harness h;
    QVERIFY(h.window->tray());
    QStringList entries;
    for (QAction* a : h.window->tray()->menu().actions()) entries << (a->isSeparator() ? "-" : a->text());
    QCOMPARE(entries, (QStringList{"보기", "감추기", "-", "원격지원", "-", "종료"}));
  }

  void trayShowHideAndRemoteSupport() {
    Harness h;
    TrayIcon& tray = *h.window->tray();
    tray.hideAction().trigger();
    QVERIFY(!h.window->isVisible());
    tray.showAction().trigger();
    QVERIFY(h.window->isVisible());
    tray.remoteSupportAction().trigger();
    QCOMPARE(h.urlsOpened, 1);
    QCOMPARE(h.lastUrl, QUrl("http://127.0.0.1/support"));
    QVERIFY(h.asker.asked.isEmpty());
  }

  // Every slot's link at once: the device list's dots and tooltips, the tray's tooltip,
  // and its icon marked while a slot is down; the message log in a window of its own.
  void everySlotsStateIsShownAndTheLogCanBeRead() {
    Harness h({{"lindra.ini", testing::TestConfig()}});
    TrayIcon& tray = *h.window->tray();
    ChannelView& channels = h.controller->model().channelView();
    channels.LinkStateChanged(2, {LinkState::Phase::Retrying, 3, 111, "[ERR] connect 실패: 111"});
    QVERIFY(h.WaitFor([&] { return tray.markedDown(); }));
    const QString entry = h.form().deviceList().itemData(1, Qt::ToolTipRole).toString();
    QVERIFY2(entry.contains("재연결 중 (3회)") && entry.contains("[ERR] connect 실패: 111"), qPrintable(entry));
    QVERIFY2(
        h.form().deviceList().itemData(1, Qt::ToolTipRole).toString().startsWith(h.form().deviceList().itemText(1)),
        "the tooltip names the device in full");
    QVERIFY2(tray.toolTip().contains("DEV01: 연결 끊김\nDEV02: 재연결 중 (3회)"), qPrintable(tray.toolTip()));
    channels.LinkStateChanged(2, {LinkState::Phase::Connected, 0, std::nullopt, ""});
    QVERIFY(h.WaitFor([&] { return !tray.markedDown(); }));
    QVERIFY2(tray.toolTip().contains("DEV02: 연결 됨"), qPrintable(tray.toolTip()));

    h.form().messageLogButton().click();
    QVERIFY(h.form().messageLogDialog().isVisible());
    QVERIFY(h.WaitFor([&] { return h.form().messageLogView().toPlainText().contains("Starting server"); }));
    h.controller->model().AddMessage(StatusLine::Info("one more line"));
    QVERIFY(h.WaitFor([&] { return h.form().messageLogView().toPlainText().endsWith("]one more line"); }));
  }

  void closeButtonOnlyHides() {
    Harness h({{"lindra.ini", testing::TestConfig()}, {"did.tbl", "701 1\r\n"}});
    QSignalSpy exited(h.window.get(), &MainWindow::exited);
    h.window->close();
    QVERIFY(!h.window->isVisible());
    QVERIFY(h.asker.asked.isEmpty());
    QCOMPARE(exited.count(), 0);
    QVERIFY(!h.controller->model().MessageLog().empty());  // the server goes on
    h.window->tray()->showAction().trigger();
    QCOMPARE(h.form().didGrid(0).grid().rowCount(), 1);
  }

  void exitAsksAndCancelChangesNothing() {
    Harness h;
    QSignalSpy exited(h.window.get(), &MainWindow::exited);
    h.asker.answers = {false};
    h.window->tray()->exitAction().trigger();
    QCOMPARE(h.asker.asked, QStringList{"프로그램을 종료 합니다."});
    QVERIFY(h.asker.askedButtons.back() == Asker::Buttons::OkCancel);
    QCOMPARE(exited.count(), 0);
    QVERIFY(h.window->isVisible());
    QVERIFY(!h.controller->model().MessageLog().empty());
    QCOMPARE(h.watchdogStops, 0);
  }

  void exitOkStopsTheServerAndTheWatchdog() {
    Harness h;
    QSignalSpy exited(h.window.get(), &MainWindow::exited);
    h.window->tray()->hideAction().trigger();  // in the tray, as it usually is
    h.asker.answers = {true};
    h.window->tray()->exitAction().trigger();
    QCOMPARE(exited.count(), 1);
    QVERIFY(h.window->allowClose());
    QVERIFY(!h.window->isVisible());
    QVERIFY(h.controller->model().MessageLog().empty());  // StopServer empties the log
    QCOMPARE(h.watchdogStops, 1);
  }

  void automaticConnectHidesOnlyWhenAllConnected() {
    Harness h;
    h.form().Publish(event::AutoConnectDone{1, false});
    QVERIFY(h.window->isVisible());
    QCOMPARE(h.form().deviceList().currentIndex(), 1);
    h.form().Publish(event::AutoConnectDone{0, true});
    QVERIFY(!h.window->isVisible());
  }

  void automaticConnectThatFailsLeavesTheWindowAndSaysSo() {
    Harness h;
    QCOMPARE(h.timers->held.size(), size_t(1));
    QCOMPARE(h.timers->held[0].first, std::chrono::milliseconds(1500));
    h.timers->held[0].second();  // the start timer fires: serial ports that do not exist
    h.Drain();
    QVERIFY(h.window->isVisible());
    QVERIFY(h.asker.informed.contains("일부 DEVICE가 연결되지 않았습니다."));
    QCOMPARE(h.form().deviceList().currentIndex(), 1);  // the last slot tried
    QVERIFY(h.form().connectButton().isEnabled());
  }

  void withoutTrayTheWindowStaysAndCloseAsks() {
    Harness h(Harness::Files{{"lindra.ini", testing::TestConfig()}}, {.trayAvailable = false, .start = true});
    QVERIFY(!h.window->tray());
    QSignalSpy exited(h.window.get(), &MainWindow::exited);
    h.form().Publish(event::AutoConnectDone{0, true});
    QVERIFY(h.window->isVisible());
    h.asker.answers = {false};
    h.window->close();
    QVERIFY(h.window->isVisible());
    QCOMPARE(h.asker.asked, QStringList{"프로그램을 종료 합니다."});
    h.asker.answers = {true};
    h.window->close();
    QCOMPARE(exited.count(), 1);
    QVERIFY(!h.window->isVisible());
    QCOMPARE(h.watchdogStops, 1);
  }
};

}  // namespace lindra::gui

LINDRA_GUI_TEST(lindra::gui::MainWindowTest)
#include "main_window_test.moc"
