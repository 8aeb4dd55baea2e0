// The device setup dialog: what it shows for the stored slots (the stored speed
// included), the check-box and model rules, the "확 인" checks, and the lindra.ini
// it writes through the controller; then the whole change through "설정".
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <filesystem>

#include "device_setup_dialog.h"
#include "gui_harness.h"
#include "test_registry.h"

namespace lindra::gui {

using testing::Harness;

namespace {

// Opens the dialog on the controller's records, as "설정" does, without its own
// event loop, so the test can work the controls.
DeviceSetupDialog& OpenDialog(Harness& h) {
  DeviceSetupDialog& dialog = h.form().setupDialog();
  dialog.Load(h.controller->slotConfigs());
  dialog.show();
  return dialog;
}

void Choose(QComboBox* list, int entry) {
  list->setCurrentIndex(entry);
  Q_EMIT list->activated(entry);
}

// The value of a key of a section of the lindra.ini now in the work folder.
std::string Key(Harness& h, const std::string& section, const std::string& key) {
  const std::string text = h.ReadWorkFile("lindra.ini");
  const size_t start = text.find("[" + section + "]");
  if (start == std::string::npos) return "<no section>";
  const size_t end = text.find("\r\n[", start + 1);
  const size_t at = text.find("\r\n" + key + "=", start);
  if (at == std::string::npos || at > end) return "<no key>";
  const size_t value = at + key.size() + 3;
  return text.substr(value, text.find("\r\n", value) - value);
}

}  // namespace

class SetupDialogTest : public QObject {
  Q_OBJECT
 private Q_SLOTS:
  void opensWithTheStoredValues() {
    Harness h;
    DeviceSetupDialog& d = OpenDialog(h);
    QCOMPARE(d.windowTitle(), QString("Device Setup"));
    QCOMPARE(d.size(), QSize(420, 320));
    QVERIFY(d.slot(0).use->isChecked() && !d.slot(0).use->isEnabled());
    QCOMPARE(d.slot(0).model->count(), 23);
    QCOMPARE(d.slot(0).model->itemText(22), QString("길따라 CTI"));
    QCOMPARE(d.slot(0).model->currentIndex(), 2);
    QCOMPARE(d.slot(0).comPort->currentText(), QString("COM1"));
    QCOMPARE(d.slot(0).baud->itemText(6), QString("576700"));
    // Slot 2 holds model 3 (usually 19200) at 9600: the stored speed is what it shows.
    QVERIFY(d.slot(1).use->isChecked());
    QCOMPARE(d.slot(1).model->currentIndex(), 3);
    QCOMPARE(d.slot(1).baud->currentText(), QString("9600"));
    QVERIFY(!d.slot(1).baud->isHidden() && !d.slot(1).comPortLabel->isHidden());
    QVERIFY(d.slot(1).address->isHidden());
    // Slots 3 and 4 are out of use: model list disabled, no fields shown.
    QVERIFY(!d.slot(2).use->isChecked() && !d.slot(2).model->isEnabled());
    QVERIFY(d.slot(2).baud->isHidden() && d.slot(2).address->isHidden() && !d.slot(2).address->isEnabled());
    QCOMPARE(d.areaCode().text(), QString("02"));
    QCOMPARE(d.progPort().text(), QString("7001"));
    d.hide();
  }

  void everyLabelReadsWhole() {
    Harness h;
    DeviceSetupDialog& d = OpenDialog(h);
    QTest::mouseClick(d.slot(2).use, Qt::LeftButton);
    Choose(d.slot(2).model, 15);  // a LAN model, so both kinds of labels show
    QCOMPARE(testing::HiddenLabelTexts(d), QStringList());
    for (QWidget* field : {(QWidget*)d.slot(0).baud, (QWidget*)d.slot(2).address}) {
      QCOMPARE(field->geometry().right(), 389);  // the fields keep their right edge
    }
    d.hide();
  }

  void confirmingUntouchedKeepsEverySpeed() {
    Harness h;
    DeviceSetupDialog& d = OpenDialog(h);
    QTest::mouseClick(&d.okButton(), Qt::LeftButton);
    QCOMPARE(d.result(), int(QDialog::Accepted));
    QCOMPARE(Key(h, "DEVICE01", "COM_BAUDRATE"), std::string("9600"));
    QCOMPARE(Key(h, "DEVICE02", "COM_BAUDRATE"), std::string("9600"));
    QCOMPARE(Key(h, "DEVICE02", "DEV_USE"), std::string("Y"));
    QCOMPARE(Key(h, "CLIENT", "CENTERID"), std::string("C12345"));
    QCOMPARE(Key(h, "CLIENT", "AREACODE"), std::string("02"));
    QCOMPARE(Key(h, "DEVICE01", "DEV_USE"), std::string("<no key>"));
  }

  void choosingAModelProposesItsSpeed() {
    Harness h;
    DeviceSetupDialog& d = OpenDialog(h);
    Choose(d.slot(1).model, 3);  // the model it already has: no change, its speed stays
    QCOMPARE(d.slot(1).baud->currentText(), QString("9600"));
    Choose(d.slot(1).model, 15);  // a LAN model
    QVERIFY(d.slot(1).baud->isHidden());
    QVERIFY(!d.slot(1).address->isHidden() && d.slot(1).address->isEnabled());
    Choose(d.slot(1).model, 9);  // BDTel SeeID-4
    QVERIFY(!d.slot(1).baud->isHidden() && d.slot(1).address->isHidden());
    QCOMPARE(d.slot(1).baud->currentText(), QString("4800"));
    QCOMPARE(d.slot(1).comPort->currentText(), QString("COM2"));  // the port stays
    Choose(d.slot(1).model, 3);
    QCOMPARE(d.slot(1).baud->currentText(), QString("19200"));
    QTest::mouseClick(&d.okButton(), Qt::LeftButton);
    QCOMPARE(Key(h, "DEVICE02", "COM_BAUDRATE"), std::string("19200"));
  }

  void speedEntry576700Writes57600() {
    Harness h;
    DeviceSetupDialog& d = OpenDialog(h);
    d.slot(0).baud->setCurrentIndex(6);
    QTest::mouseClick(&d.okButton(), Qt::LeftButton);
    QCOMPARE(Key(h, "DEVICE01", "COM_BAUDRATE"), std::string("57600"));
  }

  void uncheckingASlotKeepsItsOtherKeys() {
    Harness h;
    DeviceSetupDialog& d = OpenDialog(h);
    QTest::mouseClick(d.slot(1).use, Qt::LeftButton);
    QVERIFY(!d.slot(1).model->isEnabled() && d.slot(1).baud->isHidden());
    QTest::mouseClick(&d.okButton(), Qt::LeftButton);
    QCOMPARE(Key(h, "DEVICE02", "DEV_USE"), std::string("N"));
    QCOMPARE(Key(h, "DEVICE02", "DEV_NAME"), std::string("0"));
    QCOMPARE(Key(h, "DEVICE02", "COM_PORT"), std::string("COM2"));
    QCOMPARE(Key(h, "DEVICE02", "COM_BAUDRATE"), std::string("9600"));
    QCOMPARE(Key(h, "DEVICE02", "LAN_PORT"), std::string("5100"));
  }

  void aSlotInUseNeedsAModel() {
    Harness h;
    const std::string before = h.ReadWorkFile("lindra.ini");
    DeviceSetupDialog& d = OpenDialog(h);
    QVERIFY(QTest::qWaitForWindowExposed(&d));
    Choose(d.slot(0).model, 0);
    QTest::mouseClick(&d.okButton(), Qt::LeftButton);
    QCOMPARE(h.asker.informed, QStringList{"교환기를 선택 해 주세요."});
    QVERIFY(d.isVisible());
    QCOMPARE(d.focusWidget(), d.slot(0).model);
    // A separator is no model either, for a checked slot 3.
    Choose(d.slot(0).model, 2);
    QTest::mouseClick(d.slot(2).use, Qt::LeftButton);
    QVERIFY(d.slot(2).model->isEnabled());
    Choose(d.slot(2).model, 14);
    QTest::mouseClick(&d.okButton(), Qt::LeftButton);
    QCOMPARE(h.asker.informed.size(), 2);
    QCOMPARE(d.focusWidget(), d.slot(2).model);
    QCOMPARE(h.ReadWorkFile("lindra.ini"), before);
    d.hide();
  }

  void sharedFieldsTakeDigitsOnlyAndReachTheClientSection() {
    Harness h;
    DeviceSetupDialog& d = OpenDialog(h);
    d.areaCode().clear();
    QTest::keyClicks(&d.areaCode(), "0a31");
    d.progPort().clear();
    QTest::keyClicks(&d.progPort(), "80-01");
    QCOMPARE(d.areaCode().text(), QString("031"));
    QTest::mouseClick(&d.okButton(), Qt::LeftButton);
    QCOMPARE(Key(h, "CLIENT", "AREACODE"), std::string("031"));
    QCOMPARE(Key(h, "CLIENT", "PROG_PORT"), std::string("8001"));
    QCOMPARE(Key(h, "CLIENT", "CENTERID"), std::string("C12345"));
  }

  void aFileThatCannotBeSavedKeepsTheDialogOpen() {
    Harness h;
    DeviceSetupDialog& d = OpenDialog(h);
    // A folder in the file's place: nothing can replace it, whoever runs the test.
    std::filesystem::remove(h.work / "lindra.ini");
    std::filesystem::create_directory(h.work / "lindra.ini");
    d.slot(0).baud->setCurrentIndex(0);
    QTest::mouseClick(&d.okButton(), Qt::LeftButton);
    QCOMPARE(h.asker.informed, QStringList{"파일 저장 실패"});
    QVERIFY(d.isVisible());
    QCOMPARE(d.Records()[0].baudRate, 9600);  // the records wait for a successful write
    d.hide();
  }

  void setupButtonAppliesTheChange() {
    Harness h;
    h.form().SelectDevice();  // "설정" is enabled once a slot is selected and none runs
    bool operated = false;
    // The dialog runs its own loop; work its controls from inside it.
    QTimer::singleShot(0, [&] {
      DeviceSetupDialog& d = h.form().setupDialog();
      QTest::mouseClick(d.slot(2).use, Qt::LeftButton);
      Choose(d.slot(2).model, 22);
      d.slot(2).lanPort->setText("9100");
      QTest::mouseClick(&d.okButton(), Qt::LeftButton);
      operated = true;
    });
    QTest::mouseClick(&h.form().setupButton(), Qt::LeftButton);
    QVERIFY(operated);
    h.Drain();
    QCOMPARE(Key(h, "DEVICE03", "DEV_NAME"), std::string("202"));
    QCOMPARE(Key(h, "DEVICE03", "LAN_PORT"), std::string("9100"));
    QCOMPARE(h.controller->slotConfigs()[2].modelCode, 202u);
    QCOMPARE(h.form().deviceList().itemText(2), QString("DEV03: 길따라 CTI"));
    QCOMPARE(h.asker.informed, QStringList{"DEVICE 설정이 완료 되었습니다."});
  }

  void cancelChangesNothing() {
    Harness h;
    h.form().SelectDevice();
    const std::string before = h.ReadWorkFile("lindra.ini");
    QTimer::singleShot(0, [&] {
      DeviceSetupDialog& d = h.form().setupDialog();
      Choose(d.slot(0).model, 7);
      QTest::mouseClick(&d.cancelButton(), Qt::LeftButton);
    });
    QTest::mouseClick(&h.form().setupButton(), Qt::LeftButton);
    h.Drain();
    QCOMPARE(h.ReadWorkFile("lindra.ini"), before);
    QCOMPARE(h.controller->slotConfigs()[0].modelCode, 2u);
    QVERIFY(h.asker.informed.isEmpty());
  }
};

}  // namespace lindra::gui

LINDRA_GUI_TEST(lindra::gui::SetupDialogTest)
#include "setup_dialog_test.moc"
