#include "platform/time_stamp.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

TEST(TimeStamp, TheCounterRunsAtTheMeasuredRate) {
  const double perMs = TimeStampTicksPerMs();
  // Any x86-64 processor counts between 100 MHz and 100 GHz.
  EXPECT_GT(perMs, 1e5);
  EXPECT_LT(perMs, 1e8);
  EXPECT_EQ(TimeStampTicksPerMs(), perMs) << "measured once";
  const std::uint64_t before = ReadTimeStampCounter();
  std::this_thread::sleep_for(std::chrono::milliseconds(3));
  const std::uint64_t after = ReadTimeStampCounter();
  EXPECT_GT(static_cast<double>(after - before), 1.5 * perMs) << "a sleep of at least 3 ms";
}
