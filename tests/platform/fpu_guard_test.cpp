#include "platform/fpu_guard.h"

#include <gtest/gtest.h>

#include <cmath>

TEST(FpuGuard, MasksExceptionsInsideAndRestoresTheCallersState) {
  const std::uint32_t callerMxcsr = (ReadMxcsr() & ~0x3Fu) & ~(1u << 9);  // divide-by-zero unmasked
  const std::uint16_t callerX87 = 0x1372;  // bit 6 always reads back as 1
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
