// A sampler instrument playing a bank built in memory, with its own store
// and 44.1 kHz settings whose block is one millisecond, as a voice drives
// it: every call under the instance lock, as the render loop holds it.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "dsp/sampler/sampler_instrument.h"
#include "framework/base/streams.h"
#include "tests/support/owner_lock.h"
#include "tools/samplebank/sample_bank_writer.h"

namespace sampler_test {

// A mono or stereo sample of `frames` frames: `periods` whole sine periods
// (with a third harmonic, so the shape shows interpolation), the right
// channel phase-shifted.
inline TBankSampleSpec SineSample(std::uint16_t id, std::uint16_t channels, std::int32_t frames, double periods,
                                  std::uint8_t loopMode, std::int32_t loopStart, std::int32_t loopEnd,
                                  std::uint8_t root = 60, std::int32_t rate = 44100) {
  TBankSampleSpec s;
  s.Header.LoopMode = loopMode;
  s.Header.LoopStart = loopStart;
  s.Header.LoopEnd = loopEnd;
  s.Header.Length = frames * channels;
  s.Header.RootKey = root;
  SetShortStr(s.Header.Name, "S" + std::to_string(id));
  s.Header.ID = id;
  s.Header.SampleScale = 1.0f / 32767.0f;
  s.Riff = MakeRiffWaveHeader(channels, rate, static_cast<std::uint32_t>(s.Header.Length) * 2);
  for (std::int32_t k = 0; k < frames; ++k) {
    const double w = 2 * std::numbers::pi * periods * k / frames;
    for (std::uint16_t c = 0; c < channels; ++c) {
      const double v = 0.8 * std::sin(w + c) + 0.15 * std::sin(3 * w);
      s.Data.push_back(static_cast<std::int16_t>(std::lrint(v * 32767)));
    }
  }
  return s;
}

// A zone over all keys on the sample, with every field written.
inline TSampleZoneRec PlainZone(std::uint16_t sampleId, std::uint8_t low = 0, std::uint8_t high = 127) {
  TSampleZoneRec z;
  SetZoneDefaults(z);
  z.SampleID = sampleId;
  z.LowKey = low;
  z.HighKey = high;
  z.Env1Curve = 0;
  z.Env1AttackMs = 0;
  z.Env1DecayMs = 0;
  z.Env1ReleaseMs = 20;
  return z;
}

struct TInstrumentRig {
  explicit TInstrumentRig(const TBankSpec& bank) {
    const std::vector<std::uint8_t> bytes = WriteSampleBank(bank, "1.68");
    TMemoryStream stream(bytes);
    Store.NewBank(0);
    EXPECT_TRUE(Store.LoadBankFromStream(stream, 0, ""));
    Store.SetShared();
    Sampler.SetStore(&Store);
    Sampler.SetAudioSettings(&Settings);
  }
  void NoteOn(std::int32_t note, float pitch, std::int32_t program = 0) {
    testing_support::TOwnerLockGuard lock;
    if (Sampler.ZoneCount() == 0 || Sampler.GetProgram() != program) Sampler.SetProgram(0, program);
    Sampler.Start();
    Sampler.Level = 1.0f;
    Sampler.SetNote(note);
    Sampler.SetPitch(pitch);
    Sampler.PrepareNote();
  }
  void Release() {
    testing_support::TOwnerLockGuard lock;
    Sampler.Release();
  }
  // Interleaved left/right of `blocks` blocks.
  std::vector<float> Render(std::int32_t blocks) {
    std::vector<float> out;
    testing_support::TOwnerLockGuard lock;
    for (std::int32_t b = 0; b < blocks; ++b) {
      Sampler.RenderBlock();
      out.insert(out.end(), Sampler.Output(), Sampler.Output() + 2 * Settings.BlockSize);
    }
    return out;
  }
  // The left channel of `blocks` blocks.
  std::vector<float> RenderLeft(std::int32_t blocks) {
    const std::vector<float> both = Render(blocks);
    std::vector<float> left;
    for (std::size_t i = 0; i < both.size(); i += 2) left.push_back(both[i]);
    return left;
  }

  TSampler Store;
  TAudioSettingsRec Settings = MakeAudioSettings(44100, 44);
  TDSPSamplerInstr Sampler;
};

}  // namespace sampler_test
