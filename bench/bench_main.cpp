// The one main of rumbleon_bench; benchmarks register from their own files.
#include <benchmark/benchmark.h>

BENCHMARK_MAIN();
