// Floating-point environment of every host entry.
//
// Plug-in code runs with every floating-point exception masked and round to
// nearest even, so a division by zero gives an infinity and an invalid
// operation a NaN, whatever the host had set. SSE arithmetic also flushes
// denormal results to zero and reads denormal operands as zero: decaying
// feedback (filter and reverb tails, envelope releases) can then never
// produce a denormal, neither in the host's buffers nor on the way there,
// where each one costs a slow microcode assist. On return the caller's own
// MXCSR and x87 control word come back. The x87 24-bit precision mode has no
// SSE counterpart and is not emulated.
#pragma once

#include <cstdint>

// x87 control word of plug-in code: all six exceptions masked, round to
// nearest; the precision field stays at 64 bits (long double helpers).
inline constexpr std::uint16_t PluginControlWord = 0x037F;
// MXCSR bits: flush-to-zero (a denormal result becomes a signed zero) and
// denormals-are-zero (a denormal operand is read as zero). Every x86-64
// processor has both.
inline constexpr std::uint32_t kMxcsrFlushToZero = 0x8000;
inline constexpr std::uint32_t kMxcsrDenormalsAreZero = 0x0040;
// MXCSR of plug-in code: all six exceptions masked, round to nearest,
// flush-to-zero and denormals-are-zero. Both are deterministic, so renders
// stay reproducible bit for bit.
inline constexpr std::uint32_t kPluginMxcsr = 0x1F80 | kMxcsrFlushToZero | kMxcsrDenormalsAreZero;

std::uint32_t ReadMxcsr();
void WriteMxcsr(std::uint32_t value);
std::uint16_t ReadX87ControlWord();
void WriteX87ControlWord(std::uint16_t value);

class TFpuGuard {
 public:
  TFpuGuard();
  ~TFpuGuard();
  TFpuGuard(const TFpuGuard&) = delete;
  TFpuGuard& operator=(const TFpuGuard&) = delete;

 private:
  std::uint32_t SavedMxcsr;
  std::uint16_t SavedX87;
};
