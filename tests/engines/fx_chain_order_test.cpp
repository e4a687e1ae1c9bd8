#include "engines/fx_chain_order.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "engines/fx_param_table.h"

namespace {

TEST(FxChainOrder, TheDefaultValuesReplayToTheDocumentedOrder) {
  const TFxChain documented = {TFxUnit::Distortion, TFxUnit::Phaser, TFxUnit::XFilter, TFxUnit::Chorus,
                               TFxUnit::Delay,      TFxUnit::Reverb, TFxUnit::EQ};
  // The order parameters' defaults (rows 3..9, one per turn).
  TFxOrderValues defaults{};
  for (int k = 0; k < kFxEffectCount; ++k) {
    ASSERT_EQ(FxParamRow(3 + k).Op, TFxOp::MoveEffect);
    ASSERT_EQ(FxParamRow(3 + k).Unit, FxOrderTurnUnit(k));
    defaults[static_cast<std::size_t>(k)] = FxParamRow(3 + k).Default;
  }
  EXPECT_EQ(ReplayFxOrder(defaults), documented);
  // Values that name no position leave the initial chain.
  EXPECT_EQ(ReplayFxOrder({7, 8, 9, 10, 11, 12, -1}), InitialFxChain());
}

TEST(FxChainOrder, EveryChainHasValuesWithAnyOneEffectAtItsPosition) {
  TFxChain chain = InitialFxChain();
  std::sort(chain.begin(), chain.end());
  int chains = 0;
  int describedExactly = 0;
  do {
    ++chains;
    TFxOrderValues free{};
    ASSERT_TRUE(FindFxOrderValues(chain, -1, 0, free));
    ASSERT_EQ(ReplayFxOrder(free), chain);
    bool exact = true;
    for (int k = 0; k < kFxEffectCount; ++k) {
      const auto position =
          static_cast<std::int32_t>(std::find(chain.begin(), chain.end(), FxOrderTurnUnit(k)) - chain.begin());
      exact &= free[static_cast<std::size_t>(k)] == position;
      TFxOrderValues fixed{};
      ASSERT_TRUE(FindFxOrderValues(chain, k, position, fixed)) << chains << " turn " << k;
      ASSERT_EQ(ReplayFxOrder(fixed), chain);
      ASSERT_EQ(fixed[static_cast<std::size_t>(k)], position);
    }
    describedExactly += exact ? 1 : 0;
  } while (std::next_permutation(chain.begin(), chain.end()));
  EXPECT_EQ(chains, 5040);
  // Where the positions themselves rebuild the chain, they are the values found.
  EXPECT_EQ(describedExactly, 2051);
}

}  // namespace
