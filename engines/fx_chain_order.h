// The order of the effects rack's chain as its seven order parameters give
// it. A program's chain is a function of those values alone: starting from
// the initial chain (Reverb, Distortion, Chorus, XFilter, Delay, Phaser, EQ),
// the effects take their turns in parameter order (Reverb, Distortion,
// Phaser, Delay, Chorus, XFilter, EQ); at its turn an effect moves to the
// position its value names (0..6; other values leave it) and the effect
// there takes its old place. An effect displaced before its turn counts as
// placed where it landed and does not move at its turn. The default values
// (5, 0, 2, 4, 3, 1, 6) so give Distortion, Phaser, XFilter, Chorus, Delay,
// Reverb, EQ.
//
// Not every way of writing a chain's positions as values replays to that
// chain, so after an edit the rack looks for values that do
// (FindFxOrderValues) and stores them: a saved chain is what a fresh
// instance rebuilds.
//
// Pure functions on small arrays: any thread.
#pragma once

#include <array>
#include <cstdint>

#include "engines/fx_param_table.h"

// Effects by chain position, position 0 processed first.
using TFxChain = std::array<TFxUnit, kFxEffectCount>;
// Order values by turn (the parameter order above); 0..6 name a position,
// anything else leaves the effect where it is.
using TFxOrderValues = std::array<std::int32_t, kFxEffectCount>;

// Turn k's effect and its FX index; the turn of an effect (-1 for Rack).
TFxUnit FxOrderTurnUnit(int turn);
int FxOrderTurnParam(int turn);
int FxOrderTurnOf(TFxUnit unit);

// The chain before any move.
TFxChain InitialFxChain();
// The chain the values give.
TFxChain ReplayFxOrder(const TFxOrderValues& values);

// Values that replay to target, as close as possible to each effect's
// position in it (fewest values that differ), with turn fixedTurn's value
// fixed at fixedValue (fixedTurn -1: none fixed). False when no such values
// exist; every chain has values with any one effect's position fixed.
bool FindFxOrderValues(const TFxChain& target, int fixedTurn, std::int32_t fixedValue, TFxOrderValues& values);
