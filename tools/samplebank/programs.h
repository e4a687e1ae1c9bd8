// The sound designs of the built-in bass bank, one per program, and the
// per-zone planning that turns a design into a looped, tuned, band-limited
// sample.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "tools/samplebank/spectral.h"

// What a design knows about the zone it is rendering.
struct TZoneInfo {
  std::int32_t Root = 60;
  double F0 = 0;               // fundamental the sample plays at its root, Hz
  double LimitHz = 0;          // highest content allowed at the root
  std::int32_t Harmonics = 0;  // highest harmonic of one spectral cycle below LimitHz
  double LoopStartSeconds = 0;
  double LoopSeconds = 0;
  std::int32_t Rate = 44100;
  std::int32_t LoopFrames = 0;  // loop length, frames
};

// Zone envelope 1 of every zone of a program.
struct TEnvSpec {
  std::int32_t AttackMs = 2;
  std::int32_t DecayMs = 1;
  float Sustain = 1.0f;
  std::int32_t ReleaseMs = 3000;
  std::uint8_t Curve = 0;  // 0 linear, 1 squared
};

struct TProgramDesign {
  // Nominal header rate. 44.1 kHz for every program with content in its top
  // octave: the reads' images of a sample's band start at its rate minus its
  // highest content, so a 32 kHz sample holding 14.4 kHz would image back
  // from 17.6 kHz, inside the audible band. Programs without content up
  // there (the sines, the dark reese low-passed at 800 Hz) stay at 22.05 kHz.
  std::int32_t Rate = 44100;
  std::int32_t Periods = 2;   // whole periods of the fundamental in one loop
  std::int32_t Divisor = 1;   // periods of the fundamental in one spectral cycle
  double Attack = 0;          // seconds before the loop (lowest zones; shorter higher up)
  bool FixedAttack = false;   // the attack does not shrink with pitch
  std::int32_t LoopKeys = 0;  // keyframes over the loop for a modulated loop
  double MaxPitch = 1;        // largest pitch factor during the attack
  // Pitch factor at time t (seconds), 1 from the loop start on.
  std::function<double(double t, const TZoneInfo&)> Pitch;
  // Spectrum of one cycle at time t, harmonics 0..info.Harmonics.
  std::function<TSpectrum(double t, const TZoneInfo&)> Spectrum;
  // Designs made of several layers (detuned oscillators) fill them here.
  std::function<void(const TZoneInfo&, TSampleRender&)> Layers;
  TEnvSpec Env;
};

// Index = program number, in the order of kBankPrograms.
std::vector<TProgramDesign> BankDesigns();

// Plans and renders one zone: loop length and header rate so that a whole
// number of periods plays exactly at the root's pitch, the band limit for
// the zone's largest upward shift, the attack and the keyframes.
struct TZoneRender {
  TSampleRender Render;
  TZoneInfo Info;
};
TZoneRender PlanZone(const TProgramDesign& design, std::int32_t zone);
