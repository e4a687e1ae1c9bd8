#include "platform/fpu_guard.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

TEST(FpuGuard, MasksExceptionsInsideAndRestoresTheCallersState) {
  const std::uint32_t callerMxcsr = (ReadMxcsr() & ~0x3Fu) & ~(1u << 9);  // divide-by-zero unmasked
  const std::uint16_t callerX87 = 0x1372;                                 // bit 6 always reads back as 1
  WriteMxcsr(callerMxcsr);
  WriteX87ControlWord(callerX87);
  {
    TFpuGuard guard;
    EXPECT_EQ(ReadMxcsr() & 0xFFC0u, kPluginMxcsr);
    volatile float zero = 0.0f;
    volatile float inf = 1.0f / zero;  // would trap with the caller's word
    EXPECT_TRUE(std::isinf(inf));
  }
  EXPECT_EQ(ReadMxcsr(), callerMxcsr);
  EXPECT_EQ(ReadX87ControlWord(), callerX87);
  WriteMxcsr(0x1F80);
  WriteX87ControlWord(0x037F);
}

// A tail that decays below the smallest normal float comes out as zero inside
// the guard (no denormal reaches a host buffer, none is computed on the way),
// and a denormal that comes in is read as zero; the caller's own setting
// (gradual underflow here) is back afterwards.
TEST(FpuGuard, FlushesDenormalsInsideOnlyAndRestoresGradualUnderflow) {
  const std::uint32_t callerMxcsr = 0x1F80;
  WriteMxcsr(callerMxcsr);
  constexpr float kSmallest = std::numeric_limits<float>::min();
  volatile float tail = kSmallest;
  volatile float factor = 0.25f;
  volatile float denormalIn = kSmallest / 8.0f;  // computed with gradual underflow
  ASSERT_EQ(std::fpclassify(denormalIn), FP_SUBNORMAL);
  {
    TFpuGuard guard;
    EXPECT_EQ(ReadMxcsr() & (kMxcsrFlushToZero | kMxcsrDenormalsAreZero), kMxcsrFlushToZero | kMxcsrDenormalsAreZero);
    const float decayed = tail * factor;
    EXPECT_EQ(decayed, 0.0f);
    const float sum = denormalIn + denormalIn;  // 0 + 0 when read as zero
    EXPECT_EQ(sum, 0.0f);
  }
  EXPECT_EQ(ReadMxcsr() & ~0x3Fu, callerMxcsr);
  const float decayed = tail * factor;
  EXPECT_EQ(std::fpclassify(decayed), FP_SUBNORMAL);
  WriteMxcsr(0x1F80);
}
