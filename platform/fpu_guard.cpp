#include "platform/fpu_guard.h"

#include <xmmintrin.h>

std::uint32_t ReadMxcsr() { return _mm_getcsr(); }

void WriteMxcsr(std::uint32_t value) { _mm_setcsr(value); }

std::uint16_t ReadX87ControlWord() {
  std::uint16_t word = 0;
  asm volatile("fnstcw %0" : "=m"(word));
  return word;
}

void WriteX87ControlWord(std::uint16_t value) {
  // Clear pending x87 exceptions first, or unmasking one would trap at the
  // next floating-point instruction.
  asm volatile("fnclex\n\tfldcw %0" : : "m"(value));
}

TFpuGuard::TFpuGuard() : SavedMxcsr(ReadMxcsr()), SavedX87(ReadX87ControlWord()) {
  WriteMxcsr(kPluginMxcsr);
  WriteX87ControlWord(PluginControlWord);
}

TFpuGuard::~TFpuGuard() {
  // The saved value carries the caller's own sticky flags, not ours.
  WriteMxcsr(SavedMxcsr);
  WriteX87ControlWord(SavedX87);
}
