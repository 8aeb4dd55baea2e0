#include "platform/sd_notify.h"

#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <string>

namespace lindra {
namespace {

// An abstract name ('@' in the variable) starts with a zero byte in the address and
// is not terminated; a path is.
bool SocketAddress(std::string_view name, sockaddr_un& address, socklen_t& length) {
  address = {};
  address.sun_family = AF_UNIX;
  const bool abstract = name.front() == '@';
  if (name.size() + (abstract ? 0 : 1) > sizeof address.sun_path) return false;
  name.copy(address.sun_path, name.size());
  if (abstract) address.sun_path[0] = '\0';
  length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + (abstract ? 0 : 1));
  return true;
}

}  // namespace

ServiceNotifier::ServiceNotifier(std::string_view socketName) {
  sockaddr_un address;
  socklen_t length = 0;
  if (socketName.size() < 2 || (socketName.front() != '/' && socketName.front() != '@') ||
      !SocketAddress(socketName, address, length))
    return;
  UniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (fd && ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), length) == 0) socket_ = std::move(fd);
}

ServiceNotifier ServiceNotifier::FromEnvironment() {
  const char* name = ::getenv("NOTIFY_SOCKET");
  ServiceNotifier notifier(name ? name : "");
  ::unsetenv("NOTIFY_SOCKET");
  return notifier;
}

bool ServiceNotifier::Send(std::string_view message) const {
  if (!socket_) return false;
  ssize_t sent;
  do {
    sent = ::send(socket_.get(), message.data(), message.size(), MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return sent == static_cast<ssize_t>(message.size());
}

// One line per message: a status text never adds keys of its own.
bool ServiceNotifier::Status(std::string_view text) const {
  std::string line = "STATUS=";
  for (char c : text) line += c == '\n' ? ' ' : c;
  return Send(line);
}

bool ServiceNotifier::Reloading() const {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const long long usec = static_cast<long long>(now.tv_sec) * 1'000'000 + now.tv_nsec / 1000;
  return Send("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(usec));
}

bool WritesToJournal(int fd) {
  const char* stream = ::getenv("JOURNAL_STREAM");
  struct stat st {};
  if (!stream || ::fstat(fd, &st) != 0) return false;
  unsigned long long device = 0, inode = 0;
  return std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 && device == st.st_dev && inode == st.st_ino;
}

std::optional<std::chrono::microseconds> WatchdogPeriodFromEnvironment() {
  const char* usec = ::getenv("WATCHDOG_USEC");
  if (!usec || !*usec || std::string_view(usec).find_first_not_of("0123456789") != std::string_view::npos)
    return std::nullopt;
  if (const char* pid = ::getenv("WATCHDOG_PID"); pid && *pid && std::string_view(pid) != std::to_string(::getpid()))
    return std::nullopt;
  const long long period = std::strtoll(usec, nullptr, 10);
  if (period <= 0) return std::nullopt;
  return std::chrono::microseconds(period);
}

}  // namespace lindra
