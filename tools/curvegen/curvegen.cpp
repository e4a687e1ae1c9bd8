// Writes the curve laws' tables and attack shapes (dsp/oscillators/
// curve_data.h) as the bytes of one TCurveData record, which the dsp
// library embeds: computed once per build instead of at every load of the
// module. The same formulas as the library's own CurveLaw (this program
// compiles curve_laws.cpp), so the bytes are those the library would make.
#include <cstdio>
#include <memory>

#include "dsp/oscillators/curve_data.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: rumbleon-curvegen OUTPUT\n");
    return 2;
  }
  const auto data = std::make_unique<TCurveData>();
  ComputeCurveData(*data);
  std::FILE* out = std::fopen(argv[1], "wb");
  if (!out) {
    std::perror(argv[1]);
    return 1;
  }
  const bool ok = std::fwrite(data.get(), sizeof(TCurveData), 1, out) == 1;
  if (std::fclose(out) != 0 || !ok) {
    std::fprintf(stderr, "rumbleon-curvegen: cannot write %s\n", argv[1]);
    std::remove(argv[1]);
    return 1;
  }
  return 0;
}
