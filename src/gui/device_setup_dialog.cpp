#include "device_setup_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <algorithm>

#include "config/lindra_ini.h"
#include "form_font.h"
#include "gui_texts.h"
#include "model/device_model.h"
#include "open_list.h"
#include "text/strings.h"

namespace lindra::gui {

const SpeedEntry kSpeedEntries[kSpeedEntryCount] = {
    {"1200", 1200},   {"2400", 2400},   {"4800", 4800},    {"9600", 9600},
    {"19200", 19200}, {"38400", 38400}, {"576700", 57600}, {"115200", 115200},
};

namespace {

const char* const kComPorts[] = {"COM1", "COM2", "COM3", "COM4", "COM5", "COM6"};

// The model list: each model at its own entry, and these entries that stand for no
// model, the placeholder and the separators before the serial, LAN and CTI models.
constexpr int kModelEntryCount = 23;
struct NoModelEntry {
  int entry;
  const char* text;
};
constexpr NoModelEntry kNoModelEntries[] = {
    {0, "교환기 선택"}, {1, "-RS232C------------"}, {14, "-LAN---------------"}, {21, "-CTI---------------"}};

// The model of each entry; nullptr for the entries that stand for none.
const std::array<const DeviceModel*, kModelEntryCount>& ModelsByEntry() {
  static const auto models = [] {
    std::array<const DeviceModel*, kModelEntryCount> byEntry{};
    for (const DeviceModel& model : DeviceModels()) byEntry[model.setupEntry] = &model;
    return byEntry;
  }();
  return models;
}

const DeviceModel* ModelOfEntry(int entry) {
  return entry >= 0 && entry < kModelEntryCount ? ModelsByEntry()[entry] : nullptr;
}

QString EntryText(int entry) {
  if (const DeviceModel* model = ModelOfEntry(entry))
    return QString::fromUtf8(model->setupText.data(), static_cast<qsizetype>(model->setupText.size()));
  for (const NoModelEntry& none : kNoModelEntries)
    if (none.entry == entry) return U(none.text);
  return {};
}

int EntryOfCode(uint32_t code) {
  const DeviceModel* model = FindDeviceModel(code);
  return model ? model->setupEntry : 0;
}

int EntryOfSpeed(int speed) {
  for (int i = 0; i < kSpeedEntryCount; ++i) {
    if (kSpeedEntries[i].speed == speed) return i;
  }
  return -1;
}

QLineEdit* DigitsField(QWidget* parent) {
  auto* field = new QLineEdit(parent);
  field->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), field));
  return field;
}

QLabel* Label(const char* text, QWidget* parent, int x, int y, int w, int h) {
  auto* label = new QLabel(U(text), parent);
  label->setGeometry(x, y, w, h);
  return label;
}

// A slot's two labels and the two fields after them, one above the other.
constexpr int kLabelX = 230;
constexpr int kFieldsRight = 390;
constexpr int kLabelGap = 3;

// The fields begin at `fieldX`, or further right where a label needs the room in the
// desktop's font ("BAUDRATE:" is wider in most than the layout allowed), so no label
// is ever covered; they keep their right edge.
void PlaceFields(std::initializer_list<QLabel*> labels, std::initializer_list<QWidget*> fields, int fieldX, int y) {
  for (QLabel* label : labels) fieldX = std::max(fieldX, kLabelX + label->sizeHint().width() + kLabelGap);
  for (QLabel* label : labels) label->resize(fieldX - kLabelX, label->height());
  for (QWidget* field : fields) {
    field->setGeometry(fieldX, y, kFieldsRight - fieldX, 20);
    y += 20;
  }
}

}  // namespace

DeviceSetupDialog::DeviceSetupDialog(Asker& asker, QWidget* parent) : QDialog(parent), asker_(asker) {
  setWindowTitle(U(texts::kSetupTitle));
  setFont(FormFont(font()));
  setFixedSize(420, 320);
  setModal(true);

  auto* devices = new QGroupBox(U(texts::kDeviceGroup), this);
  devices->setGeometry(5, 5, 405, 200);
  auto* program = new QGroupBox(U(texts::kProgramGroup), this);
  program->setGeometry(5, 210, 405, 50);

  for (int k = 0; k < kSlotCount; ++k) BuildSlot(k);

  Label(texts::kAreaCodeLabel, this, 10, 235, 60, 20);
  areaCode_ = DigitsField(this);
  areaCode_->setGeometry(70, 230, 100, 20);
  Label(texts::kProgPortLabel, this, 200, 235, 60, 20);
  progPort_ = DigitsField(this);
  progPort_->setGeometry(270, 230, 100, 20);

  okButton_ = new QPushButton(U(texts::kOkButton), this);
  okButton_->setGeometry(105, 268, 100, 20);
  okButton_->setDefault(true);
  cancelButton_ = new QPushButton(U(texts::kCancelButton), this);
  cancelButton_->setGeometry(215, 268, 100, 20);
  connect(okButton_, &QPushButton::clicked, this, [this] { Confirm(); });
  connect(cancelButton_, &QPushButton::clicked, this, &QDialog::reject);
}

void DeviceSetupDialog::BuildSlot(int k) {
  const int y0 = 45 * k;
  SlotControls& c = slots_[k];
  c.number = Label("", this, 10, 25 + y0, 15, 20);
  c.number->setText(QStringLiteral("%1.").arg(k + 1));
  c.use = new QCheckBox(U(texts::kUseCheck), this);
  c.use->setGeometry(25, 20 + y0, 40, 20);
  c.model = new QComboBox(this);
  c.model->setGeometry(75, 20 + y0, 150, 20);
  c.model->setMaxVisibleItems(kModelEntryCount);
  for (int entry = 0; entry < kModelEntryCount; ++entry) c.model->addItem(EntryText(entry));
  FitOpenListToEntries(*c.model);

  c.addressLabel = Label(texts::kAddressLabel, this, kLabelX, 25 + y0, 0, 20);
  c.lanPortLabel = Label(texts::kPortLabel, this, kLabelX, 45 + y0, 0, 20);
  c.address = new QLineEdit(this);
  c.lanPort = DigitsField(this);
  PlaceFields({c.addressLabel, c.lanPortLabel}, {c.address, c.lanPort}, 270, 20 + y0);

  c.comPortLabel = Label(texts::kPortLabel, this, kLabelX, 25 + y0, 0, 20);
  c.baudLabel = Label(texts::kBaudLabel, this, kLabelX, 45 + y0, 0, 20);
  c.comPort = new QComboBox(this);
  for (const char* port : kComPorts) c.comPort->addItem(U(port));
  c.baud = new QComboBox(this);
  for (const SpeedEntry& entry : kSpeedEntries) c.baud->addItem(U(entry.text));
  PlaceFields({c.comPortLabel, c.baudLabel}, {c.comPort, c.baud}, 290, 20 + y0);

  if (k == 0) {
    c.use->setChecked(true);
    c.use->setEnabled(false);
  } else {
    connect(c.use, &QCheckBox::clicked, this, [this, k] { ApplyUseRule(k); });
  }
  // Only the operator's choice of a model proposes that model's speed.
  connect(c.model, &QComboBox::activated, this, [this, k] { ApplyModelRule(k, true); });
}

void DeviceSetupDialog::Load(const Slots& slots) {
  records_ = slots;
  for (int k = 0; k < kSlotCount; ++k) {
    SlotControls& c = slots_[k];
    const SlotConfig& record = slots[k];
    c.model->setCurrentIndex(0);
    c.address->setEnabled(false);
    c.lanPort->setEnabled(false);
    for (QWidget* w : std::initializer_list<QWidget*>{c.comPortLabel, c.baudLabel, c.comPort, c.baud}) w->hide();

    if (k > 0) c.use->setChecked(record.devUse);
    c.model->setCurrentIndex(EntryOfCode(record.modelCode));
    shownModel_[k] = c.model->currentIndex();
    c.comPort->setCurrentIndex(c.comPort->findText(QString::fromStdString(record.comPort), Qt::MatchExactly));
    c.address->setText(QString::fromStdString(record.lanIp));
    c.lanPort->setText(QString::number(record.lanPort));
    // The stored speed stays selected, so that confirming without touching the slot
    // writes back what was read.
    c.baud->setCurrentIndex(EntryOfSpeed(record.baudRate));
    ApplyUseRule(k);
  }
  areaCode_->setText(QString::fromStdString(slots[0].areaCode));
  progPort_->setText(QString::number(slots[0].progPort));
}

void DeviceSetupDialog::ApplyUseRule(int k) {
  SlotControls& c = slots_[k];
  if (k == 0 || c.use->isChecked()) {
    c.model->setEnabled(true);
    ApplyModelRule(k, false);
    return;
  }
  c.model->setEnabled(false);
  for (QWidget* w : std::initializer_list<QWidget*>{c.comPortLabel, c.baudLabel, c.comPort, c.baud}) w->hide();
  for (QWidget* w : std::initializer_list<QWidget*>{c.addressLabel, c.lanPortLabel, c.address, c.lanPort}) {
    w->setEnabled(false);
    w->hide();
  }
}

void DeviceSetupDialog::ApplyModelRule(int k, bool proposeSpeed) {
  SlotControls& c = slots_[k];
  const int entry = c.model->currentIndex();
  const DeviceModel* model = ModelOfEntry(entry);
  const LinkKind link = model ? model->link : LinkKind::None;
  for (QWidget* w : std::initializer_list<QWidget*>{c.addressLabel, c.lanPortLabel, c.address, c.lanPort,
                                                    c.comPortLabel, c.baudLabel, c.comPort, c.baud}) {
    w->hide();
  }
  if (link == LinkKind::Serial) {
    for (QWidget* w : std::initializer_list<QWidget*>{c.comPortLabel, c.baudLabel, c.comPort, c.baud}) w->show();
    c.comPort->setEnabled(true);
    c.baud->setEnabled(true);
    if (proposeSpeed && entry != shownModel_[k]) c.baud->setCurrentIndex(EntryOfSpeed(model->defaultBaudRate));
  } else if (link == LinkKind::Lan || link == LinkKind::Cti) {
    for (QWidget* w : std::initializer_list<QWidget*>{c.addressLabel, c.lanPortLabel, c.address, c.lanPort}) w->show();
    c.address->setEnabled(true);
    c.lanPort->setEnabled(true);
  }
  shownModel_[k] = entry;
}

void DeviceSetupDialog::Confirm() {
  std::array<uint32_t, kSlotCount> codes{};
  for (int k = 0; k < kSlotCount; ++k) {
    const SlotControls& c = slots_[k];
    if (k > 0 && !c.use->isChecked()) continue;
    const DeviceModel* model = ModelOfEntry(c.model->currentIndex());
    if (!model) {
      asker_.Inform(this, U(texts::kChooseModel));
      c.model->setFocus();
      return;
    }
    codes[k] = model->code;
  }

  Slots confirmed = records_;
  for (int k = 0; k < kSlotCount; ++k) {
    const SlotControls& c = slots_[k];
    SlotConfig& r = confirmed[k];
    r.modelCode = codes[k];
    if (k > 0 && !c.use->isChecked()) {
      r.devUse = false;
      continue;
    }
    r.devUse = true;
    r.comPort = c.comPort->currentIndex() >= 0 ? c.comPort->currentText().toStdString() : std::string();
    // With no speed entry chosen (a stored speed the list does not hold), the stored
    // speed is kept rather than replaced by 0.
    const int speed = c.baud->currentIndex();
    if (speed >= 0) r.baudRate = kSpeedEntries[speed].speed;
    r.lanIp = c.address->text().toStdString();
    r.lanPort = text::LeadingInt32(c.lanPort->text().toStdString());
    r.progPort = text::LeadingInt32(progPort_->text().toStdString());
    r.areaCode = areaCode_->text().toStdString();
  }

  if (writer_ && !writer_(confirmed)) {
    asker_.Inform(this, QString::fromUtf8(kFileSaveFailedText.data(), kFileSaveFailedText.size()));
    return;
  }
  records_ = confirmed;
  accept();
}

void DeviceSetupDialog::showEvent(QShowEvent* event) {
  if (const QScreen* screen = this->screen()) {
    const QRect area = screen->availableGeometry();
    move(area.x() + (area.width() - width()) / 2, area.y() + (area.height() - height()) / 2);
  }
  QDialog::showEvent(event);
}

}  // namespace lindra::gui
