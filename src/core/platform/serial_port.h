#pragma once
// A serial line on POSIX termios: opened for this process alone, raw, 8 data bits,
// no parity, one stop bit, at a given speed. The one home of termios in the server.
#include <string>

#include "platform/unique_fd.h"

namespace lindra {

// The port, or the step that failed with its errno: "CreateFile" (open),
// "GetCommState" (reading the settings: not a terminal), "SetCommState" (a speed
// termios does not know: EINVAL, or applying the settings).
struct OpenedSerialPort {
  UniqueFd port;  // non-blocking; a read returns at once with what the driver holds
  const char* failedStep = nullptr;
  int error = 0;
};

OpenedSerialPort OpenSerialPort(const std::string& devicePath, int baudRate);

// Whether the line has hung up (the adapter is gone): it then reads nothing for ever.
bool SerialLineHungUp(int fd);

}  // namespace lindra
