#include "device/serial_link.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <optional>

#include "text/strings.h"

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

bool HungUp(int fd) {
  pollfd look{fd, POLLIN, 0};
  return ::poll(&look, 1, 0) > 0 && (look.revents & (POLLHUP | POLLERR));
}

std::string CommFailure(const char* step, int error) {
  return text::Format("[ERR] RS232C - %s 실패 ErrNo:%d", step, error);
}

// The port opened and set up, or the step that failed with its errno.
struct OpenedPort {
  UniqueFd port;
  const char* failedStep = nullptr;
  int error = 0;
};

OpenedPort OpenPort(const std::string& devicePath, int baudRate) {
  UniqueFd port(::open(devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!port) return {{}, "CreateFile", errno};
  // A COM port is opened without sharing; keep other openers off the line too.
  ::ioctl(port.get(), TIOCEXCL);
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
  return {std::move(port)};
}

}  // namespace

int SerialQuietGapMs(int baudRate) {
  constexpr int kGapBits = 5 * 10;  // five characters of 10 bits
  constexpr int kFloorMs = 20;
  const long long bits = static_cast<long long>(kGapBits) * 1000;
  const long long rate = std::max(baudRate, 1);
  return static_cast<int>(std::max<long long>(kFloorMs, (bits + rate - 1) / rate));
}

std::string SerialPathFor(const std::string& comPort, const SerialOverrides& overrides) {
  const std::string name = text::ToUpperAscii(comPort);
  if (auto it = overrides.find(name); it != overrides.end()) return it->second;
  const std::string_view digits = std::string_view(name).substr(name.starts_with("COM") ? 3 : name.size());
  if (!digits.empty() && text::AllDigits(digits) && digits.size() <= 3 && text::LeadingInt32(digits) >= 1)
    return "/dev/ttyS" + std::to_string(text::LeadingInt32(digits) - 1);
  return comPort;
}

SerialLink::SerialLink(LinkTimings timings) : timings_(timings) {}

SerialLink::~SerialLink() { Stop(); }

std::string SerialLink::Start(const std::string& devicePath, const std::string& comPort, int baudRate) {
  Stop();
  gate_.Arm();
  OpenedPort opened = OpenPort(devicePath, baudRate);
  if (!opened.port) return CommFailure(opened.failedStep, opened.error);
  port_ = std::move(opened.port);
  devicePath_ = devicePath;
  comPort_ = comPort;
  baudRate_ = baudRate;
  // A serial port has no announced attempts: its loss is reported once and it is
  // reopened quietly at the retry pause until it is back.
  policy_ = ReconnectPolicy({0, timings_.retryPauseMs, timings_.retryPauseMs});
  return text::Format("[WARN] Connected PBX : %.4s, %d", comPort.c_str(), baudRate);
}

void SerialLink::Run(const SerialReading& reading, const LinkHandlers& handlers) {
  using std::chrono::steady_clock;
  if (!gate_.Enter()) return;
  if (!port_) {
    gate_.Leave();
    return;
  }
  std::array<char, kChunkBytes> chunk;
  auto nextPoll = steady_clock::now();
  while (!gate_.stopRequested()) {
    int timeoutMs = -1;
    if (reading.pollWithZ) {
      const auto now = steady_clock::now();
      if (now >= nextPoll) {
        WritePoll();
        nextPoll = now + std::chrono::milliseconds(kPollIntervalMs);
      }
      timeoutMs = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(nextPoll - now).count());
    }
    const RunGate::Wait wait = gate_.WaitFor(port_.get(), POLLIN, timeoutMs);
    if (wait == RunGate::Wait::Stop) break;
    if (wait == RunGate::Wait::Timeout) continue;
    int error = wait == RunGate::Wait::Error ? errno : 0;
    const size_t size = error ? 0 : ReadChunk(chunk, reading.quietGapMs, error);
    if (size > 0) handlers.chunk(std::string_view(chunk.data(), size));
    if (error) {
      port_.Reset();
      handlers.event(LinkEvent::StreamCut);
      if (!Reopen(policy_.Lost(error), handlers)) break;
    } else if (size == 0) {
      // Ready without a byte: look again at the idle poll's pace, never spin.
      gate_.Pause(kPollIntervalMs);
    }
  }
  if (gate_.Leave()) port_.Reset();
}

bool SerialLink::Reopen(ReconnectPolicy::Step step, const LinkHandlers& handlers) {
  for (;;) {
    Follow(step, handlers);
    if (gate_.Pause(step.pauseMs)) return false;
    Follow(policy_.AttemptBegins(), handlers);
    OpenedPort opened = OpenPort(devicePath_, baudRate_);
    if (opened.port) {
      port_ = std::move(opened.port);
      Follow(policy_.Connected(), handlers);
      return true;
    }
    step = policy_.AttemptFailed(opened.error);
  }
}

void SerialLink::Follow(const ReconnectPolicy::Step& step, const LinkHandlers& handlers) const {
  for (const ReconnectPolicy::Notice& notice : step.notices) {
    switch (notice.kind) {
      case ReconnectPolicy::NoticeKind::Lost:
        handlers.status(text::Format("[ERR] ReadFIle 실패 : %d", notice.value));
        break;
      case ReconnectPolicy::NoticeKind::Back:
        handlers.status(text::Format("[WARN] Reconnected PBX : %.4s, %d", comPort_.c_str(), baudRate_));
        break;
      default:  // no announced attempts: the loss line says it all until the port is back
        break;
    }
  }
  if (step.shown == ReconnectPolicy::Shown::Down) handlers.event(LinkEvent::Down);
  if (step.shown == ReconnectPolicy::Shown::Up) handlers.event(LinkEvent::Up);
}

size_t SerialLink::ReadChunk(std::span<char, kChunkBytes> chunk, int quietGapMs, int& error) {
  size_t size = 0;
  while (size < chunk.size()) {
    const ssize_t n = ::read(port_.get(), chunk.data() + size, chunk.size() - size);
    if (n > 0) {
      size += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) {
      error = errno;
      break;
    }
    // Nothing to read now (a raw port with VMIN = VTIME = 0 reads 0 bytes then). A
    // line that has hung up (the adapter is gone) reads nothing for ever: a failure.
    if (HungUp(port_.get())) {
      if (size == 0) error = EIO;
      break;
    }
    if (size == 0 || quietGapMs <= 0 || gate_.WaitFor(port_.get(), POLLIN, quietGapMs) != RunGate::Wait::Ready) break;
  }
  return size;
}

void SerialLink::WritePoll() {
  // The device answers the poll; a refused write only costs this poll.
  [[maybe_unused]] ssize_t written = ::write(port_.get(), "Z", 1);
}

void SerialLink::Stop() {
  if (gate_.RequestStop()) port_.Reset();
}

}  // namespace lindra
