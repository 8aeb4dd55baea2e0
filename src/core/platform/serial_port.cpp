#include "platform/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>
#include <optional>
#include <utility>

namespace lindra {
namespace {

std::optional<speed_t> TermiosSpeed(int baudRate) {
  static constexpr std::pair<int, speed_t> kSpeeds[] = {
      {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
      {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
      {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
      {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
      {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
      {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
  };
  for (const auto& [rate, speed] : kSpeeds)
    if (rate == baudRate) return speed;
  return std::nullopt;
}

// EBUSY when another program holds the line: in exclusive mode (which root's open
// passes unrefused) or under its advisory lock. 0 when it is free: the lock is then
// this descriptor's.
int TakeLine(int fd) {
  int exclusive = 0;
  if (::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive) return EBUSY;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) return EBUSY;
  return 0;
}

}  // namespace

OpenedSerialPort OpenSerialPort(const std::string& devicePath, int baudRate) {
  UniqueFd port(::open(devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!port) return {{}, "CreateFile", errno};
  if (const int busy = TakeLine(port.get())) return {{}, "CreateFile", busy};
  ::tcflush(port.get(), TCIOFLUSH);

  termios tio{};
  if (::tcgetattr(port.get(), &tio) != 0) return {{}, "GetCommState", errno};
  const std::optional<speed_t> speed = TermiosSpeed(baudRate);
  if (!speed) return {{}, "SetCommState", EINVAL};
  // Raw 8N1; reads return at once with what the driver holds (VMIN = VTIME = 0).
  // CLOCAL: the devices drive no carrier line, and the port must read without one.
  ::cfmakeraw(&tio);
  tio.c_cflag &= ~(CSTOPB | PARENB | CSIZE);
  tio.c_cflag |= CS8 | CREAD | CLOCAL;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  if (::cfsetispeed(&tio, *speed) != 0 || ::cfsetospeed(&tio, *speed) != 0 ||
      ::tcsetattr(port.get(), TCSANOW, &tio) != 0)
    return {{}, "SetCommState", errno};
  // Set up: keep other openers off the line (the lock goes with the descriptor).
  ::ioctl(port.get(), TIOCEXCL);
  return {std::move(port)};
}

void ReleaseSerialPort(int fd) { ::ioctl(fd, TIOCNXCL); }

bool SerialLineHungUp(int fd) {
  pollfd look{fd, POLLIN, 0};
  return ::poll(&look, 1, 0) > 0 && (look.revents & (POLLHUP | POLLERR));
}

bool SerialReadyWithoutBytes(int fd) {
  pollfd look{fd, POLLIN, 0};
  return ::poll(&look, 1, 0) > 0 && SerialBytesWaiting(fd) == 0;
}

size_t SerialBytesWaiting(int fd) {
  int waiting = 0;
  return ::ioctl(fd, FIONREAD, &waiting) == 0 && waiting > 0 ? static_cast<size_t>(waiting) : 0;
}

}  // namespace lindra
