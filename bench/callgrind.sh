#!/usr/bin/env bash
# Instruction counts of the whole instrument, repeatable on a noisy machine:
#   bench/callgrind.sh [VOICES] [RACK] [BUILD_DIR]
# VOICES 1, 4 or 16 (default 16), RACK 1 (full effects rack, default) or 0.
# Runs the fixed-count variant of the instrument benchmark (86 blocks of 512
# frames at 44.1 kHz with VOICES held notes, "Voices" set to match) under
# callgrind, counts only the timed blocks (RenderHeldBlock: the plug-in's
# processEvents + processReplacing) and prints instructions per frame.
# RUMBLEON_BENCH_MODULE in the environment names another module;
# CALLGRIND_KEEP names a file that keeps the profile.
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")/.."
VOICES=${1:-16}
RACK=${2:-1}
BUILD=${3:-build-bench}
BENCH=$BUILD/rumbleon_bench
BLOCKS=86
[ -x "$BENCH" ] || { echo "build first: $BENCH is missing (cmake -DRUMBLEON_BENCH=ON)" >&2; exit 1; }
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
valgrind --tool=callgrind --callgrind-out-file="$WORK/callgrind.out" \
  --toggle-collect='*RenderHeldBlock*' \
  "$BENCH" --benchmark_filter="^BM_InstrumentFixed/voices:$VOICES/rack:$RACK/" >"$WORK/bench.txt" 2>"$WORK/valgrind.txt"
[ -z "${CALLGRIND_KEEP:-}" ] || cp "$WORK/callgrind.out" "$CALLGRIND_KEEP"
INSTRUCTIONS=$(grep -E '^(summary|totals):' "$WORK/callgrind.out" | head -1 | awk '{print $2}')
FRAMES=$((BLOCKS * 512))
echo "$VOICES held voices, rack $RACK: $BLOCKS blocks of 512 frames at 44.1 kHz"
echo "instructions in the timed blocks: $INSTRUCTIONS"
python3 -c "print('instructions per frame: %.1f' % ($INSTRUCTIONS / $FRAMES))"
