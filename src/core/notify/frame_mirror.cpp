#include "notify/frame_mirror.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "notify/tcp_client.h"
#include "text/codec.h"
#include "text/strings.h"

namespace lindra {
namespace {

// The endpoint's IPv4 address; a name is looked up each time, so that a diagnostic
// host that moves is followed without a restart.
std::optional<sockaddr_in> Resolve(const std::string& host, int port) {
  if (auto address = net::Ipv4Address(host, port)) return address;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) return std::nullopt;
  sockaddr_in address = *reinterpret_cast<const sockaddr_in*>(found->ai_addr);
  ::freeaddrinfo(found);
  address.sin_port = htons(static_cast<uint16_t>(port));
  return address;
}

}  // namespace

FrameMirror::FrameMirror(SlotReporter& reporter, std::string host, int port, std::chrono::milliseconds connectTimeout)
    : reporter_(reporter), host_(std::move(host)), port_(port), connectTimeout_(connectTimeout) {
  thread_ = std::thread([this] {
    try {
      Run();
    } catch (...) {
      // Out of memory: the copies stop; the calls themselves are not affected.
    }
  });
}

FrameMirror::~FrameMirror() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    queue_.clear();
    if (socket_ >= 0) ::shutdown(socket_, SHUT_RDWR);
  }
  wake_.notify_all();
  thread_.join();
}

bool FrameMirror::MirrorFrame(std::string_view frame) {
  {
    std::lock_guard lock(mutex_);
    if (queue_.size() < kMaxQueued) {
      queue_.emplace_back(text::UpToNul(frame));
      wake_.notify_one();
      return true;
    }
  }
  reporter_.ProgramLog(DeviceLogKind::Error, text::Format("send 실패: %d", ENOBUFS));
  return false;
}

void FrameMirror::Flush() {
  std::unique_lock lock(mutex_);
  idle_.wait(lock, [this] { return stopping_ || (queue_.empty() && !busy_); });
}

void FrameMirror::Run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (stopping_) break;
    std::string frame = std::move(queue_.front());
    queue_.pop_front();
    busy_ = true;
    lock.unlock();
    SendOne(frame);
    lock.lock();
    busy_ = false;
    if (queue_.empty()) idle_.notify_all();
  }
  idle_.notify_all();
}

void FrameMirror::SendOne(const std::string& frame) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    reporter_.ProgramLog(DeviceLogKind::Error, text::Format("socket 실패: %d", errno));
    return;
  }
  {
    std::lock_guard lock(mutex_);
    socket_ = fd;
    if (stopping_) ::shutdown(fd, SHUT_RDWR);
  }
  std::optional<sockaddr_in> address = Resolve(host_, port_);
  // A name that does not resolve leaves nothing to connect to.
  int error = address ? net::ConnectWithin(fd, *address, connectTimeout_, connectTimeout_) : EHOSTUNREACH;
  if (error != 0) {
    reporter_.ProgramLog(DeviceLogKind::Error, text::Format("connect 실패: %d", error));
  } else if (net::SendAll(fd, frame) < 0) {
    reporter_.ProgramLog(DeviceLogKind::Error, text::Format("send 실패: %d", errno));
  }
  std::lock_guard lock(mutex_);
  socket_ = -1;
  ::close(fd);
}

}  // namespace lindra
