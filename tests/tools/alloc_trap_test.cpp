// The allocation trap of the test support library.
#include "tests/support/alloc_trap.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

namespace {

using testing_support::TAllowAllocations;
using testing_support::TAudioThreadGuard;

TEST(AllocTrap, AllocationInsideAGuardFailsTheTest) {
  EXPECT_NONFATAL_FAILURE(
      {
        TAudioThreadGuard audio("the render loop");
        auto v = std::make_unique<std::vector<int>>(100);
        EXPECT_EQ(audio.Allocations(), 2u);
      },
      "2 heap allocation(s) and 2 free(s) on the render loop");
}

TEST(AllocTrap, AFreeInsideAGuardFailsTheTestToo) {
  auto kept = std::make_unique<std::vector<int>>(100);
  EXPECT_NONFATAL_FAILURE(
      {
        TAudioThreadGuard audio("the swap");
        kept.reset();
        EXPECT_EQ(audio.Frees(), 2u);
        EXPECT_EQ(audio.Allocations(), 0u);
      },
      "0 heap allocation(s) and 2 free(s) on the swap");
}

TEST(AllocTrap, StackWorkAndAllowedScopesPass) {
  std::vector<float> buffer(512);
  TAudioThreadGuard audio;
  for (float& x : buffer) x = 0.5f * x + 1.0f;
  {
    TAllowAllocations allow;
    std::vector<int> results(10);
  }
  EXPECT_EQ(audio.Allocations(), 0u);
}

TEST(AllocTrap, OnlyTheFlaggedThreadIsWatched) {
  TAudioThreadGuard audio;
  std::uint64_t before = testing_support::AudioThreadAllocations();
  {
    TAllowAllocations allow;  // creating the thread allocates on this one
    std::thread other([] { std::vector<int> v(1000); });
    other.join();
  }
  EXPECT_EQ(testing_support::AudioThreadAllocations(), before);
}

}  // namespace
