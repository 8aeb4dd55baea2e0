#pragma once
// What a LAN link and a serial link share once their connection (or port) is open:
// reading it, and when it is lost, trying again as ReconnectPolicy says, after its
// pauses, turning what the policy answers into status lines and link events. Each
// link supplies only how an attempt connects, the texts of the notices, and how it
// reads.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "device/link.h"
#include "device/link_handlers.h"
#include "device/reconnect_policy.h"
#include "platform/event_loop.h"
#include "platform/timer.h"

namespace lindra {

// Everything runs on the link's strand. A pending read or attempt of the link holds
// the session alive; the pause timer (owned here) never fires once it is gone. Once
// closed it calls no handler again.
class ReconnectingSession : public std::enable_shared_from_this<ReconnectingSession> {
 public:
  virtual ~ReconnectingSession() = default;
  ReconnectingSession(const ReconnectingSession&) = delete;
  ReconnectingSession& operator=(const ReconnectingSession&) = delete;

  void Begin(LinkHandlers handlers);
  void Close();

 protected:
  struct Outcome {
    enum class Kind {
      Connected,
      Failed,  // tried again after the policy's pause
      Fatal,   // the link cannot go on (no socket can be made): it ends
    };
    Kind kind = Kind::Connected;
    int error = 0;
  };

  ReconnectingSession(const Strand& strand, TimerMaker& timers, ReconnectPolicy::Settings settings);

  // Once, when reading begins: what the link does beside reading (a poll).
  virtual void Starting() {}
  // Reads the open connection (again, after an attempt connected).
  virtual void Read() = 0;
  // Connects or reopens; `done` hears how it went, unless the session is closed first.
  virtual void Attempt(std::function<void(Outcome)> done) = 0;
  // The line a notice is said with; nullopt where the link says nothing of it.
  virtual std::optional<StatusLine> LineOf(const ReconnectPolicy::Notice& notice) const = 0;
  // Closes the connection and ends the link's own waits and timers.
  virtual void Release() = 0;

  // Bytes read: handed over, and the connection has proved itself.
  void Arrived(std::string_view bytes);
  // The connection was lost (the link has closed it): cut the stream and try again.
  void Lost(int error);
  // A status line of the link's own (it is also the text of the next state event).
  void Say(StatusLine line);
  bool closed() const { return closed_; }

 private:
  void Retry(const ReconnectPolicy::Step& step, int error);
  void NextAttempt();
  void Attempted(Outcome outcome);
  void Follow(const ReconnectPolicy::Step& step);
  void Tell(LinkEvent event);

  ReconnectPolicy policy_;  // this slot's own count
  LinkHandlers handlers_;
  std::unique_ptr<Timer> pauseTimer_;  // before the next attempt
  std::string said_;                   // the last line said of what the next state event tells
  bool closed_ = false;
};

// A link whose open connection is a ReconnectingSession. Start (the link's own) makes
// the session; Begin and Stop, called by the owner's thread, hand it the handlers and
// end it on the strand, so that it and its timers end there.
class SessionLink : public Link {
 public:
  void Begin(LinkHandlers handlers) final;
  // Closes the connection and ends every read, attempt and pause; no handler runs
  // afterwards. Safe at any time and twice.
  void Stop() final;
  bool IsOpen() const { return session_ != nullptr; }

 protected:
  SessionLink(const Strand& strand, TimerMaker& timers) : strand_(strand), timers_(timers) {}
  ~SessionLink() override { Stop(); }

  const Strand strand_;
  TimerMaker& timers_;
  std::shared_ptr<ReconnectingSession> session_;  // from a successful Start to Stop
};

}  // namespace lindra
