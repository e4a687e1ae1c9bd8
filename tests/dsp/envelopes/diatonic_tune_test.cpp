#include "dsp/envelopes/diatonic_tune.h"

#include <gtest/gtest.h>

namespace {
float Tune(float key, float transpose, float pitch, float offset = 0) {
  TDSPDiatonicTune1 tune;
  tune.SetKey(key);
  tune.SetDiatonic(1);
  tune.SetTranspose(transpose);
  tune.SetOffset(offset);
  tune.InputSample = pitch;
  tune.Tick();
  return tune.OutputSample;
}
}  // namespace

TEST(DiatonicTune, CountsTranspositionInScaleDegrees) {
  EXPECT_EQ(Tune(0, 2, 64), 67.0f);  // E + 2 degrees of C major: G
  EXPECT_EQ(Tune(0, 1, 61), 62.0f);  // C sharp is not in the scale: D is the first above
  EXPECT_EQ(Tune(0, -1, 60), 59.0f);
  EXPECT_EQ(Tune(0, 0, 60), 60.0f);
  EXPECT_NEAR(Tune(0, 2, 64.3f), 67.3f, 1e-5f);
  EXPECT_EQ(Tune(0, 7, 60), 72.0f);
  EXPECT_EQ(Tune(0, -14, 60), 36.0f);
  EXPECT_EQ(Tune(0, 9, 64), 79.0f);  // E, seven degrees up E, two more G
  EXPECT_EQ(Tune(1, 1, 65), 66.0f);  // G major has F sharp
  EXPECT_EQ(Tune(0, 2, 60, 0.5f), 64.5f);
  EXPECT_EQ(Tune(0, 1, -1), 0.0f);  // below note 0 the pitch classes still hold
}

TEST(DiatonicTune, ClampsTheKeyAndSwitchesModes) {
  TDSPDiatonicTune1 tune;
  tune.SetKey(9);
  EXPECT_EQ(tune.Key, 7);
  EXPECT_EQ(tune.KeyValue, 7.0f);
  tune.SetDiatonic(1);
  tune.SetDiatonic(0);  // off again: plain semitones
  tune.SetTranspose(2);
  tune.SetOffset(-0.25f);
  tune.InputSample = 60;
  tune.Tick();
  EXPECT_EQ(tune.OutputSample, 61.75f);
  tune.SetDiatonic(1);
  tune.SetTranspose(1e9f);  // far beyond any use: bounded, no endless walk
  tune.Tick();
  EXPECT_TRUE(std::isfinite(tune.OutputSample));
}
