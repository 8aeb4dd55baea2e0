#include "device/device_channel.h"

#include "notify/route_call_event.h"
#include "parse/parse_frame.h"
#include "text/codec.h"
#include "text/strings.h"

namespace lindra {
namespace {

constexpr const char* kServerStarted = "Server Started ----------------------";
constexpr const char* kServerStopped = "CTI Server stopped ----------------------";
constexpr const char* kNoDevice = "[ERR] Device가 선택되지 않았습니다.";

}  // namespace

DeviceChannel::DeviceChannel(int slotNo, RoutingTables& tables, EventLoop& loop, ChannelEnvironment environment)
    : slotNo_(slotNo),
      tables_(tables),
      env_(std::move(environment)),
      loop_(loop),
      strand_(loop.MakeStrand()),
      logs_(*env_.clock, env_.addMessage),
      serial_(strand_, *env_.timers),
      lan_(strand_, *env_.timers),
      cti_(loop, strand_, *env_.timers, *env_.clock, env_.ctiLimits),
      notifySocket_(strand_),
      agents_(*this, loop, *env_.timers, *env_.clock, env_.senderTimings) {}

DeviceChannel::~DeviceChannel() { Shutdown(); }

// CTI connections accepted before a stop still hand on their messages, which read
// the configuration on the strand.
void DeviceChannel::Configure(const SlotConfig& config) {
  if (running_ && !running()) CloseLink();
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
  if (std::string failure = CheckConfiguration(); !failure.empty()) return LinkResult::Failed(failure);
  // Past the checks only the codes 1, 101 and 201 have no link: they name no device.
  const LinkKind kind = LinkKindOf(config_.modelCode);
  if (kind == LinkKind::None) return LinkResult::Failed(kNoDevice);

  LinkResult result = StartLink(kind);
  if (!result.ok) return result;

  logs_.Device(DeviceLogKind::Plain, result.text);
  logs_.Device(DeviceLogKind::Plain, kServerStarted);
  running_ = true;
  linkEnded_ = false;
  linkUp_ = true;
  kind_ = kind;
  return result;
}

void DeviceChannel::BeginReading() {
  if (!running_ || reading_) return;
  reading_ = true;
  switch (kind_) {
    case LinkKind::Serial: {
      const DeviceModel model = ModelOf(config_.modelCode);
      assembler_.emplace(config_.modelCode, kind_);
      serial_.Begin({model.pollsWhenIdle, model.frame.ChunkFramed() ? SerialQuietGapMs(config_.baudRate) : 0},
                    Handlers());
      break;
    }
    case LinkKind::Lan:
      assembler_.emplace(config_.modelCode, kind_);
      lan_.Begin(Handlers());
      break;
    case LinkKind::Cti:
      cti_.Begin({[this](std::string_view message) { HandleCtiMessage(message); },
                  [this](DeviceLogKind logKind, const std::string& text) { logs_.Device(logKind, text); },
                  [this] { HandleLinkEvent(LinkEvent::Ended); }});
      break;
    case LinkKind::None:
      break;
  }
}

LinkHandlers DeviceChannel::Handlers() {
  return {[this](std::string_view chunk) { HandleChunk(chunk); }, [this](const std::string& line) { StatusLine(line); },
          [this](LinkEvent event) { HandleLinkEvent(event); }};
}

LinkResult DeviceChannel::StartLink(LinkKind kind) {
  switch (kind) {
    case LinkKind::Serial:
      return serial_.Start(SerialPathFor(config_.comPort, env_.serialPaths), config_.comPort, config_.baudRate);
    case LinkKind::Lan:
      return lan_.Start(slotNo_, config_.lanIp, config_.lanPort);
    case LinkKind::Cti:
      if (!mirror_ && !env_.mirrorHost.empty() && env_.mirrorPort > 0)
        mirror_ = std::make_unique<FrameMirror>(*this, strand_, *env_.timers, env_.mirrorHost, env_.mirrorPort);
      return cti_.Start(slotNo_, config_.lanPort);
    case LinkKind::None:
      break;
  }
  return LinkResult::Failed(kNoDevice);
}

void DeviceChannel::HandleChunk(std::string_view chunk) {
  logs_.DeviceRaw(DeviceLogKind::Read, chunk);
  assembler_->Feed(chunk, [this](std::string_view frame, size_t length, bool passes) {
    logs_.DeviceRaw(DeviceLogKind::Parse, frame);
    if (passes) Deliver(frame, length);
  });
}

void DeviceChannel::HandleLinkEvent(LinkEvent event) {
  switch (event) {
    case LinkEvent::StreamCut: {
      // The next connection starts a frame of its own; the piece left over is logged,
      // so nothing the device sent disappears without a trace.
      const std::string_view partial = assembler_->DropPartial();
      if (!partial.empty())
        logs_.Device(DeviceLogKind::Error,
                     text::Format("연결 끊김, 미완성 프레임 버림 (%zu bytes) : ", partial.size()) +
                         text::ToInternal(text::UpToNul(partial)));
      break;
    }
    case LinkEvent::Down:
      linkUp_ = false;
      NotifySlotState();
      break;
    case LinkEvent::Up:
      linkUp_ = true;
      NotifySlotState();
      break;
    case LinkEvent::Ended:
      linkEnded_ = true;
      NotifySlotState();
      break;
  }
}

void DeviceChannel::NotifySlotState() {
  if (env_.view) env_.view->SlotStateChanged(slotNo_);
}

void DeviceChannel::HandleCtiMessage(std::string_view message) {
  logs_.DeviceRaw(DeviceLogKind::Parse, message);
  if (mirror_) mirror_->MirrorFrame(message);
  Deliver(message, message.size());
}

void DeviceChannel::Deliver(std::string_view frame, size_t length) {
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
  if (!outcome.statusLine.empty()) StatusLine(std::move(outcome.statusLine));
  if (!outcome.event) return;

  RouteResult route = RouteCallEvent(tables_, config_.modelCode, std::move(*outcome.event), env_.clock->Now());
  if (!route.rows.empty()) env_.view->CallRowsAdded(slotNo_, std::move(route.rows));
  if (!route.routed) return;
  // A CTI slot's events always go through the operators' senders, whatever the broadcast switch says.
  if (route.broadcast && LinkKindOf(config_.modelCode) != LinkKind::Cti)
    notifySocket_.BroadcastNotify(*this, env_.broadcastAddress, config_.progPort, *route.routed);
  else
    agents_.DispatchToAgents(*route.routed, text::LeadingInt32(route.routed->extension));
}

void DeviceChannel::CloseLink() {
  running_ = false;
  serial_.Stop();
  lan_.Stop();
  cti_.Stop();
  reading_ = false;
}

void DeviceChannel::Stop() {
  if (!running_) return;
  CloseLink();
  StatusLine(std::string("[WARN] ") + kServerStopped);
  logs_.Device(DeviceLogKind::Plain, kServerStopped);
}

void DeviceChannel::Shutdown() {
  Stop();
  // CTI messages already received go to the senders first, which then send or log
  // them; stopped the other way round, those calls would reach nobody and no log.
  // The mirror and the UDP socket close after the CTI connections that use them.
  cti_.Shutdown();
  agents_.Stop();
  mirror_.reset();
  notifySocket_.Close();
  logs_.Shutdown();
}

std::optional<lindra::StatusLine> DeviceChannel::CreateNotifySocket() {
  return notifySocket_.Create(slotNo_, tables_.broadcastMode());
}

void DeviceChannel::StatusLine(lindra::StatusLine line) { env_.addMessage(line.text); }

void DeviceChannel::StatusLine(std::string line) { env_.addMessage(line); }

void DeviceChannel::ProgramLog(DeviceLogKind kind, std::string text) { logs_.Device(kind, text); }

void DeviceChannel::TelephoneLog(std::string line) { logs_.Telephone(line); }

void DeviceChannel::OperatorsFollowed(std::vector<OperatorState> rows) {
  env_.view->OperatorsFollowed(slotNo_, std::move(rows));
}

void DeviceChannel::OperatorColour(int row, Colour colour) { env_.view->OperatorColour(slotNo_, row, colour); }

void DeviceChannel::CallOutcome(uint64_t callId, int row, const std::string& ip, PcOutcome outcome) {
  env_.view->CallOutcome(slotNo_, callId, row, ip, outcome);
}

}  // namespace lindra
