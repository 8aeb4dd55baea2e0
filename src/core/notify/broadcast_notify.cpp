#include "notify/broadcast_notify.h"

#include <sys/socket.h>

#include <cerrno>

#include "notify/tcp_client.h"
#include "text/codec.h"
#include "text/strings.h"

namespace lindra {
namespace {

constexpr size_t kMaxDatagram = 1023;

}  // namespace

std::string NotifySocket::Create(int slotNo, bool broadcastMode) {
  std::lock_guard lock(mutex_);
  socket_.Reset();
  UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd) return text::Format("[ERR] DEV0%d LAN - UDP socket 실패 ErrNo:%d", slotNo, errno);
  int error = 0;
  int on = 1;
  if (broadcastMode && ::setsockopt(fd.get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) error = errno;
  // The socket is kept even when the option failed: every broadcast then fails with
  // its own "send 실패" line, so the fault shows with each call, not once at start.
  socket_ = std::move(fd);
  return error ? text::Format("[ERR] DEV0%d LAN - setsockopt 실패 ErrNo:%d", slotNo, error) : "";
}

void NotifySocket::Close() {
  std::lock_guard lock(mutex_);
  socket_.Reset();
}

bool NotifySocket::IsOpen() const {
  std::lock_guard lock(mutex_);
  return socket_.valid();
}

bool NotifySocket::BroadcastNotify(SlotReporter& reporter, std::string_view address, int progPort,
                                   const CallEvent& event) {
  const std::string notification =
      text::Format("%.1s|%s|%s", event.kind.c_str(), event.callerNumber.c_str(), event.didNumber.c_str());
  std::string bytes = text::ToExternal(notification);
  if (bytes.size() > kMaxDatagram) bytes.resize(kMaxDatagram);

  int error = 0;
  if (std::optional<sockaddr_in> destination = net::Ipv4Address(address, progPort)) {
    std::lock_guard lock(mutex_);
    if (!socket_) {
      error = EBADF;
    } else if (::sendto(socket_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr*>(&*destination), sizeof *destination) < 0) {
      error = errno;
    }
  } else {
    error = EINVAL;
  }

  if (error != 0) {
    reporter.ProgramLog(DeviceLogKind::Error, text::Format("send 실패: %d -> %s", error, notification.c_str()));
    reporter.StatusLine(text::Format("[ERR] send 실패 : %d -> %s", error, notification.c_str()));
    return false;
  }
  std::string line =
      text::Format("send : %d -> DID:%s, CID:%s", 0, event.didNumber.c_str(), event.callerNumber.c_str());
  reporter.StatusLine(line);
  reporter.TelephoneLog(std::move(line));
  return true;
}

}  // namespace lindra
