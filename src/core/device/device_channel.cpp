#include "device/device_channel.h"

#include "device/link_factory.h"
#include "notify/route_call_event.h"
#include "parse/parse_frame.h"
#include "text/codec.h"
#include "text/strings.h"

namespace lindra {
namespace {

constexpr const char* kServerStarted = "Server Started ----------------------";
constexpr const char* kServerStopped = "CTI Server stopped ----------------------";
constexpr const char* kNoDevice = "[ERR] Device가 선택되지 않았습니다.";

std::vector<PcDelivery> Waiting(const std::vector<std::string>& agentIps) {
  std::vector<PcDelivery> pcs;
  pcs.reserve(agentIps.size());
  for (const std::string& ip : agentIps) pcs.push_back({ip, PcOutcome::Waiting});
  return pcs;
}

}  // namespace

DeviceChannel::DeviceChannel(int slotNo, RoutingTables& tables, EventLoop& loop, ChannelView& view,
                             ChannelEnvironment environment)
    : slotNo_(slotNo),
      tables_(tables),
      view_(view),
      env_(std::move(environment)),
      loop_(loop),
      strand_(loop.MakeStrand()),
      logs_(*env_.clock, [this](lindra::StatusLine line) { Message(std::move(line)); }),
      notifySocket_(strand_),
      agents_(*this, loop, *env_.timers, *env_.clock, env_.senderTimings) {
  if (!env_.mirrorHost.empty() && env_.mirrorPort > 0)
    mirror_ = std::make_unique<FrameMirror>(*this, strand_, *env_.timers, env_.mirrorHost, env_.mirrorPort);
}

DeviceChannel::~DeviceChannel() { Shutdown(); }

void DeviceChannel::Message(lindra::StatusLine line) { view().Message(slotNo_, std::move(line)); }

void DeviceChannel::ShowLinkState(LinkState state) { view().LinkStateChanged(slotNo_, std::move(state)); }

// CTI connections accepted before a stop still hand on their messages, which read
// the configuration on the strand.
void DeviceChannel::Configure(const SlotConfig& config) {
  if (running_ && !running()) {
    CloseLink();
    ShowLinkState({});
  }
  RunOn(strand_, [&] { config_ = config; });
}

void DeviceChannel::OpenLogs(const std::filesystem::path& logDir, int programLevel) {
  logs_.Open(logDir, slotNo_, programLevel, config_.modelCode != 0);
}

std::string DeviceChannel::CheckConfiguration() const {
  if (config_.modelCode == 0) return kNoDevice;
  if (config_.progPort == 0) return "[ERR] Program Port가 설정되지 않았습니다.";
  switch (LinkKindOf(config_.modelCode)) {
    case LinkKind::Serial:
      if (config_.comPort.empty()) return "[ERR] Device의 RS232C 연결 포트가 설정되지 않았습니다.";
      if (config_.baudRate < 1) return "[ERR] Device의 RS232C 전송 속도가 설정되지 않았습니다.";
      break;
    case LinkKind::Lan:
    case LinkKind::Cti:
      // A CTI slot needs LAN_IP too, although its listener binds to every address.
      if (config_.lanIp.empty()) return "[ERR] Device의 Lan IP가 설정되지 않았습니다.";
      if (config_.lanPort < 0) return "[ERR] Device의 Lan Port가 설정되지 않았습니다.";
      break;
    case LinkKind::None:
      break;
  }
  return {};
}

LinkResult DeviceChannel::Start() {
  // A link that ended by itself is closed here, before the new start.
  if (running_) CloseLink();
  LinkResult result = OpenLink();
  if (result.ok)
    ShowLinkState({LinkState::Phase::Connected, 0, std::nullopt, result.line.text});
  else
    ShowLinkState({LinkState::Phase::Off, 0, result.line.error, result.line.text});
  return result;
}

LinkResult DeviceChannel::OpenLink() {
  if (std::string failure = CheckConfiguration(); !failure.empty()) return LinkResult::Failed(failure);
  // Past the checks only the codes 1, 101 and 201 have no link: they name no device.
  const LinkKind kind = LinkKindOf(config_.modelCode);
  if (kind == LinkKind::None) return LinkResult::Failed(kNoDevice);
  if (link_ && linkKind_ != kind) link_->Shutdown();
  if (!link_ || linkKind_ != kind) {
    link_ = MakeLink(kind, {loop_, strand_, *env_.timers, *env_.clock, env_.serialPaths, env_.ctiLimits});
    linkKind_ = kind;
  }

  LinkResult result = link_->Start(slotNo_, config_);
  if (!result.ok) return result;
  logs_.Device(DeviceLogKind::Plain, result.line.text);
  logs_.Device(DeviceLogKind::Plain, kServerStarted);
  running_ = true;
  linkEnded_ = false;
  linkUp_ = true;
  return result;
}

void DeviceChannel::BeginReading() {
  if (!running_ || reading_) return;
  reading_ = true;
  assembler_.emplace(config_.modelCode, linkKind_);
  link_->Begin(Handlers());
}

LinkHandlers DeviceChannel::Handlers() {
  return {.chunk = [this](std::string_view chunk) { HandleChunk(chunk); },
          .message = [this](std::string_view message) { HandleMessage(message); },
          .status = [this](lindra::StatusLine line) { view().LinkMessage(slotNo_, std::move(line)); },
          .log = [this](DeviceLogKind kind, const std::string& text) { logs_.Device(kind, text); },
          .event = [this](const LinkEvent& event) { HandleLinkEvent(event); }};
}

void DeviceChannel::HandleChunk(std::string_view chunk) {
  logs_.DeviceRaw(DeviceLogKind::Read, chunk);
  assembler_->Feed(chunk, [this](std::string_view frame, size_t length, bool passes) {
    logs_.DeviceRaw(DeviceLogKind::Parse, frame);
    if (passes) Deliver(frame, length);
  });
}

void DeviceChannel::HandleLinkEvent(const LinkEvent& event) {
  using Phase = LinkState::Phase;
  switch (event.kind) {
    case LinkEvent::Kind::StreamCut: {
      // The next connection starts a frame of its own; the piece left over is logged,
      // so nothing the device sent disappears without a trace.
      const std::string_view partial = assembler_->DropPartial();
      if (!partial.empty())
        logs_.Device(DeviceLogKind::Error,
                     text::Format("연결 끊김, 미완성 프레임 버림 (%zu bytes) : ", partial.size()) +
                         text::ToInternal(text::UpToNul(partial)));
      break;
    }
    // What running() shows changes before the state that tells of it goes out.
    case LinkEvent::Kind::Down:
      linkUp_ = false;
      break;
    case LinkEvent::Kind::Up:
      linkUp_ = true;
      break;
    case LinkEvent::Kind::Retrying:
      ShowLinkState({Phase::Retrying, event.attempt, event.error, event.text});
      break;
    case LinkEvent::Kind::Reconnected:
      ShowLinkState({Phase::Connected, 0, std::nullopt, event.text});
      break;
    case LinkEvent::Kind::Ended:
      linkEnded_ = true;
      ShowLinkState({Phase::Ended, 0, event.error, event.text});
      break;
  }
}

void DeviceChannel::HandleMessage(std::string_view message) {
  logs_.DeviceRaw(DeviceLogKind::Parse, message);
  if (mirror_) mirror_->MirrorFrame(message);
  Deliver(message, message.size());
}

void DeviceChannel::Deliver(std::string_view frame, size_t length) {
  view().FrameReceived(slotNo_);
  ParseOutcome outcome = ParseFrame(frame, length, config_.modelCode, config_.areaCode, text::EdgeEncoding());
  for (auto& entry : outcome.log) {
    switch (entry.kind) {
      case ParseLogEntry::Kind::Plain:
        logs_.Device(DeviceLogKind::Plain, entry.text);
        break;
      case ParseLogEntry::Kind::Error:
        logs_.Device(DeviceLogKind::Error, entry.text);
        break;
      case ParseLogEntry::Kind::Level0:
        logs_.ProgramLevel0(entry.text);
        break;
    }
  }
  // The parser's status line is always a rejection.
  if (!outcome.statusLine.empty()) Message(lindra::StatusLine::Error(std::move(outcome.statusLine)));
  if (!outcome.event) return;

  const LocalTime now = env_.clock->Now();
  RouteResult route = RouteCallEvent(tables_, config_.modelCode, *outcome.event, now);
  // A CTI slot's events always go through the operators' senders, whatever the
  // broadcast switch says; its record says so too.
  const bool broadcasts = route.broadcast && LinkKindOf(config_.modelCode) != LinkKind::Cti;
  CallRecord call{
      .slotNo = slotNo_,
      .time = now,
      .routing = route.routing == CallRouting::Broadcast && !broadcasts ? CallRouting::Routed : route.routing,
      .event = route.routed ? *route.routed : std::move(*outcome.event),
      .rows = std::move(route.rows),
      // Only a call for operators waits for PCs; a broadcast has no PC of its own.
      .pcs = route.routed && !broadcasts ? Waiting(route.routed->agentIps) : std::vector<PcDelivery>{}};
  const uint64_t callId = view().CallTaken(std::move(call));
  if (!route.routed) return;
  route.routed->callId = callId;
  if (broadcasts)
    notifySocket_.BroadcastNotify(*this, env_.broadcastAddress, config_.progPort, *route.routed);
  else
    agents_.DispatchToAgents(*route.routed, text::LeadingInt32(route.routed->extension));
}

void DeviceChannel::CloseLink() {
  running_ = false;
  if (link_) link_->Stop();
  reading_ = false;
}

void DeviceChannel::Stop() {
  if (!running_) return;
  CloseLink();
  const std::string stopped = std::string("[WARN] ") + kServerStopped;
  Message(lindra::StatusLine::Warning(stopped));
  logs_.Device(DeviceLogKind::Plain, kServerStopped);
  ShowLinkState({LinkState::Phase::Off, 0, std::nullopt, stopped});
}

void DeviceChannel::Shutdown() {
  Stop();
  // CTI messages already received go to the senders first, which then send or log
  // them; stopped the other way round, those calls would reach nobody and no log.
  // The mirror and the UDP socket close after the CTI connections that use them.
  if (link_) link_->Shutdown();
  agents_.Stop();
  mirror_.reset();
  notifySocket_.Close();
  logs_.Shutdown();
}

std::optional<lindra::StatusLine> DeviceChannel::CreateNotifySocket() {
  return notifySocket_.Create(slotNo_, tables_.broadcastMode());
}

void DeviceChannel::ProgramLog(DeviceLogKind kind, std::string text) { logs_.Device(kind, text); }

void DeviceChannel::TelephoneLog(std::string line) { logs_.Telephone(line); }

void DeviceChannel::OperatorsFollowed(std::vector<OperatorState> rows) {
  view().OperatorsFollowed(slotNo_, std::move(rows));
}

void DeviceChannel::OperatorColour(int row, Colour colour) { view().OperatorColour(slotNo_, row, colour); }

void DeviceChannel::CallOutcome(uint64_t callId, int row, const std::string& ip, PcOutcome outcome) {
  view().CallOutcome(slotNo_, callId, row, ip, outcome);
}

}  // namespace lindra
