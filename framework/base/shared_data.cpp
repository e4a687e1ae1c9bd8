#include "framework/base/shared_data.h"

#include <array>
#include <atomic>
#include <mutex>

namespace {

std::atomic<std::int32_t> OpenInstances{0};

struct TKept {
  void* Object;
  void (*Free)(void*);
};

// Trivially destructible, so registering stays possible at any time; a few
// kinds of shared data exist (one entry each).
std::mutex KeptLock;
std::array<TKept, 16> Kept{};
std::size_t KeptCount = 0;
bool Released = false;

// A namespace-scope object made when the module is loaded: destroyed after
// every function-local static of the module.
struct TRelease {
  ~TRelease() {
    std::lock_guard<std::mutex> guard(KeptLock);
    Released = true;
    if (OpenInstances.load() != 0) return;
    for (std::size_t i = KeptCount; i-- > 0;) Kept[i].Free(Kept[i].Object);
    KeptCount = 0;
  }
} Release;

}  // namespace

void InstanceOpened() { OpenInstances.fetch_add(1); }
void InstanceClosed() { OpenInstances.fetch_sub(1); }
std::int32_t OpenInstanceCount() { return OpenInstances.load(); }

void shared_data_detail::Keep(void* object, void (*free)(void*)) {
  std::lock_guard<std::mutex> guard(KeptLock);
  // Made while the module goes, or beyond the table: kept to the end.
  if (Released || KeptCount == Kept.size()) return;
  Kept[KeptCount++] = {object, free};
}
