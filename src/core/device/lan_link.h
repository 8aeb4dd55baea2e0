#pragma once
// The TCP client link of a slot with a LAN exchange (codes 102..200), on the event loop.
#include <chrono>
#include <memory>
#include <string>

#include "device/reconnecting_session.h"
#include "platform/event_loop.h"
#include "platform/timer.h"

namespace lindra {

// Start, Begin and Stop are called by the owner's thread (the controller's), never by
// a loop thread; everything else, the handlers included, runs on the strand.
class LanLink final : public SessionLink {
 public:
  static constexpr size_t kChunkBytes = 2048;  // one receive
  // Each connect, and so the start the window waits for.
  static constexpr std::chrono::milliseconds kConnectTimeout{3000};
  static constexpr int kAnnouncedAttempts = 3;  // reconnect attempts after a loss that are reported
  // Before every reconnect after a loss or a failed attempt.
  static constexpr std::chrono::milliseconds kRetryPause{1000};
  // The quiet attempts after the announced ones: the first after this pause, each
  // later one after twice the pause before, at most kQuietMaxPause.
  static constexpr std::chrono::milliseconds kQuietFirstPause{1000};
  static constexpr std::chrono::seconds kQuietMaxPause{5};
  // Keepalive, so a silently dead exchange is noticed (after about 60 + 3 x 10 s)
  // and handled like any other receive failure.
  static constexpr int kKeepIdleS = 60;
  static constexpr int kKeepIntervalS = 10;
  static constexpr int kKeepCount = 3;
  // The error number shown when the exchange closes the connection in an orderly
  // way: "[ERR] recv 실패 : 0", for the receive's result, 0 bytes.
  static constexpr int kOrderlyCloseError = 0;

  LanLink(const Strand& strand, TimerMaker& timers);
  LanLink(const LanLink&) = delete;
  LanLink& operator=(const LanLink&) = delete;

  // Resolves lanIp once (a host name when its first character is a letter, else a
  // numeric address) and connects within kConnectTimeout; blocks until then.
  // Opened: "[WARN] DEV0%d Connected PBX : %s, %d" (deviceNo, lanIp as given,
  // lanPort). Failed: "[ERR] DEV0%d LAN - socket 실패 ErrNo:%d" (socket; a failed
  // name look-up: the resolver's EAI_ code, negative) or "[ERR] DEV0%d LAN - connect
  // 실패 ErrNo:%d" (no address, a malformed address or a port outside 0..65535:
  // EINVAL; refused; timed out: ETIMEDOUT), with that number. The caller writes the
  // program-log entries of a successful start.
  [[nodiscard]] LinkResult Start(int deviceNo, const std::string& lanIp, int lanPort);
  // The slot's LAN_IP and LAN_PORT.
  [[nodiscard]] LinkResult Start(int slotNo, const SlotConfig& slot) override;

  // Begun after a successful Start, the link receives until Stop; each chunk goes to the chunk
  // handler. A lost connection (receive error, or the exchange closing it) cuts the
  // stream and is retried by ReconnectPolicy, each attempt after kRetryPause:
  // "[ERR] recv 실패 : %d", then per attempt "[ERR] 기존 연결 에러/종료됨. 연결
  // 재시도(%d회)" and, when refused, "[ERR] connect 실패: %d". A connection that
  // ends before its first byte counts as a failed attempt; the count starts again
  // with a byte. After kAnnouncedAttempts failures in a row: "[ERR] DEV0%d 연결 재시도
  // %d회 실패. 최대 %d초 간격으로 재연결 시도", the slot is shown down, and quiet
  // attempts follow, 1, 2, 4, then every 5 s, until one connects: "[WARN] DEV0%d
  // Reconnected PBX : %s, %d", shown up. A socket that cannot be made, "[ERR] socket
  // 실패: %d", ends the link. The loss and every attempt are told as link events.

 private:
  class Session;
};

}  // namespace lindra
