#include "module/plugin_factory.h"

#include "framework/core/dsp_plugin_x.h"

namespace {
// The instrument's identity on the plug-in core; the engine layers come
// between the core and this class.
class TRumbleon2Plugin : public TDSPPluginX {
 public:
  TRumbleon2Plugin() {
    EffectName = "Rumbleon2";
    SetUniqueIDChars('Z', 'o', 'r', 'p');
  }
};
}  // namespace

std::unique_ptr<TDSPVSTBase> CreateRumbleonPlugin() { return std::make_unique<TRumbleon2Plugin>(); }
