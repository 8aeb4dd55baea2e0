#include "app/server_model.h"

#include <algorithm>

#include "device/channel_view.h"
#include "text/strings.h"

namespace lindra {
namespace {

constexpr size_t kMessageTextLimit = 4096;

bool SameDay(const LocalTime& a, const LocalTime& b) {
  return a.year == b.year && a.month == b.month && a.day == b.day;
}

void StartDay(SlotState& slot) {
  slot.today = {};
  slot.todaySpread = {};
}

}  // namespace

// The channels' reports, taken under the model's lock.
class ServerModel::Feed final : public ChannelView {
 public:
  explicit Feed(ServerModel& model) : model_(model) {}

  void Message(int, StatusLine line) override { model_.AddMessage(std::move(line)); }
  void LinkMessage(int slotNo, StatusLine line) override { model_.LinkMessage(slotNo, std::move(line)); }
  void FrameReceived(int slotNo) override { model_.FrameReceived(slotNo); }
  uint64_t CallTaken(CallRecord call) override { return model_.CallTaken(std::move(call)); }
  void CallOutcome(int slotNo, uint64_t callId, int row, const std::string& ip, PcOutcome outcome) override {
    model_.CallOutcome(slotNo, callId, row, ip, outcome);
  }
  void OperatorsFollowed(int slotNo, std::vector<OperatorState> rows) override {
    model_.OperatorsFollowed(slotNo, std::move(rows));
  }
  void OperatorColour(int slotNo, int row, Colour colour) override { model_.OperatorColour(slotNo, row, colour); }
  void LinkStateChanged(int slotNo, LinkState state) override { model_.LinkStateChanged(slotNo, std::move(state)); }

 private:
  ServerModel& model_;
};

ServerModel::ServerModel(const Clock& clock, FailureDetail failureDetail)
    : clock_(clock),
      failureDetail_(std::move(failureDetail)),
      channelView_(std::make_unique<Feed>(*this)),
      countsDay_(clock.Now()) {
  for (int i = 0; i < kSlotCount; ++i) slots_[i].slotNo = i + 1;
}

ServerModel::~ServerModel() = default;

ChannelView& ServerModel::channelView() { return *channelView_; }

ServerSnapshot ServerModel::Subscribe(EventSink& sink) {
  std::lock_guard lock(mutex_);
  sinks_.push_back(&sink);
  return SnapshotLocked();
}

void ServerModel::Unsubscribe(EventSink& sink) {
  std::lock_guard lock(mutex_);
  std::erase(sinks_, &sink);
}

ServerSnapshot ServerModel::Snapshot() const {
  std::lock_guard lock(mutex_);
  return SnapshotLocked();
}

std::array<SlotState, kSlotCount> ServerModel::Slots() const {
  std::lock_guard lock(mutex_);
  return SlotsLocked();
}

std::array<SlotState, kSlotCount> ServerModel::SlotsLocked() const {
  std::array<SlotState, kSlotCount> slots = slots_;
  // Counts of a day that has ended are not today's.
  if (!SameDay(countsDay_, clock_.Now()))
    for (SlotState& slot : slots) StartDay(slot);
  return slots;
}

std::array<SlotTotals, kSlotCount> ServerModel::Totals() const {
  std::lock_guard lock(mutex_);
  return totals_;
}

std::vector<MessageLine> ServerModel::MessageLog() const {
  std::lock_guard lock(mutex_);
  return {messageLog_.begin(), messageLog_.end()};
}

ServerSnapshot ServerModel::SnapshotLocked() const {
  ServerSnapshot snapshot;
  snapshot.slots = SlotsLocked();
  snapshot.operators = operators_;
  snapshot.recentCalls.assign(recentCalls_.begin(), recentCalls_.end());
  snapshot.messageLog.assign(messageLog_.begin(), messageLog_.end());
  snapshot.statistics = statistics_;
  snapshot.eventsBefore = published_;
  return snapshot;
}

void ServerModel::Publish(const ServerEvent& event) {
  ++published_;
  for (EventSink* sink : sinks_) sink->Publish(event);
}

size_t ServerModel::IndexOf(int slotNo) { return static_cast<size_t>(std::clamp(slotNo, 1, kSlotCount) - 1); }

SlotState& ServerModel::Slot(int slotNo) { return slots_[IndexOf(slotNo)]; }

void ServerModel::PublishSlot(int slotNo) { Publish(event::SlotChanged{Slot(slotNo)}); }

void ServerModel::StartDayIfNew() {
  const LocalTime now = clock_.Now();
  if (SameDay(countsDay_, now)) return;
  countsDay_ = now;
  for (SlotState& slot : slots_) StartDay(slot);
}

// Stamped, stored and handed on under one lock: lines from several threads reach the
// front ends in the order of the log, with their times in order too.
void ServerModel::AddMessage(StatusLine line, std::string detail) {
  std::lock_guard lock(mutex_);
  const LocalTime now = clock_.Now();
  MessageLine added{text::Format("[%02d:%02d:%02d.%03d]", now.hour, now.minute, now.second, now.millisecond) +
                        text::CutChars(line.text, kMessageTextLimit),
                    line.severity, line.error, std::move(detail)};
  if (!messageLog_.empty() && messageLog_.size() >= messageLogLimit_) messageLog_.pop_front();
  messageLog_.push_back(added);
  Publish(event::MessageAdded{std::move(added)});
}

void ServerModel::LinkMessage(int slotNo, StatusLine line) {
  std::string detail = line.error && failureDetail_ ? failureDetail_(slotNo, line) : std::string();
  AddMessage(std::move(line), std::move(detail));
}

void ServerModel::ClearMessageLog(size_t limit) {
  std::lock_guard lock(mutex_);
  messageLogLimit_ = limit;
  messageLog_.clear();
  Publish(event::MessageLogCleared{});
}

void ServerModel::ShowMessageBox(std::string text) {
  std::lock_guard lock(mutex_);
  Publish(event::MessageBox{std::move(text)});
}

void ServerModel::SlotConfigured(int slotNo, uint32_t modelCode, bool inUse) {
  std::lock_guard lock(mutex_);
  SlotState& slot = Slot(slotNo);
  if (slot.modelCode == modelCode && slot.inUse == inUse) return;
  slot.modelCode = modelCode;
  slot.inUse = inUse;
  PublishSlot(slotNo);
}

void ServerModel::TablesChanged(int slotNo) {
  std::lock_guard lock(mutex_);
  Publish(event::TablesChanged{slotNo});
}

void ServerModel::StatisticsChanged(StatisticsState statistics) {
  std::lock_guard lock(mutex_);
  statistics_ = std::move(statistics);
  Publish(event::StatisticsChanged{statistics_});
}

void ServerModel::AutoConnectDone(int lastTriedIndex, bool allConnected) {
  std::lock_guard lock(mutex_);
  Publish(event::AutoConnectDone{lastTriedIndex, allConnected});
}

// Not an event of its own: a frame comes with every call, and the time goes out with
// the slot's next change.
void ServerModel::FrameReceived(int slotNo) {
  std::lock_guard lock(mutex_);
  Slot(slotNo).lastFrame = clock_.Now();
}

uint64_t ServerModel::CallTaken(CallRecord call) {
  std::lock_guard lock(mutex_);
  StartDayIfNew();
  call.id = ++lastCallId_;
  call.event.callId = call.id;
  SlotState& slot = Slot(call.slotNo);
  SlotCounts& today = slot.today;
  ++today.calls;
  ++slot.todaySpread.perHour[static_cast<size_t>(std::clamp(clock_.Now().hour, 0, 23))];
  if (call.routing != CallRouting::UnknownTrunk && !call.event.didNumber.empty())
    ++slot.todaySpread.perDid[call.event.didNumber];
  ++totals_[IndexOf(call.slotNo)].calls;
  if (call.routing == CallRouting::Broadcast) ++today.notified;
  if (call.ReachedNobody()) ++today.reachedNobody;
  if (recentCalls_.size() >= kRecentCallCapacity) recentCalls_.pop_front();
  recentCalls_.push_back(call);
  Publish(event::CallAdded{std::move(call)});
  Publish(event::SlotCounted{Slot(recentCalls_.back().slotNo)});
  return lastCallId_;
}

void ServerModel::CallOutcome(int slotNo, uint64_t callId, int row, const std::string& ip, PcOutcome outcome) {
  std::lock_guard lock(mutex_);
  StartDayIfNew();
  const LocalTime now = clock_.Now();
  SlotCounts& today = Slot(slotNo).today;
  ++(outcome == PcOutcome::Sent ? today.notified : today.notSent);
  PcTotals& pcTotals = totals_[IndexOf(slotNo)].pcs[ip];
  ++(outcome == PcOutcome::Sent ? pcTotals.sent : pcTotals.notSent);
  auto& rows = operators_[IndexOf(slotNo)];
  if (row >= 0 && static_cast<size_t>(row) < rows.size()) {
    OperatorRowState& state = rows[row];
    (outcome == PcOutcome::Sent ? state.lastSuccess : state.lastFailure) = now;
    Publish(event::OperatorChanged{slotNo, row, state});
  }
  // Ids ascend along the ring; a call older than the ring only counts.
  auto call = std::lower_bound(recentCalls_.begin(), recentCalls_.end(), callId,
                               [](const CallRecord& c, uint64_t id) { return c.id < id; });
  if (call != recentCalls_.end() && call->id == callId) {
    const bool reachedNobodyBefore = call->ReachedNobody();
    auto pc = std::find_if(call->pcs.begin(), call->pcs.end(),
                           [&](const PcDelivery& d) { return d.ip == ip && d.outcome == PcOutcome::Waiting; });
    if (pc != call->pcs.end()) pc->outcome = outcome;
    if (!reachedNobodyBefore && call->ReachedNobody()) ++today.reachedNobody;
    Publish(event::CallUpdated{*call});
  }
  Publish(event::SlotCounted{Slot(slotNo)});
}

void ServerModel::OperatorsFollowed(int slotNo, std::vector<OperatorState> rows) {
  std::lock_guard lock(mutex_);
  auto& states = operators_[IndexOf(slotNo)];
  std::vector<OperatorRowState> next;
  next.reserve(rows.size());
  for (OperatorState& row : rows) {
    OperatorRowState state{std::move(row), std::nullopt, std::nullopt};
    // A row that stayed keeps its history; rows are matched by their values, as the
    // senders match them.
    auto same = std::find_if(states.begin(), states.end(), [&](const OperatorRowState& s) {
      return s.row.extension == state.row.extension && s.row.ip == state.row.ip;
    });
    if (same != states.end()) {
      state.lastSuccess = same->lastSuccess;
      state.lastFailure = same->lastFailure;
      states.erase(same);
    }
    next.push_back(std::move(state));
  }
  states = std::move(next);
  Publish(event::OperatorsChanged{slotNo, states});
}

void ServerModel::OperatorColour(int slotNo, int row, Colour colour) {
  std::lock_guard lock(mutex_);
  auto& rows = operators_[IndexOf(slotNo)];
  if (row < 0 || static_cast<size_t>(row) >= rows.size()) return;
  rows[row].row.colour = colour;
  Publish(event::OperatorChanged{slotNo, row, rows[row]});
}

void ServerModel::LinkStateChanged(int slotNo, LinkState state) {
  std::lock_guard lock(mutex_);
  LinkState& link = Slot(slotNo).link;
  if (link.phase == LinkState::Phase::Retrying && state.up()) ++totals_[IndexOf(slotNo)].reconnects;
  link = std::move(state);
  PublishSlot(slotNo);
}

}  // namespace lindra
