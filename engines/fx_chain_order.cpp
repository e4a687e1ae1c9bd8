#include "engines/fx_chain_order.h"

#include <algorithm>

namespace {

// The order parameters in FX index order: the turns.
consteval std::array<int, kFxEffectCount> TurnParams() {
  std::array<int, kFxEffectCount> fx{};
  std::size_t n = 0;
  for (std::size_t i = 0; i < FxParamTableCount && n < fx.size(); ++i) {
    if (FxParamTable[i].Op == TFxOp::MoveEffect) fx[n++] = static_cast<int>(i);
  }
  return fx;
}
constexpr std::array<int, kFxEffectCount> kTurnParam = TurnParams();

bool IsPosition(std::int32_t v) { return v >= 0 && v < kFxEffectCount; }

int PositionOf(const TFxChain& chain, TFxUnit unit) {
  return static_cast<int>(std::find(chain.begin(), chain.end(), unit) - chain.begin());
}

// The replay's state between turns.
struct TReplay {
  TFxChain Chain = InitialFxChain();
  // Effects moved away by an earlier turn before their own.
  std::array<bool, kFxEffectCount> Displaced{};

  // Turn k's effect moves to v when it may.
  void Turn(int k, std::int32_t v) {
    if (Displaced[static_cast<std::size_t>(k)] || !IsPosition(v)) return;
    const TFxUnit unit = FxOrderTurnUnit(k);
    const int i = PositionOf(Chain, unit);
    if (v == i) return;
    const TFxUnit occupant = Chain[static_cast<std::size_t>(v)];
    Displaced[static_cast<std::size_t>(FxOrderTurnOf(occupant))] = true;
    Chain[static_cast<std::size_t>(i)] = occupant;
    Chain[static_cast<std::size_t>(v)] = unit;
  }
};

struct TSearch {
  const TFxChain& Target;
  int FixedTurn;
  std::int32_t FixedValue;
  TFxOrderValues Values{};

  // Depth-first over the turns with at most `budget` values that differ
  // from the effect's target position.
  bool Run(int k, const TReplay& state, int budget) {
    if (k == kFxEffectCount) return state.Chain == Target;
    const TFxUnit unit = FxOrderTurnUnit(k);
    const auto target = static_cast<std::int32_t>(PositionOf(Target, unit));
    const auto tryValue = [&](std::int32_t v, int cost) {
      if (cost > budget) return false;
      TReplay next = state;
      next.Turn(k, v);
      Values[static_cast<std::size_t>(k)] = v;
      return Run(k + 1, next, budget - cost);
    };
    if (k == FixedTurn) return tryValue(FixedValue, 0);
    // A displaced effect ignores its value: it may as well name its position.
    if (state.Displaced[static_cast<std::size_t>(k)]) return tryValue(target, 0);
    if (tryValue(target, 0)) return true;
    for (std::int32_t v = 0; v <= kFxEffectCount; ++v) {
      if (v != target && tryValue(v, 1)) return true;
    }
    return false;
  }
};

}  // namespace

TFxUnit FxOrderTurnUnit(int turn) { return FxParamRow(kTurnParam[static_cast<std::size_t>(turn)]).Unit; }

int FxOrderTurnParam(int turn) { return kTurnParam[static_cast<std::size_t>(turn)]; }

int FxOrderTurnOf(TFxUnit unit) {
  for (int k = 0; k < kFxEffectCount; ++k)
    if (FxOrderTurnUnit(k) == unit) return k;
  return -1;
}

TFxChain InitialFxChain() {
  return {TFxUnit::Reverb, TFxUnit::Distortion, TFxUnit::Chorus, TFxUnit::XFilter,
          TFxUnit::Delay,  TFxUnit::Phaser,     TFxUnit::EQ};
}

TFxChain ReplayFxOrder(const TFxOrderValues& values) {
  TReplay replay;
  for (int k = 0; k < kFxEffectCount; ++k) replay.Turn(k, values[static_cast<std::size_t>(k)]);
  return replay.Chain;
}

bool FindFxOrderValues(const TFxChain& target, int fixedTurn, std::int32_t fixedValue, TFxOrderValues& values) {
  TSearch search{target, fixedTurn, fixedValue};
  // The fewest differing values first; no chain needs more than all seven.
  for (int budget = 0; budget <= kFxEffectCount; ++budget) {
    if (search.Run(0, TReplay{}, budget)) {
      values = search.Values;
      return true;
    }
  }
  return false;
}
