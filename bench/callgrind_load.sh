#!/usr/bin/env bash
# Instructions a host spends on the module each time it scans its plug-ins or
# opens a project, repeatable on a noisy machine:
#   bench/callgrind_load.sh [BUILD_DIR] [MODULE]
# Runs `rumbleon-host info` under callgrind: load the module (dlopen, with
# every static initialisation), open one instance, read every parameter's
# name and display and every program's name. Prints the whole process's
# count and its two large parts; exits 1 when the whole is above the budget.
# BUILD_DIR defaults to build, MODULE to the build's own rumbleon2.so.
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")/.."
BUILD=${1:-build}
MODULE=${2:-$BUILD/module/rumbleon2.so}
HOST=$BUILD/rumbleon-host
BUDGET=250000000
[ -x "$HOST" ] || { echo "build first: $HOST is missing" >&2; exit 1; }
[ -f "$MODULE" ] || { echo "no module at $MODULE" >&2; exit 1; }
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
valgrind --tool=callgrind --callgrind-out-file="$WORK/callgrind.out" \
  "$HOST" info "$MODULE" >"$WORK/info.txt" 2>"$WORK/valgrind.txt"
callgrind_annotate --inclusive=yes --threshold=100 "$WORK/callgrind.out" >"$WORK/annotated.txt"
python3 - "$WORK/callgrind.out" "$WORK/annotated.txt" "$BUDGET" <<'PY'
import re, sys
out, annotated, budget = sys.argv[1], sys.argv[2], int(sys.argv[3])
total = 0
for line in open(out):
    if line.startswith(("summary:", "totals:")):
        total = int(line.split()[1])
        break
def inclusive(name):
    for line in open(annotated):
        if name in line:
            return int(re.match(r"\s*([\d,]+)", line).group(1).replace(",", ""))
    return 0
load = inclusive("TVstModule::Load(")
open_ = inclusive("TVstPlugin::Open(")
print("rumbleon-host info: load, one instance, every parameter's name and display")
print("instructions in all:          %13s (%.1f M)" % (f"{total:,}", total / 1e6))
print("  loading the module:         %13s" % f"{load:,}")
print("  opening the instance:       %13s" % f"{open_:,}")
print("budget: %.0f M, %s" % (budget / 1e6, "within" if total <= budget else "OVER"))
sys.exit(0 if total <= budget else 1)
PY
