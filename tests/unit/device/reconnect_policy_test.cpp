#include "device/reconnect_policy.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <ostream>
#include <string>
#include <vector>

namespace lindra {

using Kind = ReconnectPolicy::NoticeKind;
using Shown = ReconnectPolicy::Shown;
using Step = ReconnectPolicy::Step;

// Found by the test's messages through the step's own namespace.
inline void PrintTo(const Step& step, std::ostream* out) {
  static const char* const kKinds[] = {"Lost", "Attempt", "AttemptFailed", "GaveUp", "Back"};
  *out << "{";
  for (const auto& notice : step.notices) *out << kKinds[static_cast<int>(notice.kind)] << "(" << notice.value << ") ";
  *out << (step.shown == Shown::Down ? "down "
           : step.shown == Shown::Up ? "up "
                                     : "")
       << "pause " << step.pause.count() << "}";
}

namespace {

using namespace std::chrono_literals;

// The LAN link's settings: three announced attempts a second apart, then quiet ones
// after 1, 2, 4 and then every 5 seconds.
const ReconnectPolicy::Settings kLan{3, 1000ms, 1000ms, 5000ms};

// What happened, and the step the policy must answer with; "bytes" answers nothing.
struct Event {
  enum { Lost, Begins, Connected, Failed, Bytes } what;
  int error = 0;
  Step expected{};
};

void Play(ReconnectPolicy& policy, const std::vector<Event>& script) {
  for (size_t i = 0; i < script.size(); ++i) {
    const Event& e = script[i];
    Step step;
    switch (e.what) {
      case Event::Lost:
        step = policy.Lost(e.error);
        break;
      case Event::Begins:
        step = policy.AttemptBegins();
        break;
      case Event::Connected:
        step = policy.Connected();
        break;
      case Event::Failed:
        step = policy.AttemptFailed(e.error);
        break;
      case Event::Bytes:
        policy.BytesReceived();
        continue;
    }
    // The attempt numbers are checked where the links tell them (the link tests).
    step.attempt = 0;
    EXPECT_EQ(step, e.expected) << "event " << i;
  }
}

Step Notices(std::vector<ReconnectPolicy::Notice> notices, int pauseMs = 0, Shown shown = Shown::Unchanged) {
  return {std::move(notices), shown, std::chrono::milliseconds(pauseMs)};
}

TEST(ReconnectPolicy, RefusedAttemptsAreAnnouncedThenRetriedQuietlyUntilBack) {
  ReconnectPolicy policy(kLan);
  Play(policy, {
                   {Event::Lost, 104, Notices({{Kind::Lost, 104}}, 1000)},
                   {Event::Begins, 0, Notices({{Kind::Attempt, 1}})},
                   {Event::Failed, 111, Notices({{Kind::AttemptFailed, 111}}, 1000)},
                   {Event::Begins, 0, Notices({{Kind::Lost, ENOTCONN}, {Kind::Attempt, 2}})},
                   {Event::Failed, 111, Notices({{Kind::AttemptFailed, 111}}, 1000)},
                   {Event::Begins, 0, Notices({{Kind::Lost, ENOTCONN}, {Kind::Attempt, 3}})},
                   {Event::Failed, 111, Notices({{Kind::AttemptFailed, 111}, {Kind::GaveUp}}, 1000, Shown::Down)},
                   // Quiet: nothing reported, each pause twice the one before, at most 5 s.
                   {Event::Begins, 0, Notices({})},
                   {Event::Failed, 110, Notices({}, 2000)},
                   {Event::Begins, 0, Notices({})},
                   {Event::Failed, 111, Notices({}, 4000)},
                   {Event::Begins, 0, Notices({})},
                   {Event::Failed, 111, Notices({}, 5000)},
                   {Event::Begins, 0, Notices({})},
                   {Event::Failed, 111, Notices({}, 5000)},
                   {Event::Begins, 0, Notices({})},
                   {Event::Connected, 0, Notices({{Kind::Back}}, 0, Shown::Up)},
                   // Proven by a byte: the next loss has its three announced attempts
                   // again, and the quiet ones start at a second again.
                   {Event::Bytes},
                   {Event::Lost, 0, Notices({{Kind::Lost, 0}}, 1000)},
                   {Event::Begins, 0, Notices({{Kind::Attempt, 1}})},
                   {Event::Failed, 111, Notices({{Kind::AttemptFailed, 111}}, 1000)},
                   {Event::Begins, 0, Notices({{Kind::Lost, ENOTCONN}, {Kind::Attempt, 2}})},
                   {Event::Failed, 111, Notices({{Kind::AttemptFailed, 111}}, 1000)},
                   {Event::Begins, 0, Notices({{Kind::Lost, ENOTCONN}, {Kind::Attempt, 3}})},
                   {Event::Failed, 111, Notices({{Kind::AttemptFailed, 111}, {Kind::GaveUp}}, 1000, Shown::Down)},
               });
}

TEST(ReconnectPolicy, ConnectionsThatEndBeforeTheirFirstByteUseUpTheAttempts) {
  ReconnectPolicy policy(kLan);
  Play(policy, {
                   // The start's own connection is no attempt: its loss costs nothing.
                   {Event::Lost, 0, Notices({{Kind::Lost, 0}}, 1000)},
                   {Event::Begins, 0, Notices({{Kind::Attempt, 1}})},
                   {Event::Connected, 0, Notices({})},
                   {Event::Lost, 0, Notices({{Kind::Lost, 0}}, 1000)},
                   {Event::Begins, 0, Notices({{Kind::Attempt, 2}})},
                   {Event::Connected, 0, Notices({})},
                   {Event::Lost, 104, Notices({{Kind::Lost, 104}}, 1000)},
                   {Event::Begins, 0, Notices({{Kind::Attempt, 3}})},
                   {Event::Connected, 0, Notices({})},
                   {Event::Lost, 0, Notices({{Kind::Lost, 0}, {Kind::GaveUp}}, 1000, Shown::Down)},
                   // Back, but closed again before a byte: down again at once, no attempts
                   // announced, and the quiet pauses go on growing.
                   {Event::Begins, 0, Notices({})},
                   {Event::Connected, 0, Notices({{Kind::Back}}, 0, Shown::Up)},
                   {Event::Lost, 0, Notices({{Kind::Lost, 0}, {Kind::GaveUp}}, 2000, Shown::Down)},
               });
}

TEST(ReconnectPolicy, WithoutAnnouncedAttemptsALossIsReportedOnceAndRetriedQuietly) {
  // The serial port: down at the first failure, reopened at the same pace until back.
  ReconnectPolicy policy({0, 1000ms, 1000ms, 1000ms});
  Play(policy, {
                   {Event::Lost, EIO, Notices({{Kind::Lost, EIO}, {Kind::GaveUp}}, 1000, Shown::Down)},
                   {Event::Begins, 0, Notices({})},
                   {Event::Failed, ENOENT, Notices({}, 1000)},
                   {Event::Begins, 0, Notices({})},
                   {Event::Failed, ENOENT, Notices({}, 1000)},
                   {Event::Begins, 0, Notices({})},
                   {Event::Connected, 0, Notices({{Kind::Back}}, 0, Shown::Up)},
                   {Event::Lost, EIO, Notices({{Kind::Lost, EIO}, {Kind::GaveUp}}, 1000, Shown::Down)},
               });
}

}  // namespace
}  // namespace lindra
