#include "device/serial_link.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>
#include <cerrno>
#include <utility>

#include "device/reconnecting_session.h"
#include "model/device_model.h"
#include "platform/serial_port.h"
#include "text/strings.h"

namespace lindra {
namespace {

using std::chrono::milliseconds;

StatusLine CommFailure(const char* step, int error) {
  return StatusLine::Error(text::Format("[ERR] RS232C - %s 실패 ErrNo:%d", step, error), error);
}

}  // namespace

milliseconds SerialQuietGap(int baudRate) {
  constexpr int kGapBits = 5 * 10;  // five characters of 10 bits
  constexpr milliseconds kFloor{50};
  const long long bits = static_cast<long long>(kGapBits) * 1000;
  const long long rate = std::max(baudRate, 1);
  return std::max(kFloor, milliseconds((bits + rate - 1) / rate));
}

std::string SerialPathFor(const std::string& comPort, const SerialOverrides& overrides) {
  const std::string name = text::ToUpperAscii(comPort);
  if (auto it = overrides.find(name); it != overrides.end()) return it->second;
  const std::string_view digits = std::string_view(name).substr(name.starts_with("COM") ? 3 : name.size());
  if (!digits.empty() && text::AllDigits(digits) && digits.size() <= 3 && text::LeadingInt32(digits) >= 1)
    return "/dev/ttyS" + std::to_string(text::LeadingInt32(digits) - 1);
  return comPort;
}

// One opened port and what reads it, from a successful Start to Stop, on the strand.
class SerialLink::Session final : public ReconnectingSession {
 public:
  Session(const Strand& strand, TimerMaker& timers, std::string devicePath, std::string comPort, int baudRate,
          const SerialReading& reading)
      // A serial port has no announced attempts: its loss is reported once and it is
      // reopened quietly until it is back.
      : ReconnectingSession(strand, timers, {0, kReopenPause, kReopenPause, kReopenPause}),
        port_(strand),
        devicePath_(std::move(devicePath)),
        comPort_(std::move(comPort)),
        baudRate_(baudRate),
        reading_(reading),
        pollTimer_(timers.Create(strand)),
        gapTimer_(timers.Create(strand)),
        lookAgainTimer_(timers.Create(strand)) {}

  // Hands the opened port to the loop; 0 or the error (the port is closed then).
  int Adopt(UniqueFd port) {
    asio::error_code ec;
    port_.assign(port.get(), ec);
    if (!ec) port.Release();
    return ec.value();
  }

 private:
  void Starting() override {
    if (reading_.pollWithZ) Poll();
  }

  void Poll() {
    // The device answers the poll; a refused write (or a port being reopened) only
    // costs this poll.
    if (port_.is_open()) [[maybe_unused]]
      ssize_t written = ::write(port_.native_handle(), "Z", 1);
    pollTimer_->Start(kPollInterval, [this] { Poll(); });
  }

  void Read() override {
    port_.async_wait(asio::posix::descriptor_base::wait_read,
                     [this, self = shared_from_this()](const asio::error_code& ec) { Readable(ec); });
  }

  void Readable(const asio::error_code& ec) {
    if (closed() || ec == asio::error::operation_aborted) return;
    int error = ec.value();
    const size_t got = error ? 0 : ReadAvailable(error);
    if (error) {
      Deliver();
      return PortLost(error);
    }
    if (got == 0) {
      // Woken for bytes the last read already took (two arrivals, one read): wait for
      // the next at once, since pausing here would hold a message back. A line that
      // shows ready without a byte to give is looked at again at the idle poll's pace,
      // never spun on.
      if (SerialReadyWithoutBytes(port_.native_handle()))
        lookAgainTimer_->Start(kPollInterval, [this] { Read(); });
      else
        Read();
      return;
    }
    if (reading_.quietGap > milliseconds(0) && size_ < kChunkBytes) {
      gapTimer_->Start(reading_.quietGap, [this] {
        // Only a line found quiet has had its gap. Bytes waiting when the timer runs
        // may have come right after the last read while this loop was held up: they
        // are taken as the rest of the message, since cutting a message loses its call
        // and a next message comes seconds, not milliseconds, later.
        if (SerialBytesWaiting(port_.native_handle()) == 0) Deliver();
      });
    } else {
      gapTimer_->Stop();
      Deliver();
    }
    if (!closed()) Read();
  }

  // Reads what there is, up to a full chunk; returns how many bytes came. Sets error
  // (errno) when a read fails or the line has hung up.
  size_t ReadAvailable(int& error) {
    size_t got = 0;
    while (size_ < kChunkBytes) {
      const ssize_t n = ::read(port_.native_handle(), chunk_.data() + size_, kChunkBytes - size_);
      if (n > 0) {
        size_ += static_cast<size_t>(n);
        got += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN) {
        error = errno;
        break;
      }
      // Nothing to read now (a raw port with VMIN = VTIME = 0 reads 0 bytes then). A
      // line that has hung up (the adapter is gone) reads nothing for ever: a failure.
      if (got == 0 && SerialLineHungUp(port_.native_handle())) error = EIO;
      break;
    }
    return got;
  }

  void Deliver() {
    const size_t size = std::exchange(size_, 0);
    if (size > 0) Arrived(std::string_view(chunk_.data(), size));
  }

  void ClosePort() {
    if (port_.is_open()) ReleaseSerialPort(port_.native_handle());
    asio::error_code ignored;
    port_.close(ignored);
  }

  void PortLost(int error) {
    gapTimer_->Stop();
    ClosePort();
    busyReported_ = false;
    Lost(error);
  }

  void Attempt(std::function<void(Outcome)> done) override {
    OpenedSerialPort opened = OpenSerialPort(devicePath_, baudRate_);
    const int error = opened.port ? Adopt(std::move(opened.port)) : opened.error;
    // The loss line says why the slot is down, but not that another program has taken
    // the port meanwhile, which keeps it down until that program lets go.
    if (error == EBUSY && !std::exchange(busyReported_, true)) Say(CommFailure("CreateFile", error));
    done({error ? Outcome::Kind::Failed : Outcome::Kind::Connected, error});
  }

  // No announced attempts: the loss line says it all until the port is back.
  std::optional<StatusLine> LineOf(const ReconnectPolicy::Notice& notice) const override {
    switch (notice.kind) {
      case ReconnectPolicy::NoticeKind::Lost:
        return StatusLine::Error(text::Format("[ERR] ReadFIle 실패 : %d", notice.value), notice.value);
      case ReconnectPolicy::NoticeKind::Back:
        return StatusLine::Warning(text::Format("[WARN] Reconnected PBX : %.4s, %d", comPort_.c_str(), baudRate_));
      default:
        return std::nullopt;
    }
  }

  void Release() override {
    ClosePort();
    pollTimer_->Stop();
    gapTimer_->Stop();
    lookAgainTimer_->Stop();
  }

  asio::posix::stream_descriptor port_;
  const std::string devicePath_, comPort_;
  const int baudRate_;
  const SerialReading reading_;
  std::unique_ptr<Timer> pollTimer_;       // model 7's "Z"
  std::unique_ptr<Timer> gapTimer_;        // the quiet gap that ends a chunk
  std::unique_ptr<Timer> lookAgainTimer_;  // after a read of nothing
  std::array<char, kChunkBytes> chunk_;
  size_t size_ = 0;            // bytes of the chunk read so far
  bool busyReported_ = false;  // since the loss: a reopen found the port held by another program
};

SerialLink::SerialLink(const Strand& strand, TimerMaker& timers, SerialOverrides paths)
    : SessionLink(strand, timers), paths_(std::move(paths)) {}

LinkResult SerialLink::Start(const std::string& devicePath, const std::string& comPort, int baudRate,
                             const SerialReading& reading) {
  Stop();
  OpenedSerialPort opened = OpenSerialPort(devicePath, baudRate);
  auto failed = [](StatusLine line) { return LinkResult{false, std::move(line)}; };
  if (!opened.port) return failed(CommFailure(opened.failedStep, opened.error));
  auto session = std::make_shared<Session>(strand_, timers_, devicePath, comPort, baudRate, reading);
  // A descriptor the loop cannot watch is as good as a port that does not open.
  if (const int error = session->Adopt(std::move(opened.port))) return failed(CommFailure("CreateFile", error));
  session_ = std::move(session);
  return LinkResult::Opened(text::Format("[WARN] Connected PBX : %.4s, %d", comPort.c_str(), baudRate));
}

LinkResult SerialLink::Start(int, const SlotConfig& slot) {
  const DeviceModel model = ModelOf(slot.modelCode);
  return Start(SerialPathFor(slot.comPort, paths_), slot.comPort, slot.baudRate,
               {model.pollsWhenIdle, model.frame.ChunkFramed() ? SerialQuietGap(slot.baudRate) : milliseconds(0)});
}

}  // namespace lindra
