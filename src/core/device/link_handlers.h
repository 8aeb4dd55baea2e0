#pragma once
// What a link hands its owner. Links know nothing of framing, parsing or logs: they
// deliver the bytes they read, report failures as the status lines the window shows,
// and say when the byte stream was cut, when the slot is to be shown down or up, and
// when the link has given up. Every handler runs on the link's strand.
#include <functional>
#include <string>
#include <string_view>

namespace lindra {

enum class LinkEvent {
  StreamCut,  // the connection or port was lost: what comes next does not continue what came before
  Down,       // the slot is to be shown not connected, while the link keeps trying
  Up,         // connected again after Down
  Ended,      // the link has stopped by itself: nothing more comes until the next start
};

struct LinkHandlers {
  // One read chunk, exactly the bytes read (never empty).
  std::function<void(std::string_view chunk)> chunk;
  // One status line for the window, UTF-8, for example "[ERR] recv 실패 : 104".
  std::function<void(const std::string& line)> status;
  std::function<void(LinkEvent event)> event;
};

}  // namespace lindra
