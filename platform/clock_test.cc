// The real System's clock, on each platform: the wait's time limit is counted in it.
#include <gtest/gtest.h>

#include <cstdint>

#include "platform/system.h"

namespace trackrelay {
namespace {

// A clock in other units than milliseconds would end every wait at once, or never.
TEST(SystemClockTest, CountsMilliseconds) {
  System& system = CurrentSystem();
  const std::uint64_t before = system.MonotonicMilliseconds();
  system.Sleep(200);
  const std::uint64_t after = system.MonotonicMilliseconds();
#ifdef _WIN32
  // GetTickCount64 moves in steps of about 16 ms.
  EXPECT_GE(after - before, 184u);
#else
  EXPECT_GE(after - before, 200u);
#endif
  EXPECT_LT(after - before, 20000u);
}

}  // namespace
}  // namespace trackrelay
