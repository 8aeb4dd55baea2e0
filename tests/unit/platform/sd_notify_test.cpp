#include "platform/sd_notify.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <asio/post.hpp>
#include <chrono>
#include <future>
#include <string>

#include "platform/event_loop.h"
#include "platform/unique_fd.h"
#include "platform/watchdog_pinger.h"

namespace lindra {
namespace {

// A manager listening on an abstract name, as systemd's own socket may be.
class AbstractManager {
 public:
  AbstractManager() {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    name_.copy(address.sun_path + 1, name_.size());
    bound_ = ::bind(socket_.get(), reinterpret_cast<const sockaddr*>(&address),
                    static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name_.size())) == 0;
  }
  bool bound() const { return bound_; }
  std::string address() const { return "@" + name_; }
  // The next datagram, or "" when none comes within `waitMs`.
  std::string Next(int waitMs = 10'000) {
    pollfd pfd{socket_.get(), POLLIN, 0};
    if (::poll(&pfd, 1, waitMs) != 1) return "";
    char buffer[256];
    const ssize_t n = ::recv(socket_.get(), buffer, sizeof buffer, 0);
    return std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0);
  }

 private:
  const std::string name_ = "lindra2-notify-test-" + std::to_string(::getpid());
  UniqueFd socket_{::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
  bool bound_ = false;
};

TEST(ServiceNotifier, ReachesAnAbstractSocketWithOneMessagePerDatagram) {
  AbstractManager manager;
  ASSERT_TRUE(manager.bound());
  const ServiceNotifier notifier(manager.address());
  ASSERT_TRUE(notifier.active());
  EXPECT_TRUE(notifier.Status("2 slots:\n1 connected"));
  EXPECT_TRUE(notifier.Ready());
  EXPECT_EQ(manager.Next(), "STATUS=2 slots: 1 connected");
  EXPECT_EQ(manager.Next(), "READY=1");
  EXPECT_FALSE(ServiceNotifier("").Ready()) << "outside a service nothing is sent";
  EXPECT_FALSE(ServiceNotifier("relative/path").active());
}

// A slot whose handler never returns stops the pings (the manager then restarts the
// server); once it runs again, so do they.
TEST(WatchdogPinger, PingsOnlyWhileEveryWatchedStrandAnswers) {
  AbstractManager manager;
  ASSERT_TRUE(manager.bound());
  const ServiceNotifier notifier(manager.address());
  EventLoop loop(2);
  loop.Start();
  const Strand healthy = loop.MakeStrand(), hung = loop.MakeStrand();
  WatchdogPinger pinger(notifier, std::chrono::seconds(30), {healthy, hung});
  EXPECT_EQ(pinger.interval(), std::chrono::seconds(15));

  std::promise<void> release;
  asio::post(hung, [held = release.get_future().share()] { held.wait(); });
  ASSERT_TRUE(pinger.Tick()) << "the first tick pings";
  EXPECT_EQ(manager.Next(), "WATCHDOG=1");
  RunOn(healthy, [] {});  // its probe has run
  EXPECT_FALSE(pinger.Tick());
  EXPECT_FALSE(pinger.Tick());
  EXPECT_EQ(manager.Next(0), "") << "no ping while a strand is stuck";

  release.set_value();
  RunOn(hung, [] {});  // the probe queued behind the handler has run
  EXPECT_TRUE(pinger.Tick());
  EXPECT_EQ(manager.Next(), "WATCHDOG=1");
}

}  // namespace
}  // namespace lindra
