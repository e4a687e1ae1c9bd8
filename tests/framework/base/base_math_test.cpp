#include "framework/base/base_math.h"

#include <gtest/gtest.h>

#include <cmath>

TEST(BaseMath, RoundingFollowsTiesToEvenThroughTheHalfOffset) {
  EXPECT_EQ(RoundF(2.5f), 2);
  EXPECT_EQ(RoundF(3.5f), 4);
  EXPECT_EQ(FloorF(3.0), 2);  // rint(2.5) goes to the even neighbour
  EXPECT_EQ(FloorF(3.2), 3);
  EXPECT_EQ(TruncToInt(-2.7), -2);
  EXPECT_EQ(TruncToInt(2.7), 2);
  EXPECT_EQ(TruncF(-2.7), -2);
  EXPECT_EQ(CeilF(2.2), 3);
  EXPECT_EQ(CeilF(-2.2), -3);  // away from zero below 0
  EXPECT_FLOAT_EQ(FracF(2.25), 0.25f);
  EXPECT_FLOAT_EQ(FracF(-2.25), -0.25f);
  EXPECT_EQ(FloorExt(-2.25L), -3);
  EXPECT_EQ(SignF(0.0f), -1.0f);
}

TEST(BaseMath, RoundingOutOfRangeOrNaNDoesNotInvokeUndefinedBehaviour) {
  EXPECT_EQ(RoundD(1e300), INT32_MIN);
  EXPECT_EQ(RoundD(std::nan("")), INT32_MIN);
  EXPECT_EQ(RoundD(2147483647.0), 2147483647);
}

TEST(BaseMath, PowersTakeTheIntegerPathForIntegralExponents) {
  EXPECT_FLOAT_EQ(PowerF(-2, 3), -8);
  EXPECT_FLOAT_EQ(PowerF(-2, 2), 4);
  EXPECT_FLOAT_EQ(PowerF(0, 0), 1);
  EXPECT_FLOAT_EQ(PowerF(0, 2), 0);
  EXPECT_NEAR(PowerF(2, 0.5f), 1.41421f, 1e-5);
  EXPECT_FLOAT_EQ(PowerF(2, -2), 0.25f);
  EXPECT_TRUE(std::isnan(PowerF(-2, 0.5f)));
  EXPECT_FLOAT_EQ(IntPower(10, 2), 1024);
  EXPECT_FLOAT_EQ(IntPower(-1, 4), 0.25f);
  EXPECT_FLOAT_EQ(PowerOf(9, 0.5f), 3);
}

TEST(BaseMath, DecibelAndCentConversionsKeepTheirFloors) {
  EXPECT_FLOAT_EQ(AmpToDb(0), -60);
  EXPECT_FLOAT_EQ(AmpToDb(1), 0);
  EXPECT_NEAR(AmpToDb(0.5f), -6.0206f, 1e-3);
  EXPECT_NEAR(DbToAmp(-6.0206f), 0.5f, 1e-5);
  EXPECT_EQ(LinToCents1000(1000), 0);
  EXPECT_EQ(LinToCents1000(0), kCentsFloor);
  EXPECT_EQ(LinToCents1000(-5), kCentsFloor);
  EXPECT_EQ(LinToCents1000(2000), 1200);
  EXPECT_EQ(CentsToLin1000(1200), 2000);
  EXPECT_EQ(CentsToLin1000(kCentsFloor), 0);  // 0.4997 ms rounds to 0
  EXPECT_FLOAT_EQ(NormToAmp60(0.0005f), 0);
  EXPECT_FLOAT_EQ(NormToAmp60(-1), -1);
  EXPECT_FLOAT_EQ(NormToAmp60(1), 1);
  EXPECT_NEAR(NormToAmp60(0.5f), 0.031623f, 1e-5);
  EXPECT_FLOAT_EQ(RatioToCents(-1), kCentsFloor);
}

TEST(BaseMath, RangeReciprocalDenormalAndMidiHelpers) {
  EXPECT_FLOAT_EQ(MapRange(5, 0, 10, 100, 200), 150);
  EXPECT_FLOAT_EQ(MapRange(5, 3, 3, 100, 200), 100);
  EXPECT_EQ(SafeReciprocal(-0.0f), 0);
  EXPECT_EQ(SafeReciprocal(4), 0.25f);
  float tiny = 1e-40f, small = 1e-30f;
  FlushDenormal(tiny);
  FlushDenormal(small);
  EXPECT_EQ(tiny, 0.0f);
  EXPECT_FALSE(std::signbit(tiny));
  EXPECT_EQ(small, 1e-30f);
  EXPECT_EQ(Midi14Bit(0x7F, 0x7F), 16383);
  EXPECT_EQ(Midi14Bit(0, 0x40), 8192);
}

TEST(BaseMath, FolderOfPathKeepsTheTrailingSeparatorOrNothing) {
  EXPECT_EQ(FolderOfPath("/usr/bin/host"), "/usr/bin/");
  EXPECT_EQ(FolderOfPath("C:host"), "C:");
  EXPECT_EQ(FolderOfPath("host"), "");
  EXPECT_FALSE(ProgramFolder().empty());
}
