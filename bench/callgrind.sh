#!/usr/bin/env bash
# Instruction counts of the 16-voice render, repeatable on a noisy machine:
#   bench/callgrind.sh [MODULE.so] [VOICES] [SECONDS]
# Counts only what the plug-in does inside the host's per-block call
# (processEvents + processReplacing), and prints instructions per frame.
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")/.."
MODULE=${1:-build/module/rumbleon2.so}
VOICES=${2:-16}
SECONDS_=${3:-2}
HOST=build/rumbleon-host
[ -x "$HOST" ] || { echo "build first: $HOST is missing" >&2; exit 1; }
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
python3 bench/make_midi.py "$WORK/held.mid" "$VOICES" "$SECONDS_"
valgrind --tool=callgrind --callgrind-out-file="$WORK/callgrind.out" \
  --toggle-collect='TVstPlugin::ProcessBlock*' \
  "$HOST" render "$MODULE" "$WORK/held.mid" -o "$WORK/out.wav" --tail 0 --block 512 >"$WORK/render.txt" 2>"$WORK/valgrind.txt"
INSTRUCTIONS=$(grep -E '^(summary|totals):' "$WORK/callgrind.out" | head -1 | awk '{print $2}')
FRAMES=$(python3 -c "print(round($SECONDS_ * 44100) + 1)")
echo "module $MODULE, $VOICES held voices, $SECONDS_ s at 44.1 kHz in 512-frame blocks"
echo "instructions in the plug-in's block calls: $INSTRUCTIONS"
python3 -c "print('instructions per frame: %.1f' % ($INSTRUCTIONS / $FRAMES))"
