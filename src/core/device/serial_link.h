#pragma once
// The RS232C link of a slot with a serial model (codes 2..100): the port's descriptor
// on the event loop, read as soon as bytes arrive.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "device/reconnecting_session.h"
#include "platform/event_loop.h"
#include "platform/timer.h"

namespace lindra {

// Port names "COM1".."COM6" of lindra.ini and the device paths they stand for here.
// Keys in upper case, as --serial COMn=PATH gives them.
using SerialOverrides = std::map<std::string, std::string>;  // "COM1" -> "/dev/ttyUSB0"

// The device path of a port name: its override, else /dev/ttyS(n-1) for "COMn"
// (letters in any case); any other name is used unchanged as the path.
std::string SerialPathFor(const std::string& comPort, const SerialOverrides& overrides);

// The quiet time that ends a chunk of a model framed by its read chunks (12, 13): 5
// character times at the line's speed (10 bits each), never less than 50 ms. Within
// one message a device sends its bytes back to back, so a pause of several characters
// means the message is complete; the floor covers USB adapters, which hand bytes over
// in packets up to 16 ms apart, and the scheduling delays of a busy machine on top of
// them (a message cut in two is a call lost). 50 ms at 1200 baud and above.
std::chrono::milliseconds SerialQuietGap(int baudRate);

// How the link reads, by model.
struct SerialReading {
  bool pollWithZ = false;                 // "Z" asks the box for its news while the line is idle
  std::chrono::milliseconds quietGap{0};  // > 0: a chunk ends only when the line is quiet this long
};

// Start, Begin and Stop are called by the owner's thread (the controller's), never by
// a loop thread; everything else, the handlers included, runs on the strand.
class SerialLink final : public SessionLink {
 public:
  static constexpr size_t kChunkBytes = 4096;  // at most this much per chunk
  // Model 7's "Z"; also the look again after a read of nothing.
  static constexpr std::chrono::milliseconds kPollInterval{100};
  static constexpr std::chrono::milliseconds kReopenPause{1000};  // between attempts to open a lost port again

  // `paths`: where the port names of the slots' settings lead (SerialPathFor).
  SerialLink(const Strand& strand, TimerMaker& timers, SerialOverrides paths = {});
  SerialLink(const SerialLink&) = delete;
  SerialLink& operator=(const SerialLink&) = delete;

  // Opens the port for this process alone and sets it up: raw mode, 8 data bits, no
  // parity, one stop bit, the given speed. Opened: "[WARN] Connected PBX : %.4s, %d"
  // (comPort, baudRate). Failed: "[ERR] RS232C - CreateFile 실패 ErrNo:%d" (open;
  // EBUSY: another program holds the port), "... GetCommState 실패 ..." (tcgetattr),
  // "... SetCommState 실패 ..." (a speed termios does not know: EINVAL; tcsetattr)
  // with errno; the port is closed then. The caller writes the program-log entries
  // of a successful start. Failures carry the error number. The port is read as
  // `reading` says.
  [[nodiscard]] LinkResult Start(const std::string& devicePath, const std::string& comPort, int baudRate,
                                 const SerialReading& reading = {});
  // The slot's COM_PORT and BAUD_RATE, read as its model reads.
  [[nodiscard]] LinkResult Start(int slotNo, const SlotConfig& slot) override;

  // Begun after a successful Start, the link reads until Stop, handing over the
  // bytes there are at once (with a quiet gap: once the line has been quiet that long, or the chunk is
  // full). A read failure (the adapter unplugged: EIO, a hang-up) cuts the stream, is
  // reported once as "[ERR] ReadFIle 실패 : %d" and shows the slot down; the port is
  // opened again (same path and settings) every kReopenPause until it opens:
  // "[WARN] Reconnected PBX : %.4s, %d", shown up. A reopen that finds the port held
  // by another program says so once, "[ERR] RS232C - CreateFile 실패 ErrNo:16"
  // (EBUSY), and goes on trying. With pollWithZ a "Z" is written at once and then
  // every kPollInterval. The loss and every reopen are told as link events.

 private:
  class Session;

  const SerialOverrides paths_;
};

}  // namespace lindra
