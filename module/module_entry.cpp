// The module's exported entries. Hosts look for `VSTPluginMain`, then
// `main`; both are the same function. C++ reserves the name ::main, so the
// second export is bound to that symbol name by an asm label. The linker
// version script exports these two and nothing else.
#include "framework/core/change_builder.h"
#include "framework/vst/plugin_entry.h"
#include "module/plugin_factory.h"

namespace {
// In a host, what the audio thread asks for is built by the module's worker.
TVstEffect* CreateInstance(TVstHostCallback host) {
  SetAsynchronousBuilds(true);
  return RunPluginMain(host, &CreateRumbleonPlugin);
}
}  // namespace

extern "C" __attribute__((visibility("default"))) TVstEffect* VSTPluginMain(TVstHostCallback host) {
  return CreateInstance(host);
}

extern "C" __attribute__((visibility("default"))) TVstEffect* RumbleonMainEntry(TVstHostCallback host) __asm__("main");

TVstEffect* RumbleonMainEntry(TVstHostCallback host) { return CreateInstance(host); }
