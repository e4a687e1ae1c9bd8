// The module the whole-instrument benchmarks load: RUMBLEON_BENCH_MODULE in
// the environment, else the one the build names.
#pragma once

#include <cstdlib>
#include <string>

#ifndef RUMBLEON_BENCH_MODULE_PATH
#define RUMBLEON_BENCH_MODULE_PATH ""
#endif

inline std::string BenchModulePath() {
  const char* env = std::getenv("RUMBLEON_BENCH_MODULE");
  return env && *env ? env : RUMBLEON_BENCH_MODULE_PATH;
}
