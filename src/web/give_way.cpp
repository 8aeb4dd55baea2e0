#include "web/give_way.h"

#include <sys/resource.h>
#include <unistd.h>

#include <utility>

namespace lindra::web {
namespace {

// How much higher the console's nice value is than the server's.
constexpr int kConsoleNiceness = 10;

}  // namespace

void GiveWayToCalls() {
  thread_local bool lowered = false;
  if (std::exchange(lowered, true)) return;
  [[maybe_unused]] const int ignored = ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kConsoleNiceness);
}

}  // namespace lindra::web
