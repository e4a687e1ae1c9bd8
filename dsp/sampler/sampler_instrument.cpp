#include "dsp/sampler/sampler_instrument.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "dsp/filters/multi_filter.h"
#include "dsp/oscillators/oscillator.h"
#include "dsp/shapers/multi_shaper.h"
#include "dsp/shapers/threshold_distortion.h"

namespace {

// The seed of zone `zone`'s LFO j (0..2; 3 the position oscillator).
std::uint64_t ZoneSeed(std::uint64_t seed, std::int32_t zone, int j) {
  return MixSeed(seed, static_cast<std::uint64_t>(zone) * 4 + static_cast<std::uint64_t>(j));
}

// Block counters stop here instead of overflowing (a note held for hours).
constexpr std::int32_t kTimeLimit = std::numeric_limits<std::int32_t>::max() / 2;
// Longest float time, in samples (the LFO delays, pitch sweep and release).
constexpr float kMaxTimeSamples = static_cast<float>(1 << 26);
// Largest playback increment, frames per sample: far beyond any musical
// use, and it keeps the position finite.
constexpr double kMaxIncrement = 1 << 20;

// The zone settings that are times: they follow the samples per millisecond.
constexpr std::int32_t kTimeSettingIds[] = {
    kZoneEnv1Attack,   kZoneEnv1Decay,    kZoneEnv1Release, kZoneEnv1Sustain1, kZoneEnv1Sustain2, kZoneEnv1Rise,
    kZoneEnv1Fall,     kZoneEnv1Delay,    kZoneEnv1Hold,    kZoneEnv2Attack,   kZoneEnv2Decay,    kZoneEnv2Release,
    kZoneEnv2Sustain1, kZoneEnv2Sustain2, kZoneEnv2Rise,    kZoneEnv2Fall,     kZoneEnv2Delay,    kZoneEnv2Hold,
    kZoneLfo1Delay,    kZoneLfo2Delay,    kZoneLfo3Delay,   kZonePitchSweep,   kZonePitchRelease, kZoneLegatoAttack};

// A float time in samples, rounded; negative or not a number: 0.
std::int32_t FloatMsToSamples(float ms, std::int32_t samplesPerMs, float* reciprocal = nullptr) {
  float samples = ms * static_cast<float>(samplesPerMs);
  if (!(samples > 0.0f)) samples = 0.0f;
  const auto length = static_cast<std::int32_t>(TDSPBaseControl::RoundInt(std::min(samples, kMaxTimeSamples)));
  if (reciprocal) *reciprocal = length > 0 ? 1.0f / static_cast<float>(length) : 0.0f;
  return length;
}

// A value that is not a number or infinite becomes the 0..limit clamp's low
// end; the minimum test first.
float ClampLevel(float v, float high) {
  if (!(v >= 0.0f)) return 0.0f;
  return v > high ? high : v;
}

// Replaces every float setting that is not finite by its default, so a
// damaged zone cannot spread NaN through the voice.
void SanitizeZone(TSampleZoneRec& z) {
  TSampleZoneRec d;
  SetZoneDefaults(d);
  auto fix = [](float& v, float standard) {
    if (!std::isfinite(v)) v = standard;
  };
  fix(z.Gain, d.Gain);
  fix(z.Pan, d.Pan);
  fix(z.FineTune, d.FineTune);
  fix(z.Env1SustainLevel, d.Env1SustainLevel);
  fix(z.Env2SustainLevel, d.Env2SustainLevel);
  fix(z.Filter1Cutoff, d.Filter1Cutoff);
  fix(z.Filter1Resonance, d.Filter1Resonance);
  fix(z.Filter1Param3, d.Filter1Param3);
  fix(z.Filter2Cutoff, d.Filter2Cutoff);
  fix(z.Filter2Resonance, d.Filter2Resonance);
  fix(z.Filter2Param3, d.Filter2Param3);
  for (int i = 0; i < 3; ++i) {
    fix(z.GainLfo[i], 0.0f);
    fix(z.PanLfo[i], 0.0f);
    fix(z.PitchLfo[i], 0.0f);
    fix(z.Filter1Lfo[i], 0.0f);
    fix(z.Filter2Lfo[i], 0.0f);
    fix(z.PosModBase[i], d.PosModBase[i]);
    fix(z.PosModEnvAmount[i], d.PosModEnvAmount[i]);
    TSampleLfoRec& lfo = z.Lfo[i];
    fix(lfo.Rate, d.Lfo[i].Rate);
    fix(lfo.Amount, d.Lfo[i].Amount);
    fix(lfo.DelayMs, d.Lfo[i].DelayMs);
    fix(lfo.Env1Depth, 0.0f);
    fix(lfo.Env2Depth, 0.0f);
  }
  for (int i = 0; i < 2; ++i) {
    fix(z.Filter1Env[i], 0.0f);
    fix(z.Filter2Env[i], 0.0f);
    fix(z.Shaper[i].Amount, d.Shaper[i].Amount);
  }
  fix(z.DistHighLevel, d.DistHighLevel);
  fix(z.DistLowLevel, d.DistLowLevel);
  fix(z.DistHighThreshold, d.DistHighThreshold);
  fix(z.DistLowThreshold, d.DistLowThreshold);
  fix(z.DistMix, d.DistMix);
  fix(z.PitchSweepStart, d.PitchSweepStart);
  fix(z.PitchSweepEnd, d.PitchSweepEnd);
  fix(z.PitchSweepMs, d.PitchSweepMs);
  fix(z.PitchReleaseOffset, d.PitchReleaseOffset);
  fix(z.PitchReleaseMs, d.PitchReleaseMs);
  fix(z.LegatoAttackMs, d.LegatoAttackMs);
  fix(z.ModEnvSustainLevel, d.ModEnvSustainLevel);
  fix(z.Env2LevelAmount, 0.0f);
  fix(z.LevelKeyTrack, 0.0f);
  fix(z.Filter1KeyTrack, 0.0f);
  fix(z.Filter2KeyTrack, 0.0f);
  fix(z.Env1HoldKeyTrack, 0.0f);
  fix(z.Env1DecayKeyTrack, 0.0f);
  fix(z.Env2HoldKeyTrack, 0.0f);
  fix(z.Env2DecayKeyTrack, 0.0f);
}

// The stage routines: the zone's left object on the left working sample,
// the right one on the right.
void NoStage(TZonePlayState& /*z*/) {}
inline float StageStep(TDSPMultiFilter& f, float x) { return f.ProcessSample(x); }
inline float StageStep(TDSPMultiShaper1& s, float x) { return s.ProcessSample(x); }
inline float StageStep(const TDSPDistortion1& d, float x) { return d.Step(x); }
template <auto Pair>
void PairStage(TZonePlayState& z) {
  auto& pair = z.*Pair;
  z.WorkL = StageStep(*pair[0], z.WorkL);
  z.WorkR = StageStep(*pair[1], z.WorkR);
}

// Until PrepareNote has chosen a renderer for the note, a zone that is
// started finishes at once and adds nothing.
void RenderZoneUnprepared(TDSPSamplerInstr& /*s*/, TZonePlayState& z) {
  z.State = TZonePlayState::kFinished;
  z.Env1.End();
  z.Env2.End();
}

template <class T>
void ForBoth(std::unique_ptr<T> (&pair)[2], auto action) {
  for (std::unique_ptr<T>& object : pair)
    if (object) action(*object);
}

// The cutoff of a filter pair from the zone's base cutoff, key tracking,
// LFOs and envelopes (range in Hz, or as a pitch).
void ModulateFilter(TZonePlayState& z, std::unique_ptr<TDSPMultiFilter> (&filter)[2], float base, float keyTrack,
                    const float lfoAmount[3], const float envDepth[2], bool rangeHz, std::int32_t keyOffset) {
  const auto k = static_cast<float>(keyOffset);
  float f;
  if (rangeHz) {
    f = base + k * keyTrack * base;
    for (int j = 0; j < 3; ++j)
      if (z.Lfo[j]) f += lfoAmount[j] * z.LfoValue[j];
    f = f - 0.5f * f * ((1.0f - z.Env1.Value) * envDepth[0] + (1.0f - z.Env2.Value) * envDepth[1]);
  } else {
    // A base at or below 0 Hz has no pitch: it counts as the lowest cutoff.
    float n = TDSPBaseControl::FreqToPitch(std::max(base, kFilterCutoffMin));
    n = n + k * keyTrack * n;
    for (int j = 0; j < 3; ++j)
      if (z.Lfo[j]) n += lfoAmount[j] * z.LfoValue[j];
    n += 100.0f * (z.Env1.Linear * envDepth[0] + z.Env2.Linear * envDepth[1]);
    f = TDSPBaseControl::PitchToFreq(std::min(n, 1000.0f));
  }
  if (std::isnan(f)) return;
  f = std::clamp(f, kFilterCutoffMin, kFilterCutoffMax);
  ForBoth(filter, [f](TDSPMultiFilter& m) { m.SetCutoff(f); });
}

// Applies the zone setting `id` to the play state's derived values and
// objects. Only the time settings use samplesPerMs.
void ApplyZoneSetting(TZonePlayState& z, std::int32_t id, std::int32_t perMs) {
  z.Unsettle();
  const TSampleZoneRec& r = z.Zone;
  TZoneEnvelope& e1 = z.Env1;
  TZoneEnvelope& e2 = z.Env2;
  auto filterLfo = [&z, &r](int filter) {
    const float* amounts = filter == 0 ? r.Filter1Lfo : r.Filter2Lfo;
    const bool hz = (filter == 0 ? r.Filter1RangeHz : r.Filter2RangeHz) == 1;
    for (int j = 0; j < 3; ++j) z.FilterLfoAmount[filter][j] = amounts[j] * (hz ? 10000.0f : 100.0f);
  };
  auto lfo = [&z](int j, auto action) {
    if (z.Lfo[j]) action(*z.Lfo[j]);
  };
  switch (id) {
    case kZoneTranspose:
    case kZoneFineTune:
      z.PitchOffset = static_cast<float>(r.Transpose) + r.FineTune;
      break;
    case kZoneEnv1Attack:
      SetStageLength(r.Env1AttackMs, perMs, e1.AttackLength, &e1.AttackSlope);
      break;
    case kZoneEnv1Decay:
      SetStageLength(r.Env1DecayMs, perMs, e1.DecayLength, &e1.DecaySlope);
      break;
    case kZoneEnv1Release:
      SetStageLength(r.Env1ReleaseMs, perMs, e1.ReleaseLength, &e1.ReleaseSlope);
      break;
    case kZoneEnv1Sustain1:
      SetStageLength(r.Env1Sustain1Ms, perMs, e1.Sustain1Length);
      break;
    case kZoneEnv1Sustain2:
      SetStageLength(r.Env1Sustain2Ms, perMs, e1.Sustain2Length);
      break;
    case kZoneEnv1Rise:
      SetStageLength(r.Env1RiseMs, perMs, e1.RiseLength, &e1.RiseSlope);
      break;
    case kZoneEnv1Fall:
      SetStageLength(r.Env1FallMs, perMs, e1.FallLength, &e1.FallSlope);
      break;
    case kZoneEnv1Delay:
      SetStageLength(r.Env1DelayMs, perMs, e1.DelayLength);
      break;
    case kZoneEnv1Hold:
      SetStageLength(r.Env1HoldMs, perMs, e1.HoldLength);
      break;
    case kZoneEnv2Attack:
      SetStageLength(r.Env2AttackMs, perMs, e2.AttackLength, &e2.AttackSlope);
      break;
    case kZoneEnv2Decay:
      SetStageLength(r.Env2DecayMs, perMs, e2.DecayLength, &e2.DecaySlope);
      break;
    case kZoneEnv2Release:
      SetStageLength(r.Env2ReleaseMs, perMs, e2.ReleaseLength, &e2.ReleaseSlope);
      break;
    case kZoneEnv2Sustain1:
      SetStageLength(r.Env2Sustain1Ms, perMs, e2.Sustain1Length);
      break;
    case kZoneEnv2Sustain2:
      SetStageLength(r.Env2Sustain2Ms, perMs, e2.Sustain2Length);
      break;
    case kZoneEnv2Rise:
      SetStageLength(r.Env2RiseMs, perMs, e2.RiseLength, &e2.RiseSlope);
      break;
    case kZoneEnv2Fall:
      SetStageLength(r.Env2FallMs, perMs, e2.FallLength, &e2.FallSlope);
      break;
    case kZoneEnv2Delay:
      SetStageLength(r.Env2DelayMs, perMs, e2.DelayLength);
      break;
    case kZoneEnv2Hold:
      SetStageLength(r.Env2HoldMs, perMs, e2.HoldLength);
      break;
    case kZoneFilter1Cutoff:
      ForBoth(z.Filter1, [&](TDSPMultiFilter& f) { f.SetCutoff(r.Filter1Cutoff); });
      break;
    case kZoneFilter1Resonance:
      ForBoth(z.Filter1, [&](TDSPMultiFilter& f) { f.SetResonance(r.Filter1Resonance); });
      break;
    case kZoneFilter1Param3:
      ForBoth(z.Filter1, [&](TDSPMultiFilter& f) { f.SetParam3(r.Filter1Param3); });
      break;
    case kZoneFilter1Type:
      ForBoth(z.Filter1, [&](TDSPMultiFilter& f) { f.SetFilterType(r.Filter1Type); });
      break;
    case kZoneFilter2Cutoff:
      ForBoth(z.Filter2, [&](TDSPMultiFilter& f) { f.SetCutoff(r.Filter2Cutoff); });
      break;
    case kZoneFilter2Resonance:
      ForBoth(z.Filter2, [&](TDSPMultiFilter& f) { f.SetResonance(r.Filter2Resonance); });
      break;
    case kZoneFilter2Param3:
      ForBoth(z.Filter2, [&](TDSPMultiFilter& f) { f.SetParam3(r.Filter2Param3); });
      break;
    case kZoneFilter2Type:
      ForBoth(z.Filter2, [&](TDSPMultiFilter& f) { f.SetFilterType(r.Filter2Type); });
      break;
    case kZoneFilter1LfoAmount1:
    case kZoneFilter1LfoAmount2:
    case kZoneFilter1LfoAmount3:
    case kZoneFilter1LfoRange:
      filterLfo(0);
      break;
    case kZoneFilter2LfoAmount1:
    case kZoneFilter2LfoAmount2:
    case kZoneFilter2LfoAmount3:
    case kZoneFilter2LfoRange:
      filterLfo(1);
      break;
    case kZoneDistortionMix:
      ForBoth(z.Distortion, [&](TDSPDistortion1& d) { d.SetMix(r.DistMix); });
      break;
    case kZoneDistortionHighThreshold:
      ForBoth(z.Distortion, [&](TDSPDistortion1& d) { d.SetHighThreshold(r.DistHighThreshold); });
      break;
    case kZoneDistortionLowThreshold:
      ForBoth(z.Distortion, [&](TDSPDistortion1& d) { d.SetLowThreshold(r.DistLowThreshold); });
      break;
    case kZoneDistortionHighLevel:
      ForBoth(z.Distortion, [&](TDSPDistortion1& d) { d.SetHighLevel(r.DistHighLevel); });
      break;
    case kZoneDistortionLowLevel:
      ForBoth(z.Distortion, [&](TDSPDistortion1& d) { d.SetLowLevel(r.DistLowLevel); });
      break;
    case kZoneShaper1Amount:
      ForBoth(z.Shaper1, [&](TDSPMultiShaper1& s) { s.SetAmount(r.Shaper[0].Amount); });
      break;
    case kZoneShaper2Amount:
      ForBoth(z.Shaper2, [&](TDSPMultiShaper1& s) { s.SetAmount(r.Shaper[1].Amount); });
      break;
    case kZoneShaper1Type:
      ForBoth(z.Shaper1, [&](TDSPMultiShaper1& s) { s.SetShape(r.Shaper[0].Type); });
      break;
    case kZoneShaper2Type:
      ForBoth(z.Shaper2, [&](TDSPMultiShaper1& s) { s.SetShape(r.Shaper[1].Type); });
      break;
    case kZoneLfo1Waveform:
      lfo(0, [&](TDSPOscillator& o) { o.SetWaveform(r.Lfo[0].Waveform); });
      break;
    case kZoneLfo2Waveform:
      lfo(1, [&](TDSPOscillator& o) { o.SetWaveform(r.Lfo[1].Waveform); });
      break;
    case kZoneLfo3Waveform:
      lfo(2, [&](TDSPOscillator& o) { o.SetWaveform(r.Lfo[2].Waveform); });
      break;
    case kZoneLfo1Rate:
      lfo(0, [&](TDSPOscillator& o) { o.SetFrequency(TDSPBaseControl::PitchToFreq(r.Lfo[0].Rate) * 10.0f); });
      break;
    case kZoneLfo2Rate:
      lfo(1, [&](TDSPOscillator& o) { o.SetFrequency(TDSPBaseControl::PitchToFreq(r.Lfo[1].Rate) * 10.0f); });
      break;
    case kZoneLfo3Rate:
      lfo(2, [&](TDSPOscillator& o) { o.SetFrequency(TDSPBaseControl::PitchToFreq(r.Lfo[2].Rate) * 10.0f); });
      break;
    case kZoneLfo1Amount:
      lfo(0, [&](TDSPOscillator& o) { o.SetGain(r.Lfo[0].Amount); });
      break;
    case kZoneLfo2Amount:
      lfo(1, [&](TDSPOscillator& o) { o.SetGain(r.Lfo[1].Amount); });
      break;
    case kZoneLfo3Amount:
      lfo(2, [&](TDSPOscillator& o) { o.SetGain(r.Lfo[2].Amount); });
      break;
    case kZoneLfo1Delay:
      z.LfoDelay[0] = FloatMsToSamples(r.Lfo[0].DelayMs, perMs);
      break;
    case kZoneLfo2Delay:
      z.LfoDelay[1] = FloatMsToSamples(r.Lfo[1].DelayMs, perMs);
      break;
    case kZoneLfo3Delay:
      z.LfoDelay[2] = FloatMsToSamples(r.Lfo[2].DelayMs, perMs);
      break;
    case kZonePositionWaveform:
      if (z.PositionOsc) z.PositionOsc->SetWaveform(static_cast<float>(r.PosModWaveform & 0xFF));
      break;
    case kZonePitchSweep:
      z.SweepLength = FloatMsToSamples(r.PitchSweepMs, perMs, &z.SweepRecip);
      break;
    case kZonePitchRelease:
      z.PitchReleaseLength = FloatMsToSamples(r.PitchReleaseMs, perMs, &z.PitchReleaseRecip);
      break;
    case kZoneLegatoAttack:
      z.LegatoAttackLength = FloatMsToSamples(r.LegatoAttackMs, perMs, &z.LegatoAttackRecip);
      break;
    case kZoneEnv1PitchSemis:
    case kZoneEnv1PitchCents:
      z.Env1PitchAmount = static_cast<float>(r.Env1PitchSemis) + static_cast<float>(r.Env1PitchCents) * 0.01f;
      break;
    case kZoneEnv2PitchSemis:
    case kZoneEnv2PitchCents:
      z.Env2PitchAmount = static_cast<float>(r.Env2PitchSemis) + static_cast<float>(r.Env2PitchCents) * 0.01f;
      break;
    case kZonePitchTracking:
      z.PitchTracking = static_cast<float>(r.PitchTracking) * 0.01f;
      break;
    default:
      break;
  }
}

}  // namespace

// ---- Zone play state --------------------------------------------------------

TZonePlayState::TZonePlayState()
    : Render(&RenderZoneUnprepared),
      Stages{&NoStage, &NoStage, &NoStage, &NoStage, &NoStage},
      PositionMove(SelectPositionMove(0xFF)) {}

TZonePlayState::~TZonePlayState() = default;

// ---- TDSPSamplerControl -----------------------------------------------------

TDSPSamplerControl::TDSPSamplerControl() { TDSPSamplerControl::ReallocBuffers(); }

TDSPSamplerControl::~TDSPSamplerControl() = default;

void TDSPSamplerControl::ReallocBuffers() {
  TDSPControl::ReallocBuffers();
  OutputBuffer.reset(new float[static_cast<std::size_t>(Settings->StereoBufferLength)]());
}

void TDSPSamplerControl::ReleaseBuffers() {
  TDSPControl::ReleaseBuffers();
  OutputBuffer.reset();
}

void TDSPSamplerControl::SetProgram(std::int32_t bank, std::int32_t program) {
  Bank.store(bank, std::memory_order_relaxed);
  Program.store(program, std::memory_order_relaxed);
}

void TDSPSamplerControl::LegatoStart(TDSPSamplerControl& previous) {
  PhraseTime = previous.PhraseTime;
  ReleaseTime = previous.PhraseTime;
  Started = true;
  ReleaseFlag = false;
  State = kPlaying;
}

void TDSPSamplerControl::Start() {
  PhraseTime = 0;
  Started = false;
  State = kPlaying;
  LegatoGlide = false;
}

void TDSPSamplerControl::PrepareNote() {
  TimeSinceStart = 0;
  NoteOffset = Note - 60;
}

void TDSPSamplerControl::Release() {
  if (State == kFinished) return;  // nothing sounds that could be released
  ReleaseTime = 0;
  ReleaseFlag = false;
  State = kReleased;
}

void TDSPSamplerControl::AdvanceTimes(std::int32_t frames) {
  auto advance = [frames](std::int32_t& t) { t = t < kTimeLimit ? t + frames : t; };
  advance(PhraseTime);
  advance(TimeSinceStart);
  if (State == kReleased) advance(ReleaseTime);
}

// ---- TDSPSamplerInstr -------------------------------------------------------

struct TDSPSamplerInstr::TZoneSet {
  TSampler* Store = nullptr;
  std::int32_t Bank = 0;
  std::int32_t Program = 0;
  std::uint32_t Generation = 0;  // the store's generation of the bank when read
  std::uint64_t Ticket = 0;      // order of the SetProgram calls
  std::int32_t Count = 0;
  std::unique_ptr<TZonePlayState[]> States;
  // Per zone, what decides whether it sounds for a note, kept apart from
  // the large play states so the render loop's search stays in a few bytes.
  struct TKeys {
    std::uint8_t Low = 0, High = 0;  // key range, inclusive
    bool HasSample = false;
  };
  std::unique_ptr<TKeys[]> Keys;
  // The zones that sound for note SoundingNote, in zone order (-1: none
  // found yet): the render loop searches the keys once per note, not once
  // per block.
  std::unique_ptr<std::int32_t[]> Sounding;
  std::int32_t SoundingCount = 0;
  std::int32_t SoundingNote = -1;
};

TDSPSamplerInstr::TDSPSamplerInstr() = default;
TDSPSamplerInstr::~TDSPSamplerInstr() = default;

std::int32_t TDSPSamplerInstr::ZoneCount() const { return Zones ? Zones->Count : 0; }

TZonePlayState& TDSPSamplerInstr::Zone(std::int32_t index) { return Zones->States[index]; }

void TDSPSamplerInstr::TZoneSetDeleter::operator()(TZoneSet* set) const { delete set; }

TDSPSamplerInstr::TPreparedZones TDSPSamplerInstr::BuildZoneSet(std::int32_t bank, std::int32_t program,
                                                                std::uint64_t ticket) {
  TPreparedZones set(new TZoneSet());
  set->Store = GetStore();
  set->Bank = bank;
  set->Program = program;
  set->Ticket = ticket;
  if (set->Store) {
    // The store's records (and the samples they point at) may only be read
    // under its lock: copy the zones.
    auto guard = set->Store->StoreLock();
    set->Generation = set->Store->Generation(bank);
    if (const TSamplerProgramRec* p = set->Store->Program(bank, program)) {
      set->Count = static_cast<std::int32_t>(p->Zones.size());
      set->States = std::make_unique<TZonePlayState[]>(static_cast<std::size_t>(set->Count));
      for (std::int32_t i = 0; i < set->Count; ++i) {
        TZonePlayState& z = set->States[i];
        z.Zone = p->Zones[i].Rec;
        z.Sample = p->Zones[i].Sample;
        if (z.Sample) {
          z.SampleRate = z.Sample->SampleRate();
          z.Channels = z.Sample->Channels();
        }
      }
    }
  }
  // The objects each zone needs, with the zone's settings; their rates
  // follow when the set is adopted.
  set->Keys = std::make_unique<TZoneSet::TKeys[]>(static_cast<std::size_t>(set->Count));
  set->Sounding = std::make_unique<std::int32_t[]>(static_cast<std::size_t>(set->Count));
  for (std::int32_t i = 0; i < set->Count; ++i) {
    TZonePlayState& z = set->States[i];
    SanitizeZone(z.Zone);
    const TSampleZoneRec& r = z.Zone;
    for (int ch = 0; ch < 2; ++ch) {
      if (r.Filter1On) z.Filter1[ch] = std::make_unique<TDSPMultiFilter>();
      if (r.Filter2On) z.Filter2[ch] = std::make_unique<TDSPMultiFilter>();
      if (r.DistOn) z.Distortion[ch] = std::make_unique<TDSPDistortion1>();
      if (r.Shaper[0].On) z.Shaper1[ch] = std::make_unique<TDSPMultiShaper1>();
      if (r.Shaper[1].On) z.Shaper2[ch] = std::make_unique<TDSPMultiShaper1>();
    }
    const std::uint64_t seed = RandomSeed.load(std::memory_order_relaxed);
    for (int j = 0; j < 3; ++j) {
      if (!r.Lfo[j].On) continue;
      z.Lfo[j] = std::make_unique<TDSPOscillator>();
      z.Lfo[j]->SetAudioSettings(&ControlAudioSettings);
      z.Lfo[j]->SetGain(1.0f);
      z.Lfo[j]->SetRandomSeed(ZoneSeed(seed, i, j));
    }
    if (r.ModEnvOn) {
      z.PositionOsc = std::make_unique<TDSPOscillator>();
      z.PositionOsc->SetRandomSeed(ZoneSeed(seed, i, 3));
    }
    set->Keys[static_cast<std::size_t>(i)] = {r.LowKey, r.HighKey, z.Sample != nullptr};
    // The times follow when the set is adopted, with this sampler's rate.
    for (std::int32_t id = kZoneSettingFirst; id <= kZoneSettingLast; ++id) {
      if (std::find(std::begin(kTimeSettingIds), std::end(kTimeSettingIds), id) == std::end(kTimeSettingIds))
        ApplyZoneSetting(z, id, 0);
    }
  }
  return set;
}

void TDSPSamplerInstr::SetRandomSeed(std::uint64_t seed) {
  TDSPSamplerControl::SetRandomSeed(seed);
  if (!Zones) return;
  for (std::int32_t i = 0; i < Zones->Count; ++i) {
    TZonePlayState& z = Zones->States[i];
    for (int j = 0; j < 3; ++j)
      if (z.Lfo[j]) z.Lfo[j]->SetRandomSeed(ZoneSeed(seed, i, j));
    if (z.PositionOsc) z.PositionOsc->SetRandomSeed(ZoneSeed(seed, i, 3));
  }
}

void TDSPSamplerInstr::AdoptZoneSet(TZoneSet& set) {
  for (std::int32_t i = 0; i < set.Count; ++i) {
    TZonePlayState& z = set.States[i];
    auto give = [this](TDSPControl& object) { object.SetAudioSettings(Settings); };
    ForBoth(z.Filter1, give);
    ForBoth(z.Filter2, give);
    ForBoth(z.Distortion, give);
    ForBoth(z.Shaper1, give);
    ForBoth(z.Shaper2, give);
    ApplyTimeSettings(z);
  }
}

void TDSPSamplerInstr::SetProgram(std::int32_t bank, std::int32_t program) {
  TDSPSamplerControl::SetProgram(bank, program);
  LoadProgram(bank, program);
}

bool TDSPSamplerInstr::HoldsProgram(std::int32_t bank, std::int32_t program) const {
  TSampler* store = GetStore();
  return Zones && Zones->Bank == bank && Zones->Program == program && Zones->Store == store &&
         (!store || store->Generation(bank) == Zones->Generation);
}

void TDSPSamplerInstr::LoadProgram(std::int32_t bank, std::int32_t program) {
  const std::uint64_t ticket = NextTicket.fetch_add(1, std::memory_order_relaxed);
  if (HoldsProgram(bank, program)) {
    Zones->Ticket = std::max(Zones->Ticket, ticket);
    return;
  }
  TPreparedZones built = BuildZoneSet(bank, program, ticket);
  if (!Zones || ticket > Zones->Ticket) {
    AdoptZoneSet(*built);
    Zones.swap(built);
    Playing = Zones->Count > 0;
    ZonesNeedPrepare = true;
  }
  // The replaced (or outdated) set is freed here.
}

TDSPSamplerInstr::TPreparedZones TDSPSamplerInstr::PrepareZones(std::int32_t bank, std::int32_t program) {
  if (HoldsProgram(bank, program)) return nullptr;
  TPreparedZones built = BuildZoneSet(bank, program, NextTicket.fetch_add(1, std::memory_order_relaxed));
  AdoptZoneSet(*built);
  return built;
}

TDSPSamplerInstr::TPreparedZones TDSPSamplerInstr::InstallZones(std::int32_t bank, std::int32_t program,
                                                                TPreparedZones zones) {
  TDSPSamplerControl::SetProgram(bank, program);
  if (!zones) return nullptr;
  Zones.swap(zones);
  Playing = Zones->Count > 0;
  ZonesNeedPrepare = true;
  return zones;
}

void TDSPSamplerInstr::ResetNote() {
  TPreparedZones old;
  {
    old = std::move(Zones);
    Playing = false;
  }
}

void TDSPSamplerInstr::RefreshZones() {
  TSampler* store = GetStore();
  if (Zones && (Zones->Store != store || (store && store->Generation(Zones->Bank) != Zones->Generation))) {
    // The bank changed in the store: the zones and samples held are gone.
    // Rebuilt here, on the audio thread: a bank load is not steady state.
    TPreparedZones built = BuildZoneSet(Zones->Bank, Zones->Program, Zones->Ticket);
    AdoptZoneSet(*built);
    Zones.swap(built);
    Playing = Zones->Count > 0;
    ZonesNeedPrepare = true;
  }
}

void TDSPSamplerInstr::SetAudioSettings(TAudioSettingsRec* rec) {
  TDSPSamplerControl::SetAudioSettings(rec);
  if (Zones) AdoptZoneSet(*Zones);
}

void TDSPSamplerInstr::PrepareNote() {
  RefreshZones();
  ZonesNeedPrepare = false;
  TDSPSamplerControl::PrepareNote();
  NotePrepared = true;
  if (!Zones) return;
  for (std::int32_t i = 0; i < Zones->Count; ++i) {
    if (Zones->States[i].Sample) PrepareZone(Zones->States[i]);
  }
}

void TDSPSamplerInstr::PrepareZone(TZonePlayState& z) {
  z.Unsettle();
  const TSampleRec& sample = *z.Sample;
  const TSampleZoneRec& r = z.Zone;
  const std::int32_t interpolation = GetInterpolation();

  z.Data = sample.Data;
  z.Frames = std::max(0, sample.Frames());
  const TZoneLoop loop = ResolveZoneLoop(r, sample);
  z.LoopMode = loop.Mode;
  z.LoopStart = loop.Start;
  z.LoopEnd = loop.End;
  z.LoopLength = static_cast<double>(loop.End - loop.Start);
  z.RootKey = ResolveZoneRootKey(r, sample);
  z.Ratio = z.SampleRate > 0 ? static_cast<double>(z.SampleRate) / Settings->SampleRate : 0.0;

  z.Stages[0] = r.Filter1On ? &PairStage<&TZonePlayState::Filter1> : &NoStage;
  z.Stages[1] = r.Shaper[0].On ? &PairStage<&TZonePlayState::Shaper1> : &NoStage;
  z.Stages[2] = r.DistOn ? &PairStage<&TZonePlayState::Distortion> : &NoStage;
  z.Stages[3] = r.Filter2On ? &PairStage<&TZonePlayState::Filter2> : &NoStage;
  z.Stages[4] = r.Shaper[1].On ? &PairStage<&TZonePlayState::Shaper2> : &NoStage;
  z.Interpolate = SelectInterpolator(interpolation, z.Channels);
  z.Scale = ResolveZoneSampleScale(r, sample);
  z.PositionMove = SelectPositionMove(r.PosModMode);

  // Envelope 1 holds its final stage until the release; envelope 2 releases
  // by itself after its timed stages when its sustain flag is clear.
  z.Env1.SelectStages(r.Env1Table != 0, r.Env1Curve, false);
  z.Env2.SelectStages(r.Env2Table != 0, r.Env2Curve, r.Env2SustainOn == 0);
  z.Render = SelectZoneRender(z, interpolation);
  z.Strides = RenderTakesStride(z.Render);
  z.CubicReads = interpolation == kInterpolationCubic;
  z.LevelKeyTrack = static_cast<float>(NoteOffset) * r.LevelKeyTrack * 0.1f;
  z.Env1.Sustain = r.Env1SustainLevel;
  z.Env1.OneMinusSustain = 1.0f - r.Env1SustainLevel;
  z.Env2.Sustain = r.Env2SustainLevel;
  z.Env2.OneMinusSustain = 1.0f - r.Env2SustainLevel;
  z.Env1.ComputeStageEnds(NoteOffset, r.Env1HoldKeyTrack, r.Env1DecayKeyTrack);
  z.Env2.ComputeStageEnds(NoteOffset, r.Env2HoldKeyTrack, r.Env2DecayKeyTrack);
  // The counters stay: a zone start clears them, a legato start has taken
  // them over; the stage routines find the stage the counter lies in.
  z.Env1.Restart();
  if (r.Env2On) z.Env2.Restart();
  else z.Env2.End();
}

void TDSPSamplerInstr::StartZones() {
  Started = true;
  if (!Zones) return;
  for (std::int32_t i = 0; i < Zones->Count; ++i) {
    TZonePlayState& z = Zones->States[i];
    z.Unsettle();
    z.Position = 0;
    z.Direction = 1.0;
    z.State = TZonePlayState::kPlaying;
    z.Env1.State = TZoneEnvelope::kRunning;
    z.Env1.Counter = 0;
    z.Env1.Restart();
    z.Env2.Counter = 0;
    if (z.Zone.Env2On) {
      z.Env2.State = TZoneEnvelope::kRunning;
      z.Env2.Restart();
    } else {
      z.Env2.End();
    }
    z.ModState = 0;
    z.ModValue = 0;
    // The controls of the new note are computed before its first sample
    // (not up to a millisecond later, at the previous note's pitch).
    z.ControlCounter = -1;
    for (int j = 0; j < 3; ++j)
      if (z.Lfo[j] && z.Zone.Lfo[j].ResetPhase) z.Lfo[j]->ResetPhase();
  }
}

void TDSPSamplerInstr::ReallocBuffers() {
  TDSPSamplerControl::ReallocBuffers();
  FullBuffer.reset(new float[static_cast<std::size_t>(Settings->StereoBufferLength)]());
}

void TDSPSamplerInstr::ReleaseBuffers() {
  FullBuffer.reset();
  TDSPSamplerControl::ReleaseBuffers();
}

void TDSPSamplerInstr::BeginBlock() {
  BlockBegun = true;
  RefreshZones();
  if (ZonesNeedPrepare) {
    // New play states while a note sounds: they start now, for that note.
    ZonesNeedPrepare = false;
    if (NotePrepared && State != kFinished && Zones) {
      Started = false;
      ReleaseFlag = false;  // a released note releases its new zones too
      for (std::int32_t i = 0; i < Zones->Count; ++i)
        if (Zones->States[i].Sample) PrepareZone(Zones->States[i]);
    }
  }
  if (!Started) StartZones();
  if (!Playing || !Zones) return;

  TZoneSet& set = *Zones;
  if (set.SoundingNote != Note) {
    set.SoundingCount = 0;
    for (std::int32_t i = 0; i < set.Count; ++i) {
      const TZoneSet::TKeys& keys = set.Keys[static_cast<std::size_t>(i)];
      if (keys.HasSample && Note >= keys.Low && Note <= keys.High) set.Sounding[set.SoundingCount++] = i;
    }
    set.SoundingNote = Note;
  }
  // (Zones are independent of each other's rendering: their first updates
  // may all come before the first zone renders.)
  for (std::int32_t k = 0; k < set.SoundingCount; ++k) {
    TZonePlayState& z = set.States[set.Sounding[k]];
    if (z.ControlCounter < 0) UpdateZoneControl(z);
  }
}

float TDSPSamplerInstr::ImagePitch() const {
  float top = -std::numeric_limits<float>::infinity();
  if (!Playing || !Zones) return top;
  const TZoneSet& set = *Zones;
  for (std::int32_t k = 0; k < set.SoundingCount; ++k) {
    const TZonePlayState& z = set.States[set.Sounding[k]];
    if (z.State == TZonePlayState::kFinished) continue;
    if (!z.Strides || !z.CubicReads) return std::numeric_limits<float>::infinity();
    const float pitch = z.Semitones + static_cast<float>(z.RootKey);
    if (pitch > top) top = pitch;  // (a zone without an update yet: NaN, left out)
  }
  return top;
}

void TDSPSamplerInstr::RenderEveryOther(TZonePlayState& z) {
  const std::int32_t frames = Settings->BlockSize / 2;
  float* full = FullBuffer.get();
  std::fill_n(full, 4 * static_cast<std::size_t>(frames), 0.0f);
  const bool fresh = TargetFresh;
  TargetFresh = false;
  RenderTarget = full;
  RenderStride = 1;
  z.Render(*this, z);
  float* out = OutputBuffer.get();
  if (fresh) {
    // (The same bits as added to zeros: the sums in full are never -0.)
    for (std::int32_t m = 0; m < frames; ++m) {
      out[2 * m] = full[4 * m];
      out[2 * m + 1] = full[4 * m + 1];
    }
  } else {
    for (std::int32_t m = 0; m < frames; ++m) {
      out[2 * m] += full[4 * m];
      out[2 * m + 1] += full[4 * m + 1];
    }
  }
}

void TDSPSamplerInstr::ClearTarget() {
  std::fill_n(RenderTarget, TargetFloats, 0.0f);
  TargetFresh = false;
}

void TDSPSamplerInstr::RenderBlock() {
  if (!BlockBegun) BeginBlock();
  BlockBegun = false;
  const std::int32_t ticks = Settings->BlockSize;
  const std::int32_t frames = ticks / Stride;
  if (!Playing || !Zones) {
    std::fill_n(OutputBuffer.get(), 2 * static_cast<std::size_t>(frames), 0.0f);
    return;
  }
  // The zones write the output: the first one that renders clears it or
  // stores into it, the others add.
  TargetFresh = true;
  TargetFloats = 2 * frames;

  TZoneSet& set = *Zones;
  bool rendered = false;
  for (std::int32_t k = 0; k < set.SoundingCount; ++k) {
    TZonePlayState& z = set.States[set.Sounding[k]];
    const TSampleZoneRec& r = z.Zone;
    if (z.State == TZonePlayState::kFinished) continue;
    if (Stride == 1 || z.Strides) {
      RenderTarget = OutputBuffer.get();
      RenderStride = Stride;
      z.Render(*this, z);
    } else {
      RenderEveryOther(z);
    }
    rendered = true;
    const bool env1Released = !r.Env1On || z.Env1.State == TZoneEnvelope::kReleasing;
    const bool env2Released = !r.Env2On || z.Env2.State == TZoneEnvelope::kReleasing;
    if (z.Env1.State == TZoneEnvelope::kDone && z.Env2.State == TZoneEnvelope::kDone)
      z.State = TZonePlayState::kFinished;
    else if (env1Released && env2Released) z.State = TZonePlayState::kReleasing;
  }
  if (TargetFresh) std::fill_n(OutputBuffer.get(), 2 * static_cast<std::size_t>(frames), 0.0f);
  TargetFresh = false;
  RenderTarget = nullptr;
  RenderStride = 1;
  AdvanceTimes(ticks);
  if (!rendered) State = kFinished;
}

void TDSPSamplerInstr::LegatoStart(TDSPSamplerControl& previous) {
  TDSPSamplerControl::LegatoStart(previous);
  LegatoStartPitch = previous.Pitch;
  LegatoGlide = true;
  auto* before = dynamic_cast<TDSPSamplerInstr*>(&previous);
  if (!before || !Zones || !before->Zones) return;
  const std::int32_t count = std::min(Zones->Count, before->Zones->Count);
  for (std::int32_t i = 0; i < count; ++i) {
    TZonePlayState& z = Zones->States[i];
    z.Unsettle();
    const TZonePlayState& from = before->Zones->States[i];
    z.State = TZonePlayState::kPlaying;
    z.Env1.State = TZoneEnvelope::kRunning;
    z.Env1.Counter = from.Env1.Counter;
    z.Env1.Restart();
    z.Env2.Counter = from.Env2.Counter;
    if (z.Zone.Env2On) {
      z.Env2.State = TZoneEnvelope::kRunning;
      z.Env2.Restart();
    } else {
      z.Env2.End();
    }
    z.ModState = from.ModState;
    z.ModValue = from.ModValue;
    z.ModReleaseLevel = from.ModReleaseLevel;
  }
}

void TDSPSamplerInstr::ReleaseZones() {
  ReleaseFlag = true;
  for (std::int32_t i = 0; i < Zones->Count; ++i) {
    TZonePlayState& z = Zones->States[i];
    z.Unsettle();
    if (z.State == TZonePlayState::kPlaying) {
      z.State = TZonePlayState::kReleasing;
      z.Env1.StartRelease();
      z.Env2.StartRelease();
    }
    if (z.ModState == 0) {
      z.ModState = 1;
      z.ModReleaseLevel = z.ModValue;
    }
  }
}

void TDSPSamplerInstr::UpdateZoneControl(TZonePlayState& z, const TZoneControlInputs& inputs) {
  const TSampleZoneRec& r = z.Zone;
  const auto root = static_cast<float>(z.RootKey);
  const auto t = static_cast<float>(TimeSinceStart);
  // Whether these results hold while the inputs do: nothing timed moves
  // them and nothing is left to start.
  bool holds = !r.Filter1On && !r.Filter2On && !(State == kReleased && !ReleaseFlag);

  // Pitch in semitones.
  float x = (Pitch - root) * z.PitchTracking + root;
  if (r.LegatoAttackOn && LegatoGlide && TimeSinceStart < z.LegatoAttackLength) {
    x = 0.5f * x + 0.5f * (LegatoStartPitch + t * z.LegatoAttackRecip * (x - LegatoStartPitch));
    holds = false;
  }
  if (r.PitchSweepOn) {
    if (TimeSinceStart < z.SweepLength) {
      x += r.PitchSweepStart + t * z.SweepRecip * (r.PitchSweepEnd - r.PitchSweepStart);
      holds = false;
    } else {
      x += r.PitchSweepEnd;
    }
  }
  if (r.PitchReleaseOn && State == kReleased) {
    if (ReleaseTime < z.PitchReleaseLength) {
      x += static_cast<float>(ReleaseTime) * z.PitchReleaseRecip * r.PitchReleaseOffset;
      holds = false;
    } else {
      x += r.PitchReleaseOffset;
    }
  }
  x += z.PitchOffset;
  x += z.Env1.Linear * z.Env1PitchAmount;
  if (r.Env2On) x += z.Env2.Linear * z.Env2PitchAmount;

  // LFOs, weighted by the zone envelopes.
  float gain = r.Gain, pan = r.Pan;
  for (int j = 0; j < 3; ++j) {
    float v = 0.0f;
    holds = holds && !z.Lfo[j];
    if (z.Lfo[j] && TimeSinceStart >= z.LfoDelay[j]) {
      z.Lfo[j]->Tick();
      const TSampleLfoRec& lfo = r.Lfo[j];
      v = z.Lfo[j]->OutputSample *
          (1.0f - (1.0f - z.Env1.Value) * lfo.Env1Depth - (1.0f - z.Env2.Value) * lfo.Env2Depth);
    }
    z.LfoValue[j] = v;
    gain += v * r.GainLfo[j];
    pan += v * r.PanLfo[j];
    if (r.LfoPitchMode[j] == 0) x += v * r.PitchLfo[j] * 10.0f;
  }

  // Playback increment: finite and never negative.
  const float semitones = x - root;
  if (!(semitones == z.Semitones)) {
    z.Semitones = semitones;
    z.PitchFactor = std::exp2(static_cast<double>(semitones) / 12.0);
  }
  double increment = z.Ratio * z.PitchFactor;
  for (int j = 0; j < 3; ++j)
    if (r.LfoPitchMode[j] == 1) increment += static_cast<double>(z.LfoValue[j]) * r.PitchLfo[j];
  z.Increment = increment >= 0.0 ? std::min(increment, kMaxIncrement) : 0.0;  // NaN too

  // Level and pan.
  gain = ClampLevel(gain * (1.0f + z.LevelKeyTrack), 2.0f);
  pan = ClampLevel(pan, 1.0f);
  const float level = gain * Level;
  z.GainR = pan * level;
  z.GainL = (1.0f - pan) * level;

  if (State == kReleased && !ReleaseFlag) ReleaseZones();

  if (z.State != TZonePlayState::kFinished) {
    if (r.Filter1On)
      ModulateFilter(z, z.Filter1, r.Filter1Cutoff, r.Filter1KeyTrack, z.FilterLfoAmount[0], r.Filter1Env,
                     r.Filter1RangeHz == 1, NoteOffset);
    if (r.Filter2On)
      ModulateFilter(z, z.Filter2, r.Filter2Cutoff, r.Filter2KeyTrack, z.FilterLfoAmount[1], r.Filter2Env,
                     r.Filter2RangeHz == 1, NoteOffset);
  }
  z.ControlCounter = 0;
  // (A release started above changes the states: the next update sees new
  // inputs.)
  if (holds) z.Settled = inputs;
  else z.Unsettle();
}

void TDSPSamplerInstr::ApplyZoneSettings(std::int32_t id) {
  if (!Zones) return;
  for (std::int32_t i = 0; i < Zones->Count; ++i) ApplyZoneSetting(Zones->States[i], id, Settings->SamplesPerMs);
}

void TDSPSamplerInstr::ApplyTimeSettings(TZonePlayState& z) {
  z.Unsettle();
  const std::int32_t perMs = Settings->SamplesPerMs;
  for (std::int32_t id : kTimeSettingIds) ApplyZoneSetting(z, id, perMs);
  const TSampleZoneRec& r = z.Zone;
  SetStageLength(r.ModEnvAttackMs, perMs, z.ModAttack, &z.ModAttackSlope);
  SetStageLength(r.ModEnvDecayMs, perMs, z.ModDecay, &z.ModDecaySlope);
  SetStageLength(r.ModEnvReleaseMs, perMs, z.ModRelease, &z.ModReleaseSlope);
  if (z.SampleRate > 0) z.Ratio = static_cast<double>(z.SampleRate) / Settings->SampleRate;
}
