#include "main_form.h"

#include <QComboBox>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>

#include "device_setup_dialog.h"
#include "form_font.h"
#include "gui_texts.h"
#include "model/device_model.h"
#include "open_list.h"
#include "slot_status.h"
#include "text/strings.h"

namespace lindra::gui {

namespace {

QStringList Headers(const auto& texts) {
  QStringList list;
  for (const char* t : texts) list << U(t);
  return list;
}

const std::vector<int> kCallWidths = {50, 68, 70, 100, 140, 120, 110, 70};
const std::vector<int> kTableWidths = {40, 80, 218};

// The grid rectangles are given as left, top, right, bottom.
QRect Ltrb(int left, int top, int right, int bottom) { return QRect(left, top, right - left, bottom - top); }

GridModel::Row ToGridRow(const CallRow& row) {
  GridModel::Row out;
  out.cells.reserve(row.cells.size());
  for (const std::string& cell : row.cells) out.cells.push_back(U(cell));
  out.colours.assign(row.cells.size(), row.colour);
  return out;
}

GridModel::Row TableRow(const std::string& first, const std::string& second, size_t rowsBefore) {
  const Colour colour = kTableRowColours[rowsBefore % 2];
  return GridModel::Row{{U(first), U(second)}, {colour, colour}};
}

}  // namespace

MainForm::MainForm(ServerController& controller, Asker& asker, QWidget* parent)
    : QWidget(parent), controller_(controller), asker_(asker) {
  setFont(FormFont(font()));
  BuildLayout();
  setupDialog_ = std::make_unique<DeviceSetupDialog>(asker_, this);
  setupDialog_->SetWriter(
      [this](const std::array<SlotConfig, kSlotCount>& slots) { return controller_.WriteDeviceSettings(slots); });
}

MainForm::~MainForm() = default;

void MainForm::BuildLayout() {
  // Group boxes first, so that every control placed over them stays on top.
  auto* top = new QGroupBox(this);
  top->setGeometry(10, 5, 770, 40);
  auto* deviceBox = new QGroupBox(this);
  deviceBox->setGeometry(130, 8, 415, 34);
  callGroup_ = new QGroupBox(this);
  callGroup_->setGeometry(10, 50, 770, 305);
  didEditor_.group = new QGroupBox(this);
  didEditor_.group->setGeometry(10, 360, 380, 245);
  agentEditor_.group = new QGroupBox(this);
  agentEditor_.group->setGeometry(400, 360, 380, 245);

  setupButton_ = new QPushButton(U(texts::kSetupButton), this);
  setupButton_->setGeometry(20, 18, 100, 20);
  setupButton_->setEnabled(false);
  deviceList_ = new QComboBox(this);
  deviceList_->setGeometry(140, 18, 200, 20);
  connectButton_ = new QPushButton(U(texts::kConnectButton), this);
  connectButton_->setGeometry(340, 18, 100, 20);
  connectButton_->setEnabled(false);
  disconnectButton_ = new QPushButton(U(texts::kDisconnectButton), this);
  disconnectButton_->setGeometry(440, 18, 100, 20);
  disconnectButton_->setEnabled(false);
  statusLabel_ = new QLabel(U(texts::kStatusEmpty), this);
  statusLabel_->setGeometry(555, 22, 180, 20);
  messageLogButton_ = new QPushButton(U(texts::kMessageLogButton), this);
  messageLogButton_->setGeometry(736, 18, 40, 20);
  messageLogDialog_ = new QDialog(this);
  messageLogDialog_->setWindowTitle(U(texts::kMessageLogTitle));
  messageLogDialog_->resize(640, 420);
  messageLogView_ = new QPlainTextEdit(messageLogDialog_);
  messageLogView_->setReadOnly(true);
  messageLogView_->setLineWrapMode(QPlainTextEdit::NoWrap);
  auto* messageLogLayout = new QVBoxLayout(messageLogDialog_);
  messageLogLayout->addWidget(messageLogView_);

  for (int i = 0; i < kSlotCount; ++i) {
    callGrids_[i] = new GridView(Headers(texts::kCallHeaders), kCallWidths, kCallGridRowCap, this);
    scrolls_[i] = std::make_unique<OncePerPass>(this, [grid = callGrids_[i]] { grid->ScrollToNewest(); });
    callGrids_[i]->setGeometry(Ltrb(20, 70, 770, 345));
    didGrids_[i] = new GridView(Headers(texts::kDidHeaders), kTableWidths, 0, this);
    didGrids_[i]->setGeometry(Ltrb(20, 380, 380, 555));
    agentGrids_[i] = new GridView(Headers(texts::kAgentHeaders), kTableWidths, 0, this);
    agentGrids_[i]->setGeometry(Ltrb(410, 380, 770, 555));
    connect(didGrids_[i], &GridView::rowClicked, this, [this](int row) { SelectTableRow(TableKind::Did, row); });
    connect(agentGrids_[i], &GridView::rowClicked, this, [this](int row) { SelectTableRow(TableKind::Agent, row); });
  }
  ShowGridsOf(0);

  messageLogBox_ = new QPlainTextEdit(this);
  messageLogBox_->setGeometry(20, 375, 460, 220);
  messageLogBox_->setReadOnly(true);
  messageLogBox_->setEnabled(false);
  messageLogBox_->hide();
  for (auto [caption, x] : {std::pair{texts::kDidTableButton, 510}, std::pair{texts::kAgentTableButton, 640}}) {
    auto* hidden = new QPushButton(U(caption), this);
    hidden->setGeometry(x, 375, 130, 20);
    hidden->setEnabled(false);
    hidden->hide();
  }

  BuildEditor(didEditor_, TableKind::Did, 20);
  BuildEditor(agentEditor_, TableKind::Agent, 410);
  didEditor_.firstLabel->setText(U(texts::kTrunkLabel));
  didEditor_.secondLabel->setText(U(texts::kDidLabel));
  agentEditor_.firstLabel->setText(U(texts::kExtensionLabel));
  agentEditor_.secondLabel->setText(U(texts::kAgentIpLabel));
  // The DID table's add waits for SelectDevice to find an enabled slot.
  didEditor_.add->setEnabled(false);

  connect(setupButton_, &QPushButton::clicked, this, [this] { ChangeDeviceSettings(); });
  connect(messageLogButton_, &QPushButton::clicked, this, [this] {
    messageLogDialog_->show();
    messageLogDialog_->raise();
  });
  connect(connectButton_, &QPushButton::clicked, this, [this] {
    controller_.ConnectDevice(selectedIndex());
    RefreshSlotControls();
  });
  connect(disconnectButton_, &QPushButton::clicked, this, [this] {
    controller_.DisconnectDevice(selectedIndex());
    RefreshSlotControls();
  });
  // Only the operator's choice runs SelectDevice; the program's own selections do not.
  connect(deviceList_, &QComboBox::activated, this, [this](int) { SelectDevice(); });
}

void MainForm::BuildEditor(TableEditor& editor, TableKind kind, int x) {
  editor.firstLabel = new QLabel(this);
  editor.firstLabel->setGeometry(x, 560, 80, 15);
  editor.secondLabel = new QLabel(this);
  editor.secondLabel->setGeometry(x, 580, 80, 15);
  editor.first = new QLineEdit(this);
  editor.first->setGeometry(x + 80, 560, 200, 20);
  editor.second = new QLineEdit(this);
  editor.second->setGeometry(x + 80, 580, 200, 20);
  editor.add = new QPushButton(U(texts::kAddButton), this);
  editor.add->setGeometry(x + 280, 560, 80, 40);
  editor.remove = new QPushButton(U(texts::kDeleteButton), this);
  editor.remove->setGeometry(x + 280, 560, 80, 20);
  editor.modify = new QPushButton(U(texts::kModifyButton), this);
  editor.modify->setGeometry(x + 280, 580, 80, 20);
  for (QPushButton* b : {editor.remove, editor.modify}) {
    b->setEnabled(false);
    b->hide();
  }
  connect(editor.add, &QPushButton::clicked, this, [this, kind] { AddRow(kind); });
  connect(editor.modify, &QPushButton::clicked, this, [this, kind] { ModifyRow(kind); });
  connect(editor.remove, &QPushButton::clicked, this, [this, kind] { DeleteRow(kind); });
}

int MainForm::selectedIndex() const { return std::clamp(deviceList_->currentIndex(), 0, kSlotCount - 1); }

void MainForm::Start() {
  // The window carries on whatever kept the server from loading: the message log
  // tells the operator. The table grids fill as the tables are loaded.
  if (controller_.Start().autoConnectScheduled) {
    FillDeviceList();
    deviceList_->setFocus();
  } else {
    setupButton_->setEnabled(true);
    FillDeviceList();
  }
}

// --- device list, status line ------------------------------------------------------

void MainForm::SetGroupCaptions(const QString& entry) {
  const std::string t = entry.toStdString();
  callGroup_->setTitle(U(text::Format(texts::kCallGroupFormat, t.c_str())));
  didEditor_.group->setTitle(U(text::Format(texts::kDidGroupFormat, t.c_str())));
  agentEditor_.group->setTitle(U(text::Format(texts::kAgentGroupFormat, t.c_str())));
}

void MainForm::FillDeviceList() {
  const auto& slots = controller_.slotConfigs();
  deviceList_->clear();
  for (int n = 1; n <= kSlotCount; ++n) deviceList_->addItem(U(DeviceListText(n, slots[n - 1].modelCode)));
  deviceList_->setCurrentIndex(0);
  SetGroupCaptions(deviceList_->itemText(0));
  ShowSlotStates();  // the entries' dots, before the list is fitted to them
  FitOpenListToEntries(*deviceList_);
}

// Every slot at once: a dot of its state's colour before each entry, the full name and
// the state in its tooltip, and the tray's tooltip and icon.
void MainForm::ShowSlotStates() {
  const auto slots = controller_.model().Slots();
  bool anyDown = false;
  for (const SlotState& slot : slots) {
    const int i = slot.slotNo - 1;
    anyDown = anyDown || SlotDown(slot);
    if (i >= deviceList_->count()) continue;
    deviceList_->setItemIcon(i, SlotStateIcon(slot));
    deviceList_->setItemData(i, SlotToolTip(slot), Qt::ToolTipRole);
  }
  RefreshSlotControls();
  Q_EMIT slotsShown(TrayToolTip(slots), anyDown);
}

void MainForm::SelectDevice() {
  const int i = selectedIndex();
  if (controller_.slotConfigs()[i].modelCode == 0) asker_.Inform(this, U(texts::kNoDeviceSelected));
  SetGroupCaptions(deviceList_->itemText(i));
  // Edits act on the selected slot: a row chosen in another slot's grid is let go.
  ShowAddOnly(didEditor_);
  ShowAddOnly(agentEditor_);
  RefreshSlotControls();
  ShowGridsOf(i);
}

void MainForm::RefreshSlotControls() {
  const int i = selectedIndex();
  if (controller_.IsRunning(i)) {
    connectButton_->setEnabled(false);
    disconnectButton_->setEnabled(true);
    setupButton_->setEnabled(false);
  } else {
    const bool enabled = IsSlotEnabled(i + 1, controller_.slotConfigs()[i]);
    connectButton_->setEnabled(enabled);
    callGrids_[i]->setEnabled(enabled);
    didGrids_[i]->setEnabled(enabled);
    agentGrids_[i]->setEnabled(enabled);
    didEditor_.add->setEnabled(enabled);
    disconnectButton_->setEnabled(false);
    if (!controller_.AnyRunning()) setupButton_->setEnabled(true);
  }
  UpdateStatusLine();
}

void MainForm::ShowGridsOf(int index) {
  for (int i = 0; i < kSlotCount; ++i) {
    callGrids_[i]->hide();
    didGrids_[i]->hide();
    agentGrids_[i]->hide();
  }
  callGrids_[index]->show();
  didGrids_[index]->show();
  agentGrids_[index]->show();
}

void MainForm::UpdateStatusLine() {
  const int i = selectedIndex();
  if (controller_.slotConfigs()[i].modelCode == 0) {
    statusLabel_->setText(U(texts::kStatusEmpty));
    return;
  }
  const char* state = controller_.IsRunning(i) ? texts::kConnected : texts::kDisconnected;
  statusLabel_->setText(U(text::Format(texts::kStatusFormat, i + 1, state)));
}

// --- device settings -----------------------------------------------------------------

void MainForm::ChangeDeviceSettings() {
  setupDialog_->Load(controller_.slotConfigs());
  if (setupDialog_->exec() != QDialog::Accepted) return;
  controller_.ApplyDeviceSettings(setupDialog_->Records());
  for (int i = 0; i < kSlotCount; ++i) RefillTableGrids(i);
  FillDeviceList();
  SelectDevice();
}

void MainForm::RefillTableGrids(int index) {
  GridModel& dids = didGrids_[index]->grid();
  dids.Clear();
  std::vector<GridModel::Row> rows;
  for (const DidRow& row : *controller_.tables(index).Dids())
    rows.push_back(TableRow(row.trunkSpec, row.didNumber, rows.size()));
  dids.AppendRows(std::move(rows));
  didGrids_[index]->ApplyWidths();

  GridModel& agents = agentGrids_[index]->grid();
  agents.Clear();
  rows.clear();
  for (const AgentRow& row : *controller_.tables(index).Agents())
    rows.push_back(TableRow(row.extension, row.agentIp, rows.size()));
  agents.AppendRows(std::move(rows));
  agentGrids_[index]->ApplyWidths();
}

// --- what the controller reports ---------------------------------------------------------

void MainForm::Publish(const ServerEvent& event) {
  std::visit(Overloaded{
                 [this](const event::MessageAdded&) { messageLogRender_.Ask(); },
                 [this](const event::MessageLogCleared&) { messageLogBox_->clear(); },
                 [this](const event::MessageBox& e) { asker_.Inform(this, U(e.text)); },
                 [this](const event::CallAdded& e) { CallAdded(e.call); },
                 [this](const event::OperatorChanged& e) { PaintOperator(e.slotNo, e.row, e.state.row.colour); },
                 [this](const event::OperatorsChanged& e) {
                   for (size_t row = 0; row < e.rows.size(); ++row)
                     PaintOperator(e.slotNo, static_cast<int>(row), e.rows[row].row.colour);
                 },
                 [this](const event::TablesChanged& e) { RefillTableGrids(e.slotNo - 1); },
                 // The controls follow the selected slot, but "설정" also depends on every
                 // other slot: a link of another slot that ends by itself may leave nothing running.
                 [this](const event::SlotChanged&) { slotStates_.Ask(); },
                 [this](const event::AutoConnectDone& e) { AutoConnectDone(e.lastTriedIndex, e.allConnected); },
                 [](const auto&) {},
             },
             event);
}

void MainForm::RenderMessageLog() {
  const std::vector<MessageLine> lines = controller_.model().MessageLog();
  QString all;
  for (size_t n = 0; n < lines.size(); ++n) {
    if (n > 0) all += QLatin1Char('\n');
    all += U(text::Format(texts::kMessageLogLineFormat, static_cast<int>(n + 1), lines[n].line.c_str()));
  }
  for (QPlainTextEdit* box : {messageLogBox_, messageLogView_}) {
    QScrollBar* bar = box->verticalScrollBar();
    // A reader who scrolled up to a line keeps it in view; at the bottom the box follows.
    const bool following = bar->value() >= bar->maximum();
    const int kept = bar->value();
    box->setPlainText(all);
    bar->setValue(following ? bar->maximum() : kept);
  }
}

void MainForm::CallAdded(const CallRecord& call) {
  if (call.slotNo < 1 || call.slotNo > kSlotCount || call.rows.empty()) return;
  bool scroll = false;
  std::vector<GridModel::Row> gridRows;
  gridRows.reserve(call.rows.size());
  for (const CallRow& row : call.rows) {
    scroll = scroll || row.scrollToEnd;
    gridRows.push_back(ToGridRow(row));
  }
  // The list follows the newest call only while the user has not scrolled up to read.
  QScrollBar* bar = callGrids_[call.slotNo - 1]->verticalScrollBar();
  const bool atBottom = bar->value() >= bar->maximum();
  callGrids_[call.slotNo - 1]->grid().AppendRows(std::move(gridRows));
  if (scroll && atBottom) scrolls_[call.slotNo - 1]->Ask();
}

// The model's rows are the table's rows: the grid shows the table as last loaded or edited.
void MainForm::PaintOperator(int slotNo, int row, Colour colour) {
  if (slotNo < 1 || slotNo > kSlotCount || colour == kNoColour) return;
  GridModel& grid = agentGrids_[slotNo - 1]->grid();
  if (row < 0 || row >= grid.rowCount()) return;
  grid.SetCellColour(row, 1, colour);
  grid.SetCellColour(row, 2, colour);
}

void MainForm::AutoConnectDone(int lastTriedIndex, bool allConnected) {
  FillDeviceList();
  if (lastTriedIndex < 0) return;
  deviceList_->setCurrentIndex(lastTriedIndex);
  SelectDevice();
  if (allConnected) Q_EMIT autoHideRequested();
}

void MainForm::RunLater(std::chrono::milliseconds delay, std::function<void()> work) {
  QTimer::singleShot(delay, this, std::move(work));
}

// --- table editors ---------------------------------------------------------------------

void MainForm::ShowAddOnly(TableEditor& editor) {
  editor.selectedRow = -1;
  editor.first->clear();
  editor.second->clear();
  editor.add->show();
  editor.add->setEnabled(&editor == &agentEditor_ ||
                         IsSlotEnabled(selectedIndex() + 1, controller_.slotConfigs()[selectedIndex()]));
  for (QPushButton* b : {editor.remove, editor.modify}) {
    b->setEnabled(false);
    b->hide();
  }
}

void MainForm::SelectTableRow(TableKind kind, int row) {
  TableEditor& editor = EditorOf(kind);
  const GridModel& grid = TableGridOf(kind, selectedIndex()).grid();
  if (row < 0 || row >= grid.rowCount()) {
    ShowAddOnly(editor);
    return;
  }
  editor.selectedRow = row;
  editor.first->setText(grid.CellText(row, 1));
  editor.second->setText(grid.CellText(row, 2));
  editor.add->setEnabled(false);
  editor.add->hide();
  for (QPushButton* b : {editor.remove, editor.modify}) {
    b->show();
    b->setEnabled(true);
  }
}

bool MainForm::Refused(TableKind kind, const EditOutcome& outcome) {
  if (outcome.accepted) return false;
  if (!outcome.message.empty()) asker_.Inform(this, U(outcome.message));
  if (outcome.focus) {
    const bool first = *outcome.focus == FieldKind::TrunkSpec || *outcome.focus == FieldKind::Extension;
    QLineEdit* field = first ? EditorOf(kind).first : EditorOf(kind).second;
    field->setFocus();
  }
  if (outcome.selectRow) TableGridOf(kind, selectedIndex()).SelectDataRow(*outcome.selectRow);
  return true;
}

void MainForm::AddRow(TableKind kind) {
  const int i = selectedIndex();
  TableEditor& editor = EditorOf(kind);
  const std::string first = editor.first->text().toStdString();
  const std::string second = editor.second->text().toStdString();
  const EditOutcome outcome =
      kind == TableKind::Did ? controller_.AddDidRow(i, first, second) : controller_.AddAgentRow(i, first, second);
  if (Refused(kind, outcome)) return;
  SyncTableGrid(kind, i);
  editor.first->clear();
  editor.second->clear();
}

void MainForm::ModifyRow(TableKind kind) {
  const int i = selectedIndex();
  TableEditor& editor = EditorOf(kind);
  const std::string first = editor.first->text().toStdString();
  const std::string second = editor.second->text().toStdString();
  const EditOutcome outcome = kind == TableKind::Did ? controller_.ModifyDidRow(i, editor.selectedRow, first, second)
                                                     : controller_.ModifyAgentRow(i, editor.selectedRow, first, second);
  if (Refused(kind, outcome)) return;
  SyncTableGrid(kind, i);
  ShowAddOnly(editor);
}

void MainForm::DeleteRow(TableKind kind) {
  if (!asker_.Confirm(this, U(kDeleteQuestion), Asker::Buttons::YesNo)) return;
  const int i = selectedIndex();
  TableEditor& editor = EditorOf(kind);
  const EditOutcome outcome = kind == TableKind::Did ? controller_.DeleteDidRow(i, editor.selectedRow)
                                                     : controller_.DeleteAgentRow(i, editor.selectedRow);
  if (Refused(kind, outcome)) return;
  // The row itself goes first, so that rows with the same texts keep their colours.
  TableGridOf(kind, i).grid().RemoveRow(editor.selectedRow);
  SyncTableGrid(kind, i);
  ShowAddOnly(editor);
}

// Brings a table grid in line with the slot's table after an accepted edit. Rows keep
// their colours (the operators' connection colours included); an added row takes the
// next colour of the alternation.
void MainForm::SyncTableGrid(TableKind kind, int index) {
  std::vector<std::pair<std::string, std::string>> table;
  if (kind == TableKind::Did) {
    for (const DidRow& r : *controller_.tables(index).Dids()) table.emplace_back(r.trunkSpec, r.didNumber);
  } else {
    for (const AgentRow& r : *controller_.tables(index).Agents()) table.emplace_back(r.extension, r.agentIp);
  }
  GridModel& grid = TableGridOf(kind, index).grid();
  auto differs = [&grid, &table](int row) {
    return grid.CellText(row, 1) != U(table[row].first) || grid.CellText(row, 2) != U(table[row].second);
  };
  // Rows the table no longer has: the first position where grid and table part.
  while (static_cast<size_t>(grid.rowCount()) > table.size()) {
    int row = 0;
    while (row < static_cast<int>(table.size()) && !differs(row)) ++row;
    grid.RemoveRow(row);
  }
  for (int row = 0; row < grid.rowCount(); ++row) {
    if (!differs(row)) continue;
    grid.SetCellText(row, 1, U(table[row].first));
    grid.SetCellText(row, 2, U(table[row].second));
  }
  for (size_t row = grid.rowCount(); row < table.size(); ++row) {
    grid.AppendRow(TableRow(table[row].first, table[row].second, row));
  }
}

}  // namespace lindra::gui
