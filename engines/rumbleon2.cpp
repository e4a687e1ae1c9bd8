#include "engines/rumbleon2.h"

#include <memory>

TRumbleon2::TRumbleon2() {
  EffectName = "Rumbleon2";
  SetUniqueIDChars('Z', 'o', 'r', 'p');
  // The instrument has an editor: the layers build its panels and controls.
  HasGuiFlag = true;
}

void TRumbleon2::CreateVoice(std::int32_t index) {
  auto voice = std::make_unique<TDSPSamplerInstrVoice2>();
  voice->Player1().SetStore(&SampleBank());
  voice->Player2().SetStore(&SampleBank());
  // The render loop reads the envelopes' block output.
  voice->Env1.SetUsesBuffers(true);
  voice->Env2.SetUsesBuffers(true);
  SetVoice(index, std::move(voice));
}
