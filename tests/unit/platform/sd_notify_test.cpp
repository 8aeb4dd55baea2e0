#include "platform/sd_notify.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

namespace lindra {
namespace {

// A manager listening on an abstract name, as systemd's own socket may be.
TEST(ServiceNotifier, ReachesAnAbstractSocketWithOneMessagePerDatagram) {
  const std::string name = "lindra2-notify-test-" + std::to_string(::getpid());
  UniqueFd manager(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  name.copy(address.sun_path + 1, name.size());
  ASSERT_EQ(::bind(manager.get(), reinterpret_cast<const sockaddr*>(&address),
                   static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size())),
            0);

  const ServiceNotifier notifier("@" + name);
  ASSERT_TRUE(notifier.active());
  EXPECT_TRUE(notifier.Status("2 slots:\n1 connected"));
  EXPECT_TRUE(notifier.Ready());
  for (const char* expected : {"STATUS=2 slots: 1 connected", "READY=1"}) {
    pollfd pfd{manager.get(), POLLIN, 0};
    ASSERT_EQ(::poll(&pfd, 1, 10'000), 1);
    char buffer[256];
    const ssize_t n = ::recv(manager.get(), buffer, sizeof buffer, 0);
    EXPECT_EQ(std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0), expected);
  }
  EXPECT_FALSE(ServiceNotifier("").Ready()) << "outside a service nothing is sent";
  EXPECT_FALSE(ServiceNotifier("relative/path").active());
}

}  // namespace
}  // namespace lindra
