#include "framework/vst/plugin_entry.h"

#include "platform/fpu_guard.h"

TVstEffect* RunPluginMain(TVstHostCallback host, TPluginFactory factory) {
  TFpuGuard guard;
  try {
    if (host == nullptr || factory == nullptr) return nullptr;
    if (host(nullptr, kHostVersion, 0, 0, nullptr, 0.0f) == 0) return nullptr;
    std::unique_ptr<TDSPVSTBase> plugin = factory();
    if (!plugin) return nullptr;
    plugin->InitPlugin(host);
    return plugin.release()->GetEffect();
  } catch (...) {
    return nullptr;
  }
}
