#pragma once
// The form of the main window: device list and connect buttons, the status line, the
// call grid and the two routing-table grids of every slot with their editors, and
// the hidden message-log box. It is the window side of the controller: it carries
// out what ControllerView reports (on the GUI thread, see queued_view.h) and sends
// the operator's commands to the ServerController.
#include <QWidget>
#include <array>
#include <memory>

#include "app/controller_view.h"
#include "app/server_controller.h"
#include "asker.h"
#include "grid_view.h"
#include "once_per_pass.h"

class QComboBox;
class QDialog;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace lindra::gui {

class DeviceSetupDialog;

// Call grids keep at most this many rows; when full, the oldest tenth is dropped at
// once. Row numbers keep counting, so a dropped row never hands its number on.
inline constexpr size_t kCallGridRowCap = 50'000;

// Routing-table rows are painted alternately in these two colours.
inline constexpr Colour kTableRowColours[2] = {0xF0E6D2, 0xF0E6DC};

// GUI thread only; ControllerView calls from other threads go through QueuedView.
class MainForm final : public QWidget, public ControllerView {
  Q_OBJECT
 public:
  MainForm(ServerController& controller, Asker& asker, QWidget* parent = nullptr);
  ~MainForm() override;

  // Start-up after the layout: LoadServer, the grids of the routing tables and the
  // start decision (which may schedule the automatic connect).
  void Start();

  void FillDeviceList();
  void SelectDevice();
  void UpdateStatusLine();
  void ChangeDeviceSettings();
  int selectedIndex() const;

  // ControllerView, on the GUI thread.
  void Publish(const ServerEvent& event) override;
  void RunLater(std::chrono::milliseconds delay, std::function<void()> work) override;

  // For the tests and the screenshot: the controls by role.
  struct TableEditor {
    QGroupBox* group = nullptr;
    QLabel* firstLabel = nullptr;
    QLabel* secondLabel = nullptr;
    QLineEdit* first = nullptr;   // trunkSpec / extension
    QLineEdit* second = nullptr;  // DID number / operator IP
    QPushButton* add = nullptr;
    QPushButton* remove = nullptr;
    QPushButton* modify = nullptr;
    int selectedRow = -1;  // data row the fields were filled from, -1 for none
  };
  GridView& callGrid(int index) { return *callGrids_[index]; }
  GridView& didGrid(int index) { return *didGrids_[index]; }
  GridView& agentGrid(int index) { return *agentGrids_[index]; }
  TableEditor& didEditor() { return didEditor_; }
  TableEditor& agentEditor() { return agentEditor_; }
  QComboBox& deviceList() { return *deviceList_; }
  QPushButton& setupButton() { return *setupButton_; }
  QPushButton& connectButton() { return *connectButton_; }
  QPushButton& disconnectButton() { return *disconnectButton_; }
  QLabel& statusLabel() { return *statusLabel_; }
  QGroupBox& callGroup() { return *callGroup_; }
  QPlainTextEdit& messageLogBox() { return *messageLogBox_; }
  QPushButton& messageLogButton() { return *messageLogButton_; }
  // The message log in a window of its own, opened by messageLogButton.
  QDialog& messageLogDialog() { return *messageLogDialog_; }
  QPlainTextEdit& messageLogView() { return *messageLogView_; }
  DeviceSetupDialog& setupDialog() { return *setupDialog_; }

 Q_SIGNALS:
  // Every enabled slot connected on the automatic pass: the window goes to the tray.
  void autoHideRequested();
  // The slots' states changed: the tray's tooltip lists them, its icon marks a slot down.
  void slotsShown(const QString& toolTip, bool slotDown);

 private:
  void BuildLayout();
  void BuildEditor(TableEditor& editor, TableKind kind, int x);
  void SetGroupCaptions(const QString& entry);
  void RefreshSlotControls();
  void ShowSlotStates();
  void ShowGridsOf(int index);
  void RefillTableGrids(int index);
  void RenderMessageLog();

  // What the model reports.
  void CallAdded(const CallRecord& call);
  void PaintOperator(int slotNo, int row, Colour colour);
  void AutoConnectDone(int lastTriedIndex, bool allConnected);

  // The table editors.
  void SelectTableRow(TableKind kind, int row);
  void ShowAddOnly(TableEditor& editor);
  void AddRow(TableKind kind);
  void ModifyRow(TableKind kind);
  void DeleteRow(TableKind kind);
  bool Refused(TableKind kind, const EditOutcome& outcome);
  void SyncTableGrid(TableKind kind, int index);
  TableEditor& EditorOf(TableKind kind) { return kind == TableKind::Did ? didEditor_ : agentEditor_; }
  GridView& TableGridOf(TableKind kind, int index) {
    return kind == TableKind::Did ? *didGrids_[index] : *agentGrids_[index];
  }

  ServerController& controller_;
  Asker& asker_;

  QPushButton* setupButton_ = nullptr;
  QComboBox* deviceList_ = nullptr;
  QPushButton* connectButton_ = nullptr;
  QPushButton* disconnectButton_ = nullptr;
  QLabel* statusLabel_ = nullptr;
  QGroupBox* callGroup_ = nullptr;
  QPlainTextEdit* messageLogBox_ = nullptr;
  QPushButton* messageLogButton_ = nullptr;
  QDialog* messageLogDialog_ = nullptr;
  QPlainTextEdit* messageLogView_ = nullptr;
  std::array<GridView*, kSlotCount> callGrids_{};
  std::array<GridView*, kSlotCount> didGrids_{};
  std::array<GridView*, kSlotCount> agentGrids_{};
  TableEditor didEditor_;
  TableEditor agentEditor_;
  std::unique_ptr<DeviceSetupDialog> setupDialog_;

  // Bursts of calls and lines scroll, render and show the slots once per pass.
  OncePerPass messageLogRender_{this, [this] { RenderMessageLog(); }};
  OncePerPass slotStates_{this, [this] { ShowSlotStates(); }};
  std::array<std::unique_ptr<OncePerPass>, kSlotCount> scrolls_;
};

}  // namespace lindra::gui
