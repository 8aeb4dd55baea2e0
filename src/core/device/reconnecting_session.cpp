#include "device/reconnecting_session.h"

#include <asio/post.hpp>
#include <utility>

namespace lindra {

namespace {

using Kind = LinkEvent::Kind;

LinkEvent Event(Kind kind, int attempt = 0, std::optional<int> error = std::nullopt) {
  return {kind, attempt, error, {}};
}

}  // namespace

ReconnectingSession::ReconnectingSession(const Strand& strand, TimerMaker& timers, ReconnectPolicy::Settings settings)
    : policy_(settings), pauseTimer_(timers.Create(strand)) {}

void ReconnectingSession::Begin(LinkHandlers handlers) {
  if (closed_) return;
  handlers_ = std::move(handlers);
  Starting();
  Read();
}

void ReconnectingSession::Close() {
  closed_ = true;
  pauseTimer_->Stop();
  Release();
}

void ReconnectingSession::Arrived(std::string_view bytes) {
  if (closed_) return;
  policy_.BytesReceived();
  handlers_.chunk(bytes);
}

void ReconnectingSession::Lost(int error) {
  if (closed_) return;
  handlers_.event(Event(Kind::StreamCut));
  Retry(policy_.Lost(error), error);
}

void ReconnectingSession::Say(StatusLine line) {
  if (closed_) return;
  said_ = line.text;
  handlers_.status(std::move(line));
}

void ReconnectingSession::Retry(const ReconnectPolicy::Step& step, int error) {
  Follow(step);
  Tell(Event(Kind::Retrying, step.attempt, error));
  if (!closed_) pauseTimer_->Start(step.pause, [this] { NextAttempt(); });
}

void ReconnectingSession::NextAttempt() {
  Follow(policy_.AttemptBegins());
  // What an attempt's state says is its own outcome, not that it was announced.
  said_.clear();
  if (closed_) return;
  Attempt([this](Outcome outcome) {
    if (!closed_) Attempted(outcome);
  });
}

void ReconnectingSession::Attempted(Outcome outcome) {
  switch (outcome.kind) {
    case Outcome::Kind::Connected: {
      const ReconnectPolicy::Step step = policy_.Connected();
      Follow(step);
      Tell(Event(Kind::Reconnected, step.attempt));
      if (!closed_) Read();
      break;
    }
    case Outcome::Kind::Failed:
      Retry(policy_.AttemptFailed(outcome.error), outcome.error);
      break;
    case Outcome::Kind::Fatal:
      Tell(Event(Kind::Ended, 0, outcome.error));
      break;
  }
}

void ReconnectingSession::Follow(const ReconnectPolicy::Step& step) {
  for (const ReconnectPolicy::Notice& notice : step.notices) {
    if (closed_) return;
    if (std::optional<StatusLine> line = LineOf(notice)) Say(std::move(*line));
  }
  if (closed_) return;
  if (step.shown == ReconnectPolicy::Shown::Down) handlers_.event(Event(Kind::Down));
  if (step.shown == ReconnectPolicy::Shown::Up) handlers_.event(Event(Kind::Up));
}

void ReconnectingSession::Tell(LinkEvent event) {
  if (closed_) return;
  event.text = std::exchange(said_, {});
  handlers_.event(event);
}

void SessionLink::Begin(LinkHandlers handlers) {
  if (!session_) return;
  asio::post(strand_,
             [session = session_, handlers = std::move(handlers)]() mutable { session->Begin(std::move(handlers)); });
}

void SessionLink::Stop() {
  if (!session_) return;
  RunOn(strand_, [this] {
    session_->Close();
    session_.reset();
  });
}

}  // namespace lindra
