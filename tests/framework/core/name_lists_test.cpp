#include "framework/core/name_lists.h"

#include <gtest/gtest.h>

#include <stdexcept>

TEST(NameLists, FrameworkListsAnswerDefaultsOutsideTheirRange) {
  EXPECT_EQ(GetFMAlgorithmName(0), "O(M(M(M)))");
  EXPECT_EQ(GetFMAlgorithmName(3), "O(M+M(M))");
  EXPECT_EQ(GetFMAlgorithmName(-1), "None");
  EXPECT_EQ(GetKeyName(0), "C");
  EXPECT_EQ(GetKeyName(7), "C-Sharp");
  EXPECT_EQ(GetKeyName(-8), "Unknown");
  EXPECT_EQ(GetScaleByName(0), "To-Vel");
  EXPECT_EQ(GetScaleByName(2), "");
  EXPECT_EQ(GetInterpModeName(1), "Default");
  EXPECT_EQ(GetInterpModeName(-1), "");
  EXPECT_EQ(GetReverbModeName(0), "Big1");
  EXPECT_EQ(GetReverbModeName(7), "");
  EXPECT_EQ(GetSequencerTargetModeName(3), "None");
  EXPECT_EQ(GetSequencerTargetModeName(4), "");
}

TEST(NameLists, StrValueListKeepsInsertionOrderAndChecksIndexes) {
  TStrValueList list;
  list.AddValue("Sine", 0);
  list.AddValue("Saw", 5);
  ASSERT_EQ(list.Count(), 2);
  EXPECT_EQ(list.GetItem(1).Name, "Saw");
  EXPECT_EQ(list.GetItem(1).Value, 5);
  EXPECT_THROW(list.GetItem(2), std::out_of_range);
  EXPECT_THROW(list.GetItem(-1), std::out_of_range);
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
}

TEST(KeysAndScales, KeyRootsAndScaleMembership) {
  EXPECT_EQ(KeyRoot(0), 0);
  EXPECT_EQ(KeyRoot(-7), 11);
  EXPECT_EQ(KeyRoot(7), 1);
  EXPECT_EQ(KeyRoot(1), 7);
  EXPECT_EQ(KeyRoot(-1), 5);
  EXPECT_EQ(KeyRoot(8), 0);
  std::array<std::int32_t, 7> notes{};
  ScaleNotes(2, notes);  // D major
  EXPECT_EQ(notes, (std::array<std::int32_t, 7>{2, 4, 6, 7, 9, 11, 1}));
  EXPECT_FALSE(IsNoteInScale(61, 0));
  EXPECT_TRUE(IsNoteInScale(62, 0));
  EXPECT_TRUE(IsNoteInScale(-1, 0));  // B below the lowest C
  EXPECT_TRUE(NoteHasPitchClass(-1, 11));
  EXPECT_TRUE(NoteHasPitchClass(-12, 0));
  EXPECT_FALSE(NoteHasPitchClass(13, 0));
}

TEST(KeysAndScales, DiatonicOffsetWalksScaleDegrees) {
  EXPECT_EQ(DiatonicOffset(0, 1, 64), 1);  // E to F in C major
  EXPECT_EQ(DiatonicOffset(0, 1, 60), 2);
  EXPECT_EQ(DiatonicOffset(0, -1, 60), -1);
  EXPECT_EQ(DiatonicOffset(0, 0, 60), 0);
  EXPECT_EQ(DiatonicOffset(0, 7, 60), 12);
  EXPECT_EQ(DiatonicOffset(0, -7, 60), -12);
  EXPECT_EQ(DiatonicOffset(0, 2, 61), 3);   // C# is off the scale: D, E
  EXPECT_EQ(DiatonicOffset(-1, 3, 65), 5);  // F major: G, A, Bb
  // Long walks agree with a plain step-by-step count.
  for (std::int32_t key = -7; key <= 7; ++key)
    for (std::int32_t steps : {-23, -8, 8, 15, 22}) {
      std::int32_t d = 0, count = 0;
      const std::int32_t dir = steps > 0 ? 1 : -1;
      while (count < steps * dir) {
        d += dir;
        if (IsNoteInScale(40 + d, key)) ++count;
      }
      EXPECT_EQ(DiatonicOffset(key, steps, 40), d) << "key " << key << " steps " << steps;
    }
}
