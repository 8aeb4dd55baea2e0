#pragma once
// What a link hands its owner. Links know nothing of framing, parsing or logs: they
// deliver the bytes they read and report failures as the status lines the window shows.
#include <functional>
#include <string>
#include <string_view>

namespace lindra {

// One read chunk, exactly the bytes read (never empty).
using ChunkHandler = std::function<void(std::string_view chunk)>;
// One status line for the window, UTF-8, for example "[ERR] recv 실패 : 104".
using StatusHandler = std::function<void(const std::string& line)>;

}  // namespace lindra
