#pragma once
// A serial line on POSIX termios: opened for this process alone, raw, 8 data bits,
// no parity, one stop bit, at a given speed. The one home of termios in the server.
// Two programs reading one line split its bytes between them, so the port is taken
// as serial programs take one: refused when another program holds it in exclusive
// mode or under an advisory lock (flock), then locked and put in exclusive mode.
#include <string>

#include "platform/unique_fd.h"

namespace lindra {

// The port, or the step that failed with its errno: "CreateFile" (open; EBUSY when
// another program holds the port), "GetCommState" (reading the settings: not a
// terminal), "SetCommState" (a speed termios does not know: EINVAL, or applying the
// settings).
struct OpenedSerialPort {
  UniqueFd port;  // non-blocking; a read returns at once with what the driver holds
  const char* failedStep = nullptr;
  int error = 0;
};

OpenedSerialPort OpenSerialPort(const std::string& devicePath, int baudRate);

// Takes the port out of exclusive mode before it is closed: a terminal that stays in
// existence (a pseudo-terminal whose other end is open) would keep refusing others.
void ReleaseSerialPort(int fd);

// Whether the line has hung up (the adapter is gone): it then reads nothing for ever.
bool SerialLineHungUp(int fd);

// Whether the line shows ready to read at this moment yet holds no byte to read.
bool SerialReadyWithoutBytes(int fd);

// Bytes the driver holds for reading now (0 when it cannot tell).
size_t SerialBytesWaiting(int fd);

}  // namespace lindra
