#include "framework/base/global_lock.h"

TPluginLock& GlobalPluginLock() {
  static TPluginLock lock;
  return lock;
}
