// The global plug-in lock: one re-entrant lock for the whole module. It
// guards processing, the MIDI queue, program application, voice-array and
// DSP-object rebuilds, bank loading and editor-driven parameter changes.
// Lock order: the global lock before the postback queue's lock. Never call
// the host or show a dialog while holding it.
#pragma once

#include <mutex>

std::recursive_mutex& GlobalPluginLock();

// Scoped hold of the global plug-in lock.
class TGlobalLockGuard {
 public:
  TGlobalLockGuard() : Guard(GlobalPluginLock()) {}

 private:
  std::lock_guard<std::recursive_mutex> Guard;
};
