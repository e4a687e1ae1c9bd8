#include "dsp/effects/reverb.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <vector>

#include "tests/dsp/effects/effect_test_support.h"
#include "tests/support/signal_measure.h"
#include "tests/support/test_support.h"

using effect_test::FirstAbove;
using effect_test::PluginRecord;

namespace {

// Room 2 at size 64, no pre-delay, no damping, all wet: the network alone.
void PlainRoom(TDSPReverbX& fx) {
  fx.SetRoomType(2);
  fx.SetSize(64);
  fx.SetPreDelay(0);
  fx.SetDamping(127);
  effect_test::AllWet(fx);
}

// Direct path of an impulse through the four allpasses: (-0.7)^4.
constexpr float kAllpassDirect = 0.7f * 0.7f * 0.7f * 0.7f;

}  // namespace

TEST(Reverb, RoomTwoLengthsKeepTheTableNumbersAt44k) {
  effect_test::TEffectAt<TDSPReverbX> at(44100);
  TDSPReverbX& fx = at.Fx;
  fx.SetRoomType(2);
  fx.SetSize(64);
  const int combs[8] = {1116, 1188, 1277, 1356, 1422, 1491, 1557, 1617};
  const int allpasses[4] = {225, 341, 441, 556};
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(fx.GetCombLength(i), combs[i]) << i;
    EXPECT_EQ(fx.GetCombLength(i + 8), combs[i] + 23) << i;
  }
  for (int j = 0; j < 4; ++j) {
    EXPECT_EQ(fx.GetAllpassLength(j), allpasses[j]) << j;
    EXPECT_EQ(fx.GetAllpassLength(j + 4), allpasses[j] + 23) << j;
  }
  TAudioSettingsRec rec48 = PluginRecord(48000);
  fx.SetAudioSettings(&rec48);
  // The same time to the nearest sample (1214.7), so the echoes keep their
  // place in Hz; at twice the rate exactly twice the samples.
  EXPECT_EQ(fx.GetCombLength(0), 1215);
  TAudioSettingsRec rec88 = PluginRecord(88200);
  fx.SetAudioSettings(&rec88);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(fx.GetCombLength(i + 8), 2 * (combs[i] + 23)) << i;
  for (int j = 0; j < 4; ++j) EXPECT_EQ(fx.GetAllpassLength(j), 2 * allpasses[j]) << j;
}

TEST(Reverb, TimeSetsTheCombFeedbacks) {
  effect_test::TEffectAt<TDSPReverbX> at(44100);
  TDSPReverbX& fx = at.Fx;
  fx.SetRoomType(2);
  fx.SetSize(64);
  fx.SetTime(127);
  EXPECT_NEAR(fx.GetCombFeedback(0), -0.99574f, 5e-6f);
  fx.SetTime(64);
  EXPECT_NEAR(fx.GetCombFeedback(0), -0.96412f, 5e-6f);
  // Longer combs decay less per pass; all are negative and below 1.
  for (int i = 1; i < TDSPReverbX::kCombCount; ++i) {
    EXPECT_LT(fx.GetCombFeedback(i), 0.0f);
    EXPECT_GT(fx.GetCombFeedback(i), -1.0f);
  }
  EXPECT_GT(fx.GetCombFeedback(7), fx.GetCombFeedback(0));
  // A rebuild keeps the time.
  fx.SetSize(100);
  fx.SetSize(64);
  EXPECT_NEAR(fx.GetCombFeedback(0), -0.96412f, 5e-6f);
}

TEST(Reverb, ImpulseResponseShowsCombLengthsAndFeedbacks) {
  effect_test::TEffectAt<TDSPReverbX> at(44100);
  TDSPReverbX& fx = at.Fx;
  PlainRoom(fx);
  fx.SetTime(127);
  const auto out = effect_test::RunImpulse(fx, 2000);
  // Nothing but the anti-denormal noise before the shortest comb answers.
  EXPECT_EQ(FirstAbove(out.Left, 1e-6f), 1116u);
  EXPECT_EQ(FirstAbove(out.Right, 1e-6f), 1139u);
  // Each comb's first echo is its feedback, through the allpasses' direct path.
  EXPECT_NEAR(out.Left[1116], -0.99574f * kAllpassDirect, 1e-5f);
  EXPECT_NEAR(out.Left[1188], fx.GetCombFeedback(1) * kAllpassDirect, 1e-5f);
  EXPECT_NEAR(out.Right[1139], fx.GetCombFeedback(8) * kAllpassDirect, 1e-5f);
}

TEST(Reverb, PreDelayDelaysTheNetworkInput) {
  effect_test::TEffectAt<TDSPReverbX> at(44100);
  TDSPReverbX& fx = at.Fx;
  PlainRoom(fx);
  fx.SetPreDelayFeedback(0);
  fx.SetPreDelay(20);  // (50 * 20 / 127)^2 - 1 = 61.0 ms
  const std::int32_t delay = fx.GetPreDelayLength();
  EXPECT_EQ(delay, 2690);
  const auto out = effect_test::RunImpulse(fx, 5000);
  EXPECT_EQ(FirstAbove(out.Left, 1e-6f), static_cast<std::size_t>(delay) + 1116);

  fx.SetPreDelay(127);
  EXPECT_EQ(fx.GetPreDelayLength(), 110205);  // 2499 ms
  fx.SetPreDelay(1);                          // below one sample: no line, the sum feeds the network
  EXPECT_EQ(fx.GetPreDelayLength(), 0);
  fx.ClearState();
  const auto direct = effect_test::RunImpulse(fx, 2000);
  EXPECT_EQ(FirstAbove(direct.Left, 1e-6f), 1116u);
}

TEST(Reverb, SettersClampAndNormalise) {
  TDSPReverbX fx;
  fx.SetSize(128);
  EXPECT_FLOAT_EQ(fx.GetSizeFactor(), 100.0f);
  fx.SetSize(0);
  EXPECT_EQ(fx.GetSize(), 64.0f);
  EXPECT_FLOAT_EQ(fx.GetSizeFactor(), 1.0f);
  fx.SetSize(32);
  EXPECT_NEAR(fx.GetSizeFactor(), std::sqrt(0.1f), 1e-6f);
  fx.SetSize(1e9f);  // bounded allocation
  EXPECT_EQ(fx.GetSize(), 128.0f);
  fx.SetRoomType(9);
  EXPECT_EQ(fx.GetRoomType(), 6);
  fx.SetPreDelayFeedback(2.0f);
  EXPECT_EQ(fx.GetPreDelayFeedback(), 0.985f);
  fx.SetDamping(0);
  EXPECT_EQ(fx.GetDampingCoefficient(), 1.0f);
  fx.SetDamping(500);
  EXPECT_EQ(fx.GetDamping(), 127.0f);
  EXPECT_EQ(fx.GetDampingCoefficient(), 0.0f);
  fx.SetTime(std::numeric_limits<float>::quiet_NaN());
  EXPECT_FALSE(std::isnan(fx.GetTime()));
}

TEST(Reverb, RoomZeroIsTheSameRandomRoomInEveryReverbAndEveryRebuild) {
  effect_test::TEffectAt<TDSPReverbX> at(44100);
  TDSPReverbX& fx = at.Fx;
  fx.SetRoomType(0);
  fx.SetSize(64);
  std::int32_t first[TDSPReverbX::kCombCount];
  std::set<std::int32_t> distinct;
  for (int i = 0; i < TDSPReverbX::kCombCount; ++i) {
    first[i] = fx.GetCombLength(i);
    EXPECT_GE(first[i], i < 8 ? 800 : 823);
    EXPECT_LT(first[i], i < 8 ? 2200 : 2223);
    if (i < 8) distinct.insert(first[i]);
  }
  EXPECT_GE(distinct.size(), 6u) << "drawn lengths, not one repeated";
  fx.SetSize(65);
  fx.SetSize(64);
  for (int i = 0; i < TDSPReverbX::kCombCount; ++i) EXPECT_EQ(fx.GetCombLength(i), first[i]);
  effect_test::TEffectAt<TDSPReverbX> other(44100);
  other.Fx.SetSize(80);
  other.Fx.SetRoomType(3);
  other.Fx.SetRoomType(0);
  other.Fx.SetSize(64);
  for (int i = 0; i < TDSPReverbX::kCombCount; ++i) EXPECT_EQ(other.Fx.GetCombLength(i), first[i]);
}

TEST(Reverb, RoomChangeStartsSilent) {
  effect_test::TEffectAt<TDSPReverbX> at(44100);
  TDSPReverbX& fx = at.Fx;
  PlainRoom(fx);
  fx.SetTime(120);
  const auto noise = testing_support::Noise(4400, 3);
  effect_test::Run(fx, noise, noise);
  fx.SetRoomType(3);
  const auto after = effect_test::Run(fx, std::vector<float>(4400, 0.0f), std::vector<float>(4400, 0.0f));
  EXPECT_LT(testing_support::Peak(after.Left), 1e-12f);
}

TEST(Reverb, NonFiniteInputDoesNotRingForEver) {
  effect_test::TEffectAt<TDSPReverbX> at(44100);
  TDSPReverbX& fx = at.Fx;
  PlainRoom(fx);
  fx.SetTime(127);
  std::vector<float> bad(44, std::numeric_limits<float>::quiet_NaN());
  effect_test::Run(fx, bad, bad);
  const auto after = effect_test::Run(fx, std::vector<float>(44000, 0.0f), std::vector<float>(44000, 0.0f));
  EXPECT_TRUE(testing_support::AllFinite(after.Left));
  EXPECT_TRUE(testing_support::AllFinite(after.Right));
}

TEST(Reverb, LargestRoomBuildsAndPlays) {
  effect_test::TEffectAt<TDSPReverbX> at(48000);
  TDSPReverbX& fx = at.Fx;
  fx.SetRoomType(1);
  fx.SetSize(128);
  EXPECT_EQ(fx.GetCombLength(3), static_cast<std::int32_t>(std::nearbyint(395000.0 * 48000 / 44100)));
  fx.SetTime(127);
  const auto out = effect_test::RunImpulse(fx, 48000);
  EXPECT_TRUE(testing_support::AllFinite(out.Left));
}

// When every line holds a sub-block the network runs in one pass per run
// between wrap points (combs four per register), the pre-delay four samples
// per register; otherwise combs as read, recursion and write passes and
// shorter lines sample by sample. Either way the result must be exactly the
// plain per-sample network, here with combs of both kinds and allpasses
// shorter than a sub-block (room 6 at the smallest size).
TEST(Reverb, NetworkGivesExactlyThePerSampleForm) {
  // Pre-delay lines of none, 17 and 126 samples (shorter and longer than a
  // sub-block), with feedback; the combs in AVX registers (where the CPU has
  // AVX2) and in SSE ones; room 1 at size 1 has combs shorter than a
  // sub-block, which run one sample at a time beside the others.
  struct TRoom {
    std::int32_t Type;
    float Size;
  };
  for (bool avx2 : {true, false})
    for (TRoom room : {TRoom{6, 1.0f}, TRoom{6, 64.0f}, TRoom{1, 1.0f}})
      for (float preDelay : {0.0f, 3.0f, 5.0f}) {
        SCOPED_TRACE(SetReverbAvx2(avx2) ? "AVX2" : "SSE");
        const float size = room.Size;
        effect_test::TEffectAt<TDSPReverbX> at(44100);
        TDSPReverbX& fx = at.Fx;
        fx.SetRoomType(room.Type);
        fx.SetSize(size);
        fx.SetPreDelay(preDelay);
        fx.SetPreDelayFeedback(0.6f);
        fx.SetDamping(40);
        fx.SetTime(90);
        effect_test::AllWet(fx);
        const std::int32_t n = at.Record.SamplesPerMs;
        bool shortLine = false;
        for (int j = 0; j < TDSPReverbX::kAllpassCount; ++j) shortLine |= fx.GetAllpassLength(j) < n;
        if (room.Type == 6) {
          EXPECT_EQ(shortLine, size == 1.0f);
        }
        bool shortComb = false;
        for (int c = 0; c < TDSPReverbX::kCombCount; ++c) shortComb |= fx.GetCombLength(c) < n;
        EXPECT_EQ(shortComb, room.Type == 1);
        // Inputs well above the anti-denormal noise, which then adds nothing.
        std::vector<float> left = testing_support::Noise(300 * static_cast<std::size_t>(n), 8);
        std::vector<float> right = testing_support::Noise(left.size(), 9);
        for (std::size_t i = 0; i < left.size(); ++i) {
          left[i] = 0.5f + 0.25f * left[i];
          right[i] = 0.5f + 0.25f * right[i];
        }
        // The per-sample network.
        const float damp = fx.GetDampingCoefficient(), pass = 1.0f - damp;
        std::vector<std::vector<float>> combs, allpasses;
        std::vector<std::size_t> combPos(TDSPReverbX::kCombCount, 0), allpassPos(TDSPReverbX::kAllpassCount, 0);
        std::vector<float> state(TDSPReverbX::kCombCount, 0.0f);
        for (int c = 0; c < TDSPReverbX::kCombCount; ++c)
          combs.emplace_back(static_cast<std::size_t>(fx.GetCombLength(c)), 0.0f);
        for (int j = 0; j < TDSPReverbX::kAllpassCount; ++j)
          allpasses.emplace_back(static_cast<std::size_t>(fx.GetAllpassLength(j)), 0.0f);
        std::vector<float> expected[2] = {std::vector<float>(left.size()), std::vector<float>(left.size())};
        std::vector<float> preLine(static_cast<std::size_t>(fx.GetPreDelayLength()), 0.0f);
        std::size_t prePos = 0;
        for (std::size_t i = 0; i < left.size(); ++i) {
          float in = (left[i] + right[i]) * 0.5f;
          if (!preLine.empty()) {
            const float held = preLine[prePos];
            preLine[prePos] = held * 0.6f + in;
            in = held;
            if (++prePos == preLine.size()) prePos = 0;
          }
          for (int side = 0; side < 2; ++side) {
            float out = 0.0f;
            for (int c = side * 8; c < side * 8 + 8; ++c) {
              auto& line = combs[static_cast<std::size_t>(c)];
              std::size_t& pos = combPos[static_cast<std::size_t>(c)];
              const float a = line[pos] * fx.GetCombFeedback(c);
              float& s = state[static_cast<std::size_t>(c)];
              s = pass * a + damp * s;
              line[pos] = in + s;
              out += s;
              if (++pos >= line.size()) pos = 0;
            }
            for (int j = side * 4; j < side * 4 + 4; ++j) {
              auto& line = allpasses[static_cast<std::size_t>(j)];
              std::size_t& pos = allpassPos[static_cast<std::size_t>(j)];
              const float b = line[pos];
              line[pos] = 0.7f * b + out;
              out = b - 0.7f * line[pos];
              if (++pos >= line.size()) pos = 0;
            }
            expected[side][i] = out;
          }
        }
        const auto got = effect_test::Run(fx, left, right);
        for (std::size_t i = 0; i < got.Left.size(); ++i) {
          ASSERT_EQ(got.Left[i], expected[0][i])
              << "room " << room.Type << " size " << size << " pre-delay " << preDelay << " sample " << i;
          ASSERT_EQ(got.Right[i], expected[1][i])
              << "room " << room.Type << " size " << size << " pre-delay " << preDelay << " sample " << i;
        }
      }
  SetReverbAvx2(true);
}
