#include "framework/base/global_lock.h"

std::recursive_mutex& GlobalPluginLock() {
  static std::recursive_mutex lock;
  return lock;
}
