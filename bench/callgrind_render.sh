#!/usr/bin/env bash
# Instruction counts of a render through the command-line host, repeatable on
# a noisy machine:
#   bench/callgrind_render.sh [VOICES] [PROGRAM] [SECONDS] [BUILD_DIR]
# VOICES held notes (default 16) on the keys 45 + (5 v mod 36), struck at the
# start and held SECONDS (default 2) at 44.1 kHz in 512-frame blocks, program
# PROGRAM (default 0) with "Voices" set to match. Counts only the plug-in's
# processEvents + processReplacing (not loading, opening or the host) and
# prints instructions per frame. VOICE_VALUE in the environment sets "Voices"
# (normalised) instead; CALLGRIND_KEEP names a file that keeps the profile.
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")/.."
VOICES=${1:-16}
PROGRAM=${2:-0}
SECONDS_HELD=${3:-2}
BUILD=${4:-build}
HOST=$BUILD/rumbleon-host
MODULE=$BUILD/module/rumbleon2.so
[ -x "$HOST" ] || { echo "build first: $HOST is missing" >&2; exit 1; }
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
python3 bench/make_midi.py "$WORK/held.mid" "$VOICES" "$SECONDS_HELD" spread
VOICE_VALUE=${VOICE_VALUE:-$(python3 -c "print('%.6f' % (($VOICES - 1) / 31.0))")}
valgrind --tool=callgrind --callgrind-out-file="$WORK/callgrind.out" \
  --toggle-collect='*ProcessReplacingEntry*' --toggle-collect='*ProcessEvents*' \
  "$HOST" render "$MODULE" "$WORK/held.mid" -o "$WORK/out.wav" --rate 44100 --block 512 \
  --program "$PROGRAM" --set "Voices=$VOICE_VALUE" --tail 0 >"$WORK/host.txt" 2>"$WORK/valgrind.txt"
INSTRUCTIONS=$(grep -E '^(summary|totals):' "$WORK/callgrind.out" | head -1 | awk '{print $2}')
FRAMES=$(python3 -c "import math; print(math.ceil($SECONDS_HELD * 44100 / 512) * 512)")
echo "$VOICES held voices, program $PROGRAM, $SECONDS_HELD s at 44.1 kHz in 512-frame blocks"
echo "instructions in processEvents + processReplacing: $INSTRUCTIONS"
python3 -c "print('instructions per frame: %.1f' % ($INSTRUCTIONS / $FRAMES))"
[ -z "${CALLGRIND_KEEP:-}" ] || cp "$WORK/callgrind.out" "$CALLGRIND_KEEP"
