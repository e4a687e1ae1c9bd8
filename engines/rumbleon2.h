// The instrument the module creates: the last link of the class chain. It
// names the plug-in ("Rumbleon2", unique ID "Zorp") and makes its voices:
// each voice is a TDSPSamplerInstrVoice2 whose two sample players read the
// instrument's sample store, with envelopes that keep their block output
// for the render loop. (Tests derive from it to give the editor a window of
// their own.)
#pragma once

#include <cstdint>

#include "engines/sampler_plugin2.h"

class TRumbleon2 : public TSamplerPlugin2 {
 public:
  TRumbleon2();

  // A new sampler voice into slot `index` (voice-array rebuilds, under the
  // instance lock).
  void CreateVoice(std::int32_t index) override;
};
