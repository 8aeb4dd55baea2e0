#pragma once
// What a slot's link is doing, as the front ends show it and the live model keeps it.
#include <optional>
#include <string>

namespace lindra {

struct LinkState {
  enum class Phase {
    Off,        // not started, stopped, or a start that failed (error and text say why)
    Connected,  // open and reading
    Retrying,   // lost; attempts go on in the background (attempt: the latest, from 1)
    Ended,      // gave up by itself: nothing more comes until the next start
  };
  Phase phase = Phase::Off;
  int attempt = 0;
  std::optional<int> error;  // what ended the connection or failed the start
  std::string text;          // the status line that said so

  bool up() const { return phase == Phase::Connected; }
  bool operator==(const LinkState&) const = default;
};

}  // namespace lindra
