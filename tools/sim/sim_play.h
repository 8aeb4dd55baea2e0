#pragma once
// What the device simulators (serial, exchange, cti) share: loopback endpoints, the
// frames they play (from a file or built per model), pacing and the stop signals.
#include <netinet/in.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/unique_fd.h"

namespace lindra::sim {

using SteadyTime = std::chrono::steady_clock::time_point;

// "127.x.x.x:PORT" only: the simulators never talk to anything but loopback.
std::optional<sockaddr_in> LoopbackAddress(const std::string& text);
std::string AddressText(const sockaddr_in& address);

// One frame per line of a frames file, its own line end not included:
//   hex:0d0a...   bytes in hex (blanks between pairs allowed)
//   anything else text with C escapes: \r \n \t \0 \\ \xHH
// Empty lines and lines beginning with '#' are skipped. nullopt: a malformed line.
std::optional<std::string> DecodeFrameLine(std::string_view line);

struct PlayOptions {
  uint32_t model = 0;
  std::string framesFile;
  double rate = 1.0;  // calls (file: frames) per second
  int count = 0;      // calls (file: frames) in all; 0: 10 generated calls, or the file once
  std::string kinds = "T";
  std::string trunks;  // comma list; default 701 (caller-ID boxes: line 1)
  std::string extensions = "201";
  std::string noise;  // bytes sent before every frame (a device's stray line feed); no option of its own here
};

// --model --frames --rate --count --kinds --trunks --extensions
void AddPlayOptions(CLI::App& app, PlayOptions& options, bool needsModel = true);

// The calls to play: each Next() is one call's bytes (one frame per kind), or one
// line of the frames file. Generated calls cycle through the trunks and extensions
// and number their callers 0212340000, 0212340001 ...
class FramePlayer {
 public:
  // False with a message when the file cannot be read or the model cannot send a kind.
  bool Load(const PlayOptions& options, std::string& error);
  bool done() const { return played_ >= total_; }
  int played() const { return played_; }
  std::chrono::nanoseconds interval() const { return interval_; }
  std::string Next();

 private:
  PlayOptions options_;
  std::vector<std::string> fileFrames_;
  std::vector<std::string> trunks_, extensions_;
  int total_ = 0;
  int played_ = 0;
  std::chrono::nanoseconds interval_{};
};

// SIGINT and SIGTERM as a descriptor to poll (blocked for normal delivery).
UniqueFd StopSignals();
// `seconds` after `from`; none for 0 (no limit).
std::optional<SteadyTime> Deadline(double seconds, SteadyTime from = std::chrono::steady_clock::now());
// Milliseconds from now until `when` for poll(): 0 when past, -1 for no deadline.
int MsUntil(std::optional<SteadyTime> when);

}  // namespace lindra::sim
