#pragma once
// The TCP client link of a slot with a LAN exchange (codes 102..200).
#include <netinet/in.h>

#include <string>

#include "device/link_handlers.h"
#include "device/reconnect_policy.h"
#include "device/run_gate.h"
#include "platform/unique_fd.h"

namespace lindra {

// Threads: Start and Stop run on the controller's thread, Run on the channel's
// LoopThread; RunGate orders them, so the socket is closed only once Run has let go of it.
class LanLink {
 public:
  static constexpr size_t kChunkBytes = 2048;     // one receive
  static constexpr int kConnectTimeoutMs = 3000;  // the window thread waits at most this long
  static constexpr int kAnnouncedAttempts = 3;    // reconnect attempts after a loss that are reported
  // Keepalive, so a silently dead exchange is noticed (after about 60 + 3 x 10 s)
  // and handled like any other receive failure.
  static constexpr int kKeepIdleS = 60;
  static constexpr int kKeepIntervalS = 10;
  static constexpr int kKeepCount = 3;
  // The error number shown when the exchange closes the connection in an orderly
  // way: "[ERR] recv 실패 : 0", for the receive's result, 0 bytes.
  static constexpr int kOrderlyCloseError = 0;

  explicit LanLink(LinkTimings timings = {});
  ~LanLink();  // Stop()
  LanLink(const LanLink&) = delete;
  LanLink& operator=(const LanLink&) = delete;

  // Resolves lanIp once (a host name when its first character is a letter, else a
  // dotted address) and connects within kConnectTimeoutMs. Returns
  // "[WARN] DEV0%d Connected PBX : %s, %d" (deviceNo, lanIp as given, lanPort) or
  // "[ERR] DEV0%d LAN - socket 실패 ErrNo:%d" (socket; a failed name look-up: the
  // resolver's EAI_ code, negative) /
  // "[ERR] DEV0%d LAN - connect 실패 ErrNo:%d" (no address, a malformed address or
  // a port outside 0..65535: EINVAL, refused, timed out: ETIMEDOUT). The caller writes the program-log
  // entries of a successful start.
  std::string Start(int deviceNo, const std::string& lanIp, int lanPort);

  // Receives until Stop(), or until a socket cannot be created: each chunk goes to
  // the chunk handler. A lost connection (receive error, or the exchange closing it)
  // cuts the stream and is retried by ReconnectPolicy, each attempt after the retry
  // pause: "[ERR] recv 실패 : %d", then per attempt "[ERR] 기존 연결 에러/종료됨. 연결
  // 재시도(%d회)" and, when refused, "[ERR] connect 실패: %d". A connection that
  // ends before its first byte counts as a failed attempt; the count starts again
  // with a byte. After kAnnouncedAttempts failures in a row: "[ERR] DEV0%d 연결 재시도
  // %d회 실패. %d초마다 재연결 시도", the slot is shown down, and quiet attempts follow
  // at the quiet pause until one connects: "[WARN] DEV0%d Reconnected PBX : %s, %d",
  // shown up. "[ERR] socket 실패: %d" ends Run. Returns at once when Start has not
  // connected.
  void Run(const LinkHandlers& handlers);

  // Makes Run return promptly, then closes the socket. Safe to call at any time, twice,
  // and from inside a handler (Run then closes the socket as it returns).
  void Stop();

 private:
  // Connects fd to peer_ within kConnectTimeoutMs (a stop cuts it short); 0 or errno.
  int Connect(int fd);
  // Follows the policy from a loss until a connection is made; false when Run must
  // return (a stop, or no socket).
  bool Reconnect(ReconnectPolicy::Step step, const LinkHandlers& handlers);
  void Follow(const ReconnectPolicy::Step& step, const LinkHandlers& handlers) const;

  const LinkTimings timings_;
  // Touched by Run's thread while it runs, else by the controller's.
  UniqueFd socket_;
  bool connected_ = false;
  sockaddr_in peer_{};
  int deviceNo_ = 0;
  std::string lanIp_;  // as configured, for the line of a link that is back
  int lanPort_ = 0;
  ReconnectPolicy policy_;  // this slot's own count
  RunGate gate_;
};

}  // namespace lindra
