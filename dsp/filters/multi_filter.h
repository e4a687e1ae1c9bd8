// A filter chosen by a type index: the holder that voices, sampler zones and
// effects use. It always holds a filter; a type change builds the new filter
// in the holder's own storage (made once, for the largest type) and carries
// cutoff, resonance and param3 over (the filter state starts afresh), so it
// allocates nothing and may run on the audio thread.
//
// Threads: no lock of its own. The owner changes the type and the
// parameters under its lock, or on the audio thread that processes it.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string_view>

#include "dsp/filters/filter.h"
#include "framework/base/in_place.h"

// Display names by type index (the parameter value texts). Indices 38..50
// are accepted by SetFilterType, have no name and build "BW LP".
inline constexpr std::int32_t kFilterTypeCount = 38;
inline constexpr std::int32_t kFilterTypeMax = 50;
extern const std::array<std::string_view, kFilterTypeMax + 1> FilterTypeNames;
// The name of a type index; empty for an index without one.
std::string_view FilterTypeName(std::int32_t index);

// A new filter of the type index with its class defaults (settings not yet
// applied); an index outside 0..37 gives "BW LP".
std::unique_ptr<TDSPFilter> CreateFilter(std::int32_t index);

class TDSPMultiFilter : public TDSPControl {
 public:
  TDSPMultiFilter();
  ~TDSPMultiFilter() override;

  // value: type index as a float, clamped 0..50 and rounded to the nearest
  // index; the same value as the stored one, or a non-finite one, does
  // nothing. Allocates nothing.
  void SetFilterType(float value);
  float GetFilterType() const { return TypeValue; }
  std::int16_t GetFilterIndex() const { return FilterIndex; }

  // The inner filter. Valid until the next SetFilterType; owners set its
  // parameters through the forwards below or directly.
  TDSPFilter& Filter() const { return *Inner; }
  void SetCutoff(float hz) { Inner->SetCutoff(hz); }              // 0.001..22050 Hz
  void SetResonance(float value) { Inner->SetResonance(value); }  // 0.001..0.999
  void SetParam3(float value) { Inner->SetParam3(value); }        // 0.001..0.999
  void BeginUpdate() { Inner->BeginUpdate(); }
  void EndUpdate() { Inner->EndUpdate(); }

  // One sample through the inner filter: one indirect call, chosen at the
  // last type change.
  float ProcessSample(float x) { return Routines.Sample(*Inner, x); }
  // count samples in place.
  void ProcessSamples(float* buffer, std::int32_t count) { Routines.Buffer(*Inner, buffer, count); }

  void SetUsesBuffers(bool flag) override;
  // The inner filter follows the same record (and recomputes for its rate).
  void SetAudioSettings(TAudioSettingsRec* rec) override;
  // Own input buffer -> own output buffer; nothing while inactive.
  void ProcessBlock() override;
  void ProcessBlockControl() override;
  void ProcessOneSample() override;
  void Tick() override { OutputSample = Routines.Sample(*Inner, InputSample); }
  // The filter state belongs to the inner filter and stays.
  void Reset() override {}
  // Re-applies buffers and settings to the inner filter, resets and
  // recomputes it.
  void Update() override { ConfigureFilter(*Inner); }
  // One millisecond in place.
  void ProcessBuffer(float* buffer) override { Routines.Buffer(*Inner, buffer, Settings->SamplesPerMs); }

  bool IsActive() const { return Active.load(std::memory_order_relaxed); }

 private:
  void ConfigureFilter(TDSPFilter& filter);

  TInPlacePair<TDSPFilter> Storage;
  TDSPFilter* Inner = nullptr;
  TFilterRoutines Routines;  // the inner filter's, copied at each exchange
  std::atomic<bool> Active{false};
  std::int16_t FilterIndex = 0;
  float TypeValue = 123.0f;  // differs from every valid type: the first call builds
};
