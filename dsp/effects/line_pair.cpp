#include "dsp/effects/line_pair.h"

#include <algorithm>

void TLinePair::Release() {
  std::array<std::unique_ptr<float[]>, 2> old;
  std::swap(Lines, old);
  Floats = 0;
}

void TLinePair::Clear() {
  for (auto& line : Lines)
    if (line) std::fill(line.get(), line.get() + Floats, 0.0f);
}

void TLinePair::Visit(TLineVisitor& visitor) const {
  for (const auto& line : Lines)
    if (line) visitor.Run(line.get(), static_cast<std::size_t>(Floats));
}

void TLinePair::Exchange(TLineExchange& exchange) {
  for (auto& line : Lines)
    if (line) exchange.Exchange(line, static_cast<std::size_t>(Floats));
}
