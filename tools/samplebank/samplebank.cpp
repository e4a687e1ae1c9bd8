// Writes the built-in bass bank (resource "SAMPLERBANKFX"): every program of
// bank_layout.h sampled at every zone root, each sample a rendered attack
// followed by a loop of whole periods, normalised to 90 % of full scale in
// 16-bit mono. The output depends on nothing but this source (no random
// state, no clock), so every build embeds the same bytes.
//
// usage: rumbleon-samplebank OUTPUT [VERSION]
//   VERSION defaults to "1.68"; "1.50" and older write the compressed forms
//   the reader converts (for inspecting those paths by hand).
#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tools/samplebank/bank_layout.h"
#include "tools/samplebank/programs.h"
#include "tools/samplebank/sample_bank_writer.h"

namespace {

constexpr double kPeak = 0.9 * 32767.0;
// Frames after the loop end that repeat the loop start, for interpolations
// that read ahead of the position.
constexpr std::int32_t kLoopTail = 3;

// Renders one zone. A static loop may begin anywhere within one period
// after the attack: it begins where the waveform steps least, so the seam
// is the smoothest step of the waveform.
TBankSampleSpec MakeSample(TZoneRender& zone, std::int32_t periods, bool staticLoop, std::uint16_t id,
                           const std::string& name) {
  const std::int32_t loop = zone.Render.LoopLength;
  const std::int32_t period = std::max(1, loop / periods);
  if (staticLoop) zone.Render.ExtraFrames = period + 1;
  const std::vector<double> wave = RenderSample(zone.Render);
  std::int32_t loopStart = zone.Render.LoopStart;
  if (staticLoop) {
    const std::int32_t first = std::max(1, loopStart);
    std::int32_t best = first;
    for (std::int32_t n = first; n <= first + period; ++n) {
      if (std::fabs(wave[n] - wave[n - 1]) < std::fabs(wave[best] - wave[best - 1])) best = n;
    }
    loopStart = best;
  }
  const std::int32_t loopEnd = loopStart + loop;
  double peak = 0;
  for (std::int32_t n = 0; n < loopEnd; ++n) peak = std::max(peak, std::fabs(wave[n]));
  const double gain = peak > 0 ? kPeak / peak : 0.0;
  TBankSampleSpec s;
  s.Data.resize(static_cast<std::size_t>(loopEnd + kLoopTail));
  for (std::int32_t n = 0; n < loopEnd; ++n) {
    s.Data[n] = static_cast<std::int16_t>(std::lrint(std::clamp(wave[n] * gain, -32767.0, 32767.0)));
  }
  for (std::int32_t j = 0; j < kLoopTail; ++j) s.Data[loopEnd + j] = s.Data[loopStart + j];

  TSampleHeaderRec& h = s.Header;
  h.LoopMode = kLoopForward;
  h.LoopStart = loopStart;
  h.LoopEnd = loopEnd;
  h.Length = static_cast<std::int32_t>(s.Data.size());
  h.RootKey = static_cast<std::uint8_t>(zone.Info.Root);
  SetShortStr(h.Name, name);
  h.ID = id;
  h.SampleScale = std::bit_cast<float>(kDefaultZoneScaleBits);
  s.Riff = MakeRiffWaveHeader(1, zone.Render.Rate, static_cast<std::uint32_t>(h.Length) * 2);
  return s;
}

// Every field of the zone record set on purpose: the record defaults only
// apply to templates.
TSampleZoneRec MakeZone(const TProgramDesign& design, std::int32_t zone, const TBankSampleSpec& sample) {
  TSampleZoneRec z;
  std::memset(&z, 0, sizeof z);
  z.Gain = 1.0f;
  z.Pan = 0.5f;
  for (std::int32_t i = 0; i < 3; ++i) z.GainLfo[i] = z.PanLfo[i] = z.PitchLfo[i] = 0.0f;
  z.LowKey = static_cast<std::uint8_t>(BankZoneLowKey(zone));
  z.HighKey = static_cast<std::uint8_t>(BankZoneHighKey(zone));
  z.Transpose = 0;
  z.FineTune = 0.0f;
  // Envelope 1 shapes the zone; it holds until the note's release and then
  // fades slowly, so the voice's own envelope decides the release.
  z.Env1On = 1;
  z.Env1AttackMs = design.Env.AttackMs;
  z.Env1DecayMs = design.Env.DecayMs;
  z.Env1Sustain1Ms = z.Env1RiseMs = z.Env1FallMs = z.Env1Sustain2Ms = 0;
  z.Env1SustainLevel = design.Env.Sustain;
  z.Env1ReleaseMs = design.Env.ReleaseMs;
  z.Env1SustainOn = 1;
  z.Env1Curve = design.Env.Curve;
  z.Env1DelayMs = z.Env1HoldMs = 0;
  z.Env1Table = 0;
  z.Env2On = 0;
  z.Env2AttackMs = 1;
  z.Env2DecayMs = 1;
  z.Env2Sustain1Ms = z.Env2RiseMs = z.Env2FallMs = z.Env2Sustain2Ms = 0;
  z.Env2SustainLevel = 1.0f;
  z.Env2ReleaseMs = design.Env.ReleaseMs;
  z.Env2SustainOn = 1;
  z.Env2Curve = 0;
  z.Env2DelayMs = z.Env2HoldMs = 0;
  z.Env2Table = 0;
  z.Env2LevelAmount = 0.0f;
  z.Filter1On = z.Filter2On = 0;
  z.Filter1Type = z.Filter2Type = 0;
  z.Filter1Cutoff = z.Filter2Cutoff = 4096.0f;
  z.Filter1Resonance = z.Filter2Resonance = 0.1f;
  z.Filter1Param3 = z.Filter2Param3 = 0.5f;
  for (std::int32_t i = 0; i < 3; ++i) z.Filter1Lfo[i] = z.Filter2Lfo[i] = 0.0f;
  for (std::int32_t i = 0; i < 2; ++i) z.Filter1Env[i] = z.Filter2Env[i] = 0.0f;
  z.Filter1RangeHz = z.Filter2RangeHz = 0;
  z.Filter1KeyTrack = z.Filter2KeyTrack = 0.0f;
  for (TSampleLfoRec& lfo : z.Lfo) {
    lfo.On = 0;
    lfo.Waveform = 6;
    lfo.Rate = 0.0f;
    lfo.Amount = 1.0f;
    lfo.DelayMs = 0.0f;
    lfo.ResetPhase = 1;
    lfo.Env1Depth = lfo.Env2Depth = 0.0f;
  }
  for (std::int32_t i = 0; i < 3; ++i) z.LfoPitchMode[i] = 0;
  z.DistOn = 0;
  z.DistHighLevel = 0.6f;
  z.DistLowLevel = -0.2f;
  z.DistHighThreshold = 1.2f;
  z.DistLowThreshold = -0.4f;
  z.DistMix = 0.0f;
  for (TSampleShaperRec& shaper : z.Shaper) {
    shaper.On = 0;
    shaper.Amount = 0.5f;
    shaper.Type = 0;
  }
  z.PitchSweepOn = 0;
  z.PitchSweepStart = -12.0f;
  z.PitchSweepEnd = 0.0f;
  z.PitchSweepMs = 100.0f;
  z.PitchReleaseOn = 0;
  z.PitchReleaseOffset = -12.0f;
  z.PitchReleaseMs = 100.0f;
  z.LegatoAttackOn = 0;
  z.LegatoAttackMs = 100.0f;
  z.ModEnvOn = 0;
  for (std::int32_t i = 0; i < 3; ++i) z.PosModBase[i] = z.PosModEnvAmount[i] = 0.5f;
  z.PosModWaveform = 6;
  z.PosModMode = 0;
  z.ModEnvAttackMs = 50;
  z.ModEnvDecayMs = 100;
  z.ModEnvSustainLevel = 0.5f;
  z.ModEnvHold = 1;
  z.ModEnvReleaseMs = 100;
  z.SampleID = sample.Header.ID;
  z.SampleRef = 0;
  z.Param548 = 1.0f;
  // The sample's own loop, root and scale are used; the override values
  // repeat them so that switching an override on changes nothing.
  z.LoopModeOverride = 0;
  z.LoopMode = sample.Header.LoopMode;
  z.LoopPointsOverride = 0;
  z.LoopStart = sample.Header.LoopStart;
  z.LoopEnd = sample.Header.LoopEnd;
  z.RootKeyOverride = 0;
  z.RootKey = sample.Header.RootKey;
  z.ScaleOverride = 0;
  z.SampleScale = sample.Header.SampleScale;
  z.Env1PitchSemis = z.Env1PitchCents = z.Env2PitchSemis = z.Env2PitchCents = 0;
  z.PitchTracking = 100;
  z.PitchTrackingHigh = 0;
  z.LevelKeyTrack = 0.0f;
  z.Env1HoldKeyTrack = z.Env1DecayKeyTrack = z.Env2HoldKeyTrack = z.Env2DecayKeyTrack = 0.0f;
  return z;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: rumbleon-samplebank OUTPUT [VERSION]\n");
    return 2;
  }
  const std::string version = argc == 3 ? argv[2] : "1.68";
  if (version.size() != 4) {
    std::fprintf(stderr, "rumbleon-samplebank: the version has 4 characters, e.g. 1.68\n");
    return 2;
  }
  const std::vector<TProgramDesign> designs = BankDesigns();

  TBankSpec bank;
  bank.Name = "Rumbleon2 Bass";
  bank.Text = "Built-in bass multi-samples";
  bank.Samples.resize(static_cast<std::size_t>(kBankSampleCount));

  // Samples are independent: render them on a few threads; each lands in its
  // own slot, so the output does not depend on the scheduling.
  std::atomic<std::int32_t> next{0};
  auto worker = [&] {
    for (std::int32_t i; (i = next.fetch_add(1)) < kBankSampleCount;) {
      const std::int32_t program = i / kBankZoneCount, zone = i % kBankZoneCount;
      TZoneRender plan = PlanZone(designs[program], zone);
      const std::string name = std::string(kBankPrograms[program].Short) + " " + BankNoteName(kBankZoneRoots[zone]);
      const bool staticLoop = designs[program].LoopKeys == 0;
      bank.Samples[i] = MakeSample(plan, designs[program].Periods, staticLoop, static_cast<std::uint16_t>(i + 1), name);
    }
  };
  const unsigned threads = std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
  std::vector<std::thread> pool;
  for (unsigned t = 1; t < threads; ++t) pool.emplace_back(worker);
  worker();
  for (std::thread& t : pool) t.join();

  for (std::int32_t program = 0; program < kBankProgramCount; ++program) {
    TBankProgramSpec p;
    p.Number = static_cast<std::uint8_t>(program);
    p.Name = kBankPrograms[program].Name;
    for (std::int32_t zone = 0; zone < kBankZoneCount; ++zone) {
      p.Zones.push_back(MakeZone(designs[program], zone, bank.Samples[program * kBankZoneCount + zone]));
    }
    bank.Programs.push_back(std::move(p));
  }

  const std::vector<std::uint8_t> bytes = WriteSampleBank(bank, version);
  std::FILE* out = std::fopen(argv[1], "wb");
  if (!out) {
    std::perror(argv[1]);
    return 1;
  }
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
  if (std::fclose(out) != 0 || !ok) {
    std::fprintf(stderr, "rumbleon-samplebank: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
