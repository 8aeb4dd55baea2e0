#include "platform/descriptor_limit.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>

namespace lindra {
namespace {

TEST(DescriptorLimit, TheSoftLimitIsRaisedToTheHardOne) {
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
  const rlim_t hard = limit.rlim_max;
  // Where the limits are equal already, a lower soft limit shows the raise.
  limit.rlim_cur = std::min<rlim_t>(hard, 256);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);

  const uint64_t raised = RaiseDescriptorLimit();
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
  EXPECT_EQ(raised, limit.rlim_cur);
  EXPECT_EQ(limit.rlim_cur, std::min<rlim_t>(hard, rlim_t{1} << 20));
  EXPECT_EQ(limit.rlim_max, hard);
}

}  // namespace
}  // namespace lindra
