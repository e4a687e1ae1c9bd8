#include "platform/cpu_features.h"

const TCpuFeatures& CpuFeatures() {
  static const TCpuFeatures features = [] {
    __builtin_cpu_init();
    TCpuFeatures f;
    f.Sse = __builtin_cpu_supports("sse");
    f.Avx2 = __builtin_cpu_supports("avx2");
    f.Avx512 = f.Avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
    return f;
  }();
  return features;
}
