#pragma once
// When a link that lost its connection (a LAN exchange) or its port (an unplugged
// serial adapter) tries again, what it reports, and when the slot is shown not
// connected. Pure: the link tells it what happened and does what it answers (report
// these notices, show the slot down or up, pause this long before the next attempt);
// no I/O, no clock, no sleeping.
#include <chrono>
#include <vector>

namespace lindra {

// Owned by one link and used on its strand only.
class ReconnectPolicy {
 public:
  struct Settings {
    int announcedAttempts = 0;                // failed attempts in a row that are each reported
    std::chrono::milliseconds retryPause{0};  // before every reconnect after a loss or a failed attempt
    // Once the announced attempts are used up: the pause before the first quiet
    // attempt, doubled after each quiet one that fails, up to quietMaxPause. A device
    // that is back is picked up within moments, one that stays away costs little.
    std::chrono::milliseconds quietFirstPause{0};
    std::chrono::milliseconds quietMaxPause{0};
  };

  enum class NoticeKind {
    Lost,           // value: the error that ended the connection (0: an orderly close)
    Attempt,        // value: the attempt's number, 1 to announcedAttempts
    AttemptFailed,  // value: the error of the attempt
    GaveUp,         // the announced attempts are used up; quiet attempts follow
    Back,           // connected again after giving up
  };
  struct Notice {
    NoticeKind kind;
    int value = 0;
    bool operator==(const Notice&) const = default;
  };
  enum class Shown { Unchanged, Down, Up };

  // What to do now: report the notices in order, change what the slot shows, then
  // (after a loss or a failed attempt) pause this long before AttemptBegins.
  struct Step {
    std::vector<Notice> notices;
    Shown shown = Shown::Unchanged;
    std::chrono::milliseconds pause{0};
    // The attempt the step is about (the one about to be made, that failed, that
    // connected, or whose connection was lost), counted from 1 since the connection
    // last proved itself with a byte; 0 for a loss of the start's own or a proven connection.
    int attempt = 0;
    bool operator==(const Step&) const = default;
  };

  // Made when a start has connected: nothing failed yet, the slot is shown connected.
  ReconnectPolicy() = default;
  explicit ReconnectPolicy(Settings settings) : settings_(settings) {}

  // The connection or port was lost.
  Step Lost(int error);
  // An attempt is about to be made.
  Step AttemptBegins();
  // The attempt connected (or reopened the port).
  Step Connected();
  // The attempt failed with `error`.
  Step AttemptFailed(int error);
  // A byte arrived: the connection is proven, and the count of failures starts again.
  void BytesReceived();

 private:
  // After a loss or a failed attempt: report it unless already down, give up
  // announcing once the failures use up the announced attempts, and pause.
  Step After(Notice notice);
  std::chrono::milliseconds NextQuietPause();

  Settings settings_;
  int failed_ = 0;                           // failed attempts in a row
  bool unproven_ = false;                    // connected by an attempt, no byte yet: ending now fails it
  bool connectFailed_ = false;               // the last attempt did not connect
  bool down_ = false;                        // the slot is shown not connected
  int attempt_ = 0;                          // attempts since the connection last proved itself
  std::chrono::milliseconds quietPause_{0};  // the last quiet pause; 0 until the first since a proven connection
};

}  // namespace lindra
