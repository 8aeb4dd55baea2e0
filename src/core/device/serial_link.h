#pragma once
// The RS232C link of a slot with a serial model (codes 2..100), on POSIX termios.
#include <map>
#include <span>
#include <string>
#include <string_view>

#include "device/link_handlers.h"
#include "device/reconnect_policy.h"
#include "device/run_gate.h"
#include "platform/unique_fd.h"

namespace lindra {

// Port names "COM1".."COM6" of lindra.ini and the device paths they stand for here.
// Keys in upper case, as --serial COMn=PATH gives them.
using SerialOverrides = std::map<std::string, std::string>;  // "COM1" -> "/dev/ttyUSB0"

// The device path of a port name: its override, else /dev/ttyS(n-1) for "COMn"
// (letters in any case); any other name is used unchanged as the path.
std::string SerialPathFor(const std::string& comPort, const SerialOverrides& overrides);

// The quiet time that ends a chunk of a model framed by its read chunks (12, 13): 5
// character times at the line's speed (10 bits each), never less than 20 ms. Within
// one message a device sends its bytes back to back, so a pause of several characters
// means the message is complete; the floor covers USB adapters, which hand bytes over
// in packets up to 16 ms apart. 20 ms at 9600 baud and above, 42 ms at 1200.
int SerialQuietGapMs(int baudRate);

// How the link reads, by model.
struct SerialReading {
  bool pollWithZ = false;  // model 7: "Z" asks the box for its news
  int quietGapMs = 0;      // > 0: a chunk ends only when the line is quiet this long
};

// Threads: Start and Stop run on the controller's thread, Run on the channel's
// LoopThread; RunGate orders them, so the port is closed only once Run has let go of it.
class SerialLink {
 public:
  static constexpr size_t kChunkBytes = 4096;  // at most this much per chunk
  static constexpr int kPollIntervalMs = 100;  // model 7's "Z", at most this often

  explicit SerialLink(LinkTimings timings = {});
  ~SerialLink();  // Stop()
  SerialLink(const SerialLink&) = delete;
  SerialLink& operator=(const SerialLink&) = delete;

  // Opens and sets up the port: raw mode, 8 data bits, no parity, one stop bit, the
  // given speed. Returns "[WARN] Connected PBX : %.4s, %d" (comPort, baudRate) or
  // "[ERR] RS232C - CreateFile 실패 ErrNo:%d" (open), "... GetCommState 실패 ..."
  // (tcgetattr), "... SetCommState 실패 ..." (a speed termios does not know: EINVAL;
  // tcsetattr) with errno. A failed start leaves the port closed. The caller writes
  // the program-log entries of a successful start.
  std::string Start(const std::string& devicePath, const std::string& comPort, int baudRate);
  bool IsOpen() const { return port_.valid(); }

  // Reads until Stop(), handing over the bytes there are at once (with a quiet gap:
  // once the line has been quiet that long). A read failure (the adapter unplugged:
  // EIO, a hang-up) cuts the stream, is reported once as "[ERR] ReadFIle 실패 : %d"
  // and shows the slot down; the port is closed and opened again (same path and
  // settings) once per retry pause until it opens: "[WARN] Reconnected PBX : %.4s,
  // %d", shown up. With pollWithZ a "Z" is written at most every kPollIntervalMs
  // (so about that often while the line is idle). Returns at once when the port is
  // not open.
  void Run(const SerialReading& reading, const LinkHandlers& handlers);

  // Makes Run return promptly, then closes the port. Safe to call at any time, twice,
  // and from inside a handler (Run then closes the port as it returns).
  void Stop();

 private:
  // Reads what there is; with a quiet gap, goes on until the line is quiet that long
  // or the chunk is full. Sets error (errno) when a read fails, and returns the
  // bytes read before.
  size_t ReadChunk(std::span<char, kChunkBytes> chunk, int quietGapMs, int& error);
  // Closes the port and opens it again, as the policy says; false on a stop.
  bool Reopen(ReconnectPolicy::Step step, const LinkHandlers& handlers);
  void Follow(const ReconnectPolicy::Step& step, const LinkHandlers& handlers) const;
  void WritePoll();

  const LinkTimings timings_;
  // Touched by Run's thread while it runs, else by the controller's.
  UniqueFd port_;
  std::string devicePath_, comPort_;
  int baudRate_ = 0;
  ReconnectPolicy policy_;
  RunGate gate_;
};

}  // namespace lindra
