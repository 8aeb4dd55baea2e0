#pragma once
// The RS232C link of a slot with a serial model (codes 2..100), on POSIX termios.
#include <map>
#include <span>
#include <string>
#include <string_view>

#include "device/link_handlers.h"
#include "device/run_gate.h"
#include "platform/unique_fd.h"

namespace lindra {

// Port names "COM1".."COM6" of lindra.ini and the device paths they stand for here.
// Keys in upper case, as --serial COMn=PATH gives them.
using SerialOverrides = std::map<std::string, std::string>;  // "COM1" -> "/dev/ttyUSB0"

// The device path of a port name: its override, else /dev/ttyS(n-1) for "COMn"
// (letters in any case); any other name is used unchanged as the path.
std::string SerialPathFor(const std::string& comPort, const SerialOverrides& overrides);

// Threads: Start and Stop run on the controller's thread, Run on the channel's
// LoopThread; RunGate orders them, so the port is closed only once Run has let go of it.
class SerialLink {
 public:
  static constexpr size_t kChunkBytes = 4096;  // at most this much per chunk
  static constexpr int kQuietMs = 100;         // a chunk ends when the line is quiet this long
  static constexpr int kPollIntervalMs = 100;  // model 7's "Z" while idle
  static constexpr int kReadFailurePauseMs = 1000;

  SerialLink() = default;
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

  // Reads until Stop(): every chunk goes to onChunk, each read failure gives one
  // status line "[ERR] ReadFIle 실패 : %d" and a pause of kReadFailurePauseMs. With
  // pollWithZ (model 7) a "Z" is written to the port about every kPollIntervalMs
  // while the line is idle. Returns at once when the port is not open.
  void Run(bool pollWithZ, const ChunkHandler& onChunk, const StatusHandler& onStatus);

  // Makes Run return promptly, then closes the port. Safe to call at any time, twice,
  // and from inside a handler (Run then closes the port as it returns).
  void Stop();

 private:
  // Gathers bytes until the line is quiet or the chunk is full; sets error (errno)
  // when a read fails, and returns the bytes read before.
  size_t ReadChunk(std::span<char, kChunkBytes> chunk, int& error);
  void WritePoll();

  UniqueFd port_;
  RunGate gate_;
};

}  // namespace lindra
