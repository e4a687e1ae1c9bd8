// Floating-point environment of every host entry.
//
// Plug-in code runs with every floating-point exception masked and round to
// nearest even, so a division by zero gives an infinity and an invalid
// operation a NaN, whatever the host had set. On return the caller's own
// MXCSR and x87 control word come back. The x87 24-bit precision mode has no
// SSE counterpart and is not emulated.
#pragma once

#include <cstdint>

// x87 control word of plug-in code: all six exceptions masked, round to
// nearest; the precision field stays at 64 bits (long double helpers).
inline constexpr std::uint16_t PluginControlWord = 0x037F;
// MXCSR of plug-in code: all six exceptions masked, round to nearest, no
// flush-to-zero or denormals-are-zero (results stay reproducible).
inline constexpr std::uint32_t kPluginMxcsr = 0x1F80;

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
