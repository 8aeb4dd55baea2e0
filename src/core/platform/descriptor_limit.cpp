#include "platform/descriptor_limit.h"

#include <sys/resource.h>

#include <algorithm>

namespace lindra {
namespace {

// The kernel's usual ceiling per process (fs.nr_open), far above what the server
// holds; a hard limit of "unlimited" cannot be the soft limit itself.
constexpr rlim_t kUsualCeiling = rlim_t{1} << 20;

}  // namespace

uint64_t RaiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  const rlim_t wanted = std::min(limit.rlim_max, kUsualCeiling);
  if (wanted > limit.rlim_cur) {
    const rlimit raised{wanted, limit.rlim_max};
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit.rlim_cur = wanted;
  }
  return limit.rlim_cur;
}

}  // namespace lindra
