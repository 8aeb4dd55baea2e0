#pragma once
// "Device Setup": the four slots (in use, model, serial port and speed, or LAN
// address and port) and the two shared values (area code, notification port). The
// dialog edits a copy of the slot records and hands it back only after lindra.ini
// has been written.
#include <QDialog>
#include <array>
#include <functional>

#include "asker.h"
#include "config/slot_config.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace lindra::gui {

// GUI thread only.
class DeviceSetupDialog final : public QDialog {
  Q_OBJECT
 public:
  using Slots = std::array<SlotConfig, kSlotCount>;
  // Writes the full lindra.ini from the confirmed records; false when it failed.
  using Writer = std::function<bool(const Slots&)>;

  DeviceSetupDialog(Asker& asker, QWidget* parent);
  void SetWriter(Writer writer) { writer_ = std::move(writer); }

  // Fills every control from the records (before each run).
  void Load(const Slots& slots);
  // The records as confirmed by the last successful "확 인".
  const Slots& Records() const { return records_; }

  struct SlotControls {
    QLabel* number = nullptr;
    QCheckBox* use = nullptr;
    QComboBox* model = nullptr;
    QLabel* addressLabel = nullptr;
    QLineEdit* address = nullptr;
    QLabel* lanPortLabel = nullptr;
    QLineEdit* lanPort = nullptr;
    QLabel* comPortLabel = nullptr;
    QComboBox* comPort = nullptr;
    QLabel* baudLabel = nullptr;
    QComboBox* baud = nullptr;
  };
  SlotControls& slot(int k) { return slots_[k]; }
  QLineEdit& areaCode() { return *areaCode_; }
  QLineEdit& progPort() { return *progPort_; }
  QPushButton& okButton() { return *okButton_; }
  QPushButton& cancelButton() { return *cancelButton_; }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void BuildSlot(int k);
  void ApplyUseRule(int k);
  // `proposeSpeed`: the operator chose a model, so its usual speed is suggested when
  // the choice differs from the model shown before.
  void ApplyModelRule(int k, bool proposeSpeed);
  void Confirm();

  Asker& asker_;
  Writer writer_;
  Slots records_{};
  std::array<SlotControls, kSlotCount> slots_{};
  // The model entry each slot showed before the operator's latest choice: picking the
  // same entry again is no change and keeps the speed in the list.
  std::array<int, kSlotCount> shownModel_{};
  QLineEdit* areaCode_ = nullptr;
  QLineEdit* progPort_ = nullptr;
  QPushButton* okButton_ = nullptr;
  QPushButton* cancelButton_ = nullptr;
};

// The speed list's entries; the seventh reads "576700" and stands for 57600.
struct SpeedEntry {
  const char* text;
  int speed;
};
inline constexpr int kSpeedEntryCount = 8;
extern const SpeedEntry kSpeedEntries[kSpeedEntryCount];

}  // namespace lindra::gui
