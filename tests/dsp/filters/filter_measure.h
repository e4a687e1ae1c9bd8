// Rendering a filter on a second thread while its settings change, for the
// filter, shaper and effect tests that check the exchange of their parts.
#pragma once

#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include "dsp/filters/filter.h"
#include "tests/support/owner_lock.h"
#include "tests/support/signal_measure.h"

namespace filter_test {

// Runs renderBlock(block) on a second thread, under the owner's lock per
// block as the audio thread does, while this thread calls change(i) for
// i = 0, 1, ... under the same lock, as an owner does, until it has made 2000
// changes and the renderer 500 blocks.
template <class TRender, class TChange>
void ChangeWhileRendering(TRender renderBlock, TChange change) {
  std::atomic<bool> stop{false};
  std::atomic<int> blocks{0};
  std::thread render([&] {
    std::vector<float> block = testing_support::Noise(44, 5);
    while (!stop.load()) {
      testing_support::TOwnerLockGuard lock;
      blocks.fetch_add(1);
      renderBlock(block);
      for (float& v : block) v = std::isfinite(v) ? std::fmod(v * 1.7f + 0.3f, 1.0f) : 0.5f;
    }
  });
  for (int i = 0; i < 2000 || blocks.load() < 500; ++i) {
    testing_support::TOwnerLockGuard lock;
    change(i);
  }
  stop.store(true);
  render.join();
}

}  // namespace filter_test
