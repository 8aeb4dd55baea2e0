#include "notify/broadcast_notify.h"

#include <cerrno>

#include "text/codec.h"
#include "text/strings.h"

namespace lindra {
namespace {

constexpr size_t kMaxDatagram = 1023;

}  // namespace

NotifySocket::NotifySocket(const Strand& strand) : strand_(strand), socket_(strand) {}

std::optional<StatusLine> NotifySocket::Create(int slotNo, bool broadcastMode) {
  std::optional<StatusLine> failure;
  RunOn(strand_, [&] {
    asio::error_code ec;
    socket_.close(ec);
    broadcastAllowed_ = false;
    socket_.open(asio::ip::udp::v4(), ec);
    if (ec) {
      failure = StatusLine::Error(text::Format("[ERR] DEV0%d LAN - UDP socket 실패 ErrNo:%d", slotNo, ec.value()),
                                  ec.value());
      return;
    }
    // The socket is kept even when the option failed: every broadcast then fails with
    // its own "send 실패" line, so the fault shows with each call, not once at start.
    if (broadcastMode) socket_.set_option(asio::socket_base::broadcast(true), ec);
    if (ec)
      failure = StatusLine::Error(text::Format("[ERR] DEV0%d LAN - setsockopt 실패 ErrNo:%d", slotNo, ec.value()),
                                  ec.value());
    broadcastAllowed_ = broadcastMode && !ec;
  });
  return failure;
}

void NotifySocket::Close() {
  RunOn(strand_, [this] {
    asio::error_code ignored;
    socket_.close(ignored);
  });
}

bool NotifySocket::BroadcastNotify(SlotReporter& reporter, std::string_view address, int progPort,
                                   const CallEvent& event) {
  const std::string notification =
      text::Format("%.1s|%s|%s", event.kind.c_str(), event.callerNumber.c_str(), event.didNumber.c_str());
  std::string bytes = text::ToExternal(notification);
  if (bytes.size() > kMaxDatagram) bytes.resize(kMaxDatagram);

  asio::error_code ec;
  const asio::ip::address_v4 destination = asio::ip::make_address_v4(std::string(address), ec);
  int error = ec ? EINVAL : 0;
  if (!error && !socket_.is_open()) error = EBADF;
  if (!error && !broadcastAllowed_) {
    socket_.set_option(asio::socket_base::broadcast(true), ec);
    error = ec.value();
    broadcastAllowed_ = !ec;
  }
  if (!error) {
    socket_.send_to(asio::buffer(bytes), asio::ip::udp::endpoint(destination, static_cast<uint16_t>(progPort)), 0, ec);
    error = ec.value();
  }

  if (error != 0) {
    reporter.ProgramLog(DeviceLogKind::Error, text::Format("send 실패: %d -> %s", error, notification.c_str()));
    reporter.Message(
        StatusLine::Error(text::Format("[ERR] send 실패 : %d -> %s", error, notification.c_str()), error));
    return false;
  }
  std::string line =
      text::Format("send : %d -> DID:%s, CID:%s", 0, event.didNumber.c_str(), event.callerNumber.c_str());
  reporter.Message(StatusLine::Info(line));
  reporter.TelephoneLog(std::move(line));
  return true;
}

}  // namespace lindra
