// Per-sample pitch processor of the voices: adds an offset and a
// transposition to a pitch in semitones (MIDI note scale, 69 = 440 Hz). In
// diatonic mode the transposition counts degrees of the major scale of the
// key instead of semitones, so a transposed line stays in key; the
// fractional part of the input (bend, glide) is kept.
//
// None of the setters recomputes anything: the values take effect at the
// next sample.
#pragma once

#include <cstdint>

#include "framework/modules/dsp_control.h"

class TDSPDiatonicTune1 : public TDSPControl {
 public:
  virtual void SetTranspose(float value);  // semitones, or scale degrees when diatonic
  void SetTransposeRef(const float& value) { SetTranspose(value); }
  // Number of sharps (negative: flats), clamped -7..7, rounded.
  virtual void SetKey(float value);
  void SetKeyRef(const float& value) { SetKey(value); }
  virtual void SetDiatonic(float value);  // on above 0
  void SetDiatonicRef(const float& value) { SetDiatonic(value); }
  virtual void SetOffset(float value);  // semitones
  void SetOffsetRef(const float& value) { SetOffset(value); }

  float Step(float pitch) const { return DiatonicOn ? StepDiatonic(pitch) : pitch + Transpose + Offset; }
  void Tick() override { OutputSample = Step(InputSample); }
  // Step with the diatonic mode on.
  float StepDiatonic(float pitch) const;

  bool DiatonicOn = false;
  std::int8_t Key = 0;
  float Offset = 0;
  float Transpose = 0;
  float KeyValue = 0;
  float DiatonicValue = 0;
};
