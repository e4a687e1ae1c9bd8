// What the processor offers beyond the x86-64 baseline: our stand-in for the
// processor's feature query. Probed once, on first use; safe to call from
// static constructors (which may run before the runtime's own probe). The
// vector forms of the DSP kernels choose their width from it at load time.
#pragma once

struct TCpuFeatures {
  bool Sse = false;
  bool Avx2 = false;
  bool Avx512 = false;  // AVX-512 F and VL (with AVX2)
};

const TCpuFeatures& CpuFeatures();
