#!/usr/bin/env bash
# Set-up, build and run of Rumbleon2 on Debian 12, as root on a fresh machine.
#
#   ./rumbleon.sh demo   install what is missing, build, and render the built-in
#                        demo phrase through build/module/rumbleon2.so into demo.wav
#   ./rumbleon.sh test   install what is missing, then every CI stage: format
#                        check, build and all tests, conformance check, valgrind,
#                        ASan+UBSan, TSan stress tests, fuzzing (what .ci/run runs)
#   ./rumbleon.sh install  build the module and copy it into ~/.vst of the
#                        user running this, where VST 2 hosts find it
#
# Environment: JOBS (parallel jobs, default: all cores), RUMBLEON_STAGES (the
# test stages to run, default "format build check valgrind asan tsan fuzz"),
# RUMBLEON_FUZZ_SECONDS (per fuzz target, default 20), APT_LOCK_WAIT (seconds
# set-up waits for another package manager's lock, default 1800).
set -uo pipefail
cd "$(dirname "$(readlink -f "$0")")" || exit 1
ROOT=$PWD
JOBS=${JOBS:-$(nproc)}
FUZZ_SECONDS=${RUMBLEON_FUZZ_SECONDS:-20}
MODULE=build/module/rumbleon2.so

# Everything any part of the build needs, as it grows.
PACKAGES=(g++ cmake make ninja-build pkg-config libgtest-dev libgmock-dev libbenchmark-dev
  zlib1g-dev libpng-dev libjpeg62-turbo-dev libgif-dev libx11-dev libxtst-dev libxfixes-dev libcairo2-dev
  xvfb xauth clang libclang-rt-14-dev clang-format valgrind python3 locales
  fonts-liberation2 fonts-dejavu-core fonts-dejavu-extra fonts-open-sans)

say() { printf '\n== %s\n' "$*"; }

# apt-get with its arguments, quiet unless it fails. While another package
# manager holds apt's or dpkg's lock (a freshly booted machine runs its
# automatic updates) it waits, saying so, for up to APT_LOCK_WAIT seconds
# (default 1800) before it gives up.
apt_get() {
  local out waited=0 limit=${APT_LOCK_WAIT:-1800}
  while :; do
    out=$(apt-get "$@" 2>&1) && return 0
    if ! grep -qE 'Could not get lock|Unable to acquire the dpkg frontend lock|Unable to lock' <<<"$out"; then
      echo "$out" >&2
      return 1
    fi
    if ((waited >= limit)); then
      echo "$out" >&2
      echo "another package manager still holds the lock after ${waited} s; run this again when it is done" >&2
      return 1
    fi
    if ((waited % 60 == 0)); then
      echo "waiting for another package manager to finish: $(grep -m1 -oE 'held by process [0-9]+( \([^)]*\))?' <<<"$out" || echo 'its lock is held') (${waited} s so far)"
    fi
    sleep 5
    waited=$((waited + 5))
  done
}

install_packages() {
  local missing=() p
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -qx 'install ok installed' || missing+=("$p")
  done
  if ((${#missing[@]})); then
    if [ "$(id -u)" -ne 0 ]; then
      echo "missing Debian packages: ${missing[*]}; run as root (or: apt-get install ${missing[*]})" >&2
      exit 1
    fi
    say "installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt_get update -qq || exit 1
    apt_get install -y -qq --no-install-recommends "${missing[@]}" || exit 1
  fi
  # A locale whose decimal separator is ',' for the value-text check.
  if ! locale -a 2>/dev/null | grep -qix 'de_DE\.utf-\?8' && [ "$(id -u)" -eq 0 ]; then
    localedef -i de_DE -f UTF-8 de_DE.UTF-8 >/dev/null 2>&1 || true
  fi
}

# configure DIR [cmake options...]: quiet unless it fails.
configure() {
  local dir=$1 log
  shift
  log=$(cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" 2>&1) || {
    echo "$log"
    return 1
  }
}

# Sanitizer and fuzz builds keep line tables only (-g1): their reports name
# file and line, and they compile a fifth faster than with full debug
# information.
LEAN_DEBUG=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-g1 -DCMAKE_C_FLAGS=-g1)

build() {
  local dir=$1
  shift
  cmake --build "$dir" -j "$JOBS" "$@"
}

# Runs a command under a virtual display when one can be started, so that the
# editor checks run too.
with_display() {
  if [ -z "${DISPLAY:-}" ] && command -v xvfb-run >/dev/null; then
    xvfb-run -a -s "-screen 0 1280x1024x24" "$@"
  else
    "$@"
  fi
}

# Our own sources laid out as .clang-format says (there are no third-party
# sources in the tree). Lists the files that differ; `clang-format -i FILE`
# mends one.
stage_format() {
  local files
  files=$(find platform framework dsp engines gui module tools tests fuzz bench \
    -type f \( -name '*.h' -o -name '*.cpp' -o -name '*.inc' \) | sort |
    xargs -r -P "$JOBS" -n 16 sh -c 'for f; do clang-format --dry-run --Werror "$f" >/dev/null 2>&1 || echo "$f"; done' _ |
    sort)
  [ -z "$files" ] && return 0
  echo "not formatted as .clang-format says ($(echo "$files" | wc -l) files; clang-format -i FILE mends one):"
  echo "$files"
  return 1
}

stage_build() {
  configure build -DRUMBLEON_BENCH=ON && build build &&
    (cd build && ctest -j "$JOBS" --output-on-failure --timeout 900)
}

# check HOST MODULE: the conformance checks. A check listed in
# .ci/check-known-failures (one name a line, while the instrument lacks what
# it tests) may fail without failing the stage; any other failure fails it.
run_check() {
  local out status unexpected
  out=$(with_display "$1" check "$2" 2>&1)
  status=$?
  echo "$out"
  [ "$status" -eq 0 ] && return 0
  unexpected=$(echo "$out" | awk '/^FAIL /{print $2}' | grep -vxF -f <(grep -v '^#' .ci/check-known-failures 2>/dev/null) || true)
  if [ -z "$unexpected" ] && echo "$out" | grep -q '^FAIL '; then
    echo "only known failures (.ci/check-known-failures)"
    return 0
  fi
  echo "failed checks: ${unexpected:-the check run itself}"
  return 1
}

stage_check() {
  build build --target rumbleon-host rumbleon2 >/dev/null &&
    run_check build/rumbleon-host "$MODULE"
}

stage_valgrind() {
  build build --target rumbleon-host >/dev/null || return 1
  local target=$MODULE
  build build --target rumbleon_testsynth >/dev/null || return 1
  valgrind -q --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite \
    build/rumbleon-host render "$target" --demo --tail 0.5 -o build/valgrind-demo.wav || return 1
  # Loading and unloading the module again and again leaves nothing behind.
  valgrind -q --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite \
    build/rumbleon-host check "$target" --only reload --no-fork
}

stage_asan() {
  # Every test but the fuzz targets' replays: the fuzz stage runs each
  # target over the same inputs under ASan+UBSan, so their programs are not
  # built here (everything is when the normal build's test list is missing).
  local targets exclude='^FuzzReplay\.'
  targets=$(test_programs . "$exclude")
  configure build-asan -DRUMBLEON_SANITIZE=address -DRUMBLEON_BENCH=OFF "${LEAN_DEBUG[@]}" &&
    if [ -n "$targets" ]; then
      # shellcheck disable=SC2086
      build build-asan --target $targets rumbleon-host rumbleon2
    else
      exclude='^$'
      build build-asan
    fi || return 1
  # intercept_tls_get_addr=0: under Debian 12's C library the sanitizer's
  # record of a loaded module's thread-local block can come out with a
  # bogus range, and LeakSanitizer's scan at exit then stops with a fatal
  # error (tests that load the module, depending on the binary's layout).
  # Nothing of ours lives only in a module's thread-local storage at exit:
  # those objects end with their threads, before the scan.
  if ! (cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:intercept_tls_get_addr=0 ctest -j "$JOBS" \
    -E "$exclude" --output-on-failure --timeout 1800); then
    echo "instrumented tests failed: the conformance check of the instrumented module was not run"
    return 1
  fi
  # The whole conformance suite against the instrumented module.
  run_check build-asan/rumbleon-host build-asan/module/rumbleon2.so
}

# test_programs REGEX [EXCLUDE]: the programs of this build that run the
# tests matching REGEX (and not EXCLUDE), as the normal build's test list
# names them; empty without that build.
test_programs() {
  [ -f build/CTestTestfile.cmake ] || return 0
  (cd build && ctest --show-only=json-v1 -R "$1" ${2:+-E "$2"} 2>/dev/null) | python3 -c '
import json, os, sys
root = os.path.realpath(sys.argv[1]) + os.sep
tests = json.load(sys.stdin).get("tests", [])
print(" ".join(sorted({os.path.basename(t["command"][0]) for t in tests
                       if t.get("command") and os.path.realpath(t["command"][0]).startswith(root)})))' build 2>/dev/null
}

stage_tsan() {
  # Stress tests are the ones whose name contains "Stress": only the
  # programs that hold them are built (everything when that is not known).
  local targets
  targets=$(test_programs Stress)
  configure build-tsan -DRUMBLEON_SANITIZE=thread -DRUMBLEON_BENCH=OFF "${LEAN_DEBUG[@]}" &&
    if [ -n "$targets" ]; then
      echo "building $targets"
      # shellcheck disable=SC2086
      build build-tsan --target $targets
    else
      build build-tsan
    fi &&
    (cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$ROOT/.ci/tsan.supp \
      setarch "$(uname -m)" -R ctest -j "$JOBS" -R Stress --output-on-failure --timeout 1800)
}

# fuzz_one NAME: one libFuzzer target for FUZZ_SECONDS from its seeds and
# kept regressions; its report in build-fuzz/fuzz-NAME.log.
fuzz_one() {
  local name=$1 fuzzer=build-fuzz/fuzz/fuzz_$1 corpus=build-fuzz/corpus/$1 regressions=$ROOT/tests/fuzz/regressions/$1
  mkdir -p "$corpus" "$regressions"
  local failed=0
  RUMBLEON_FUZZ_WRITE_SEEDS=$corpus "$fuzzer" >/dev/null || failed=1
  # Crashing inputs land in tests/fuzz/regressions/NAME/: keep them.
  if ! "$fuzzer" -max_total_time="$FUZZ_SECONDS" -timeout=10 -rss_limit_mb=4096 -print_final_stats=1 \
    -artifact_prefix="$regressions/" "$corpus" "$regressions" >build-fuzz/fuzz-$name.log 2>&1; then
    failed=1
  fi
  rmdir "$regressions" 2>/dev/null
  return $failed
}

stage_fuzz() {
  CC=clang CXX=clang++ configure build-fuzz -DRUMBLEON_SANITIZE=fuzzer -DRUMBLEON_TESTS=OFF "${LEAN_DEBUG[@]}" &&
    build build-fuzz --target rumbleon_fuzz || return 1
  local failed=0 fuzzer names=() pids=() start i name
  for fuzzer in build-fuzz/fuzz/fuzz_*; do
    [ -x "$fuzzer" ] && names+=("${fuzzer##*/fuzz_}")
  done
  echo "fuzzing ${#names[@]} targets for ${FUZZ_SECONDS} s each, $JOBS at a time"
  # A fuzzer works on one core: JOBS of them at once.
  for ((start = 0; start < ${#names[@]}; start += JOBS)); do
    pids=()
    for ((i = start; i < start + JOBS && i < ${#names[@]}; i++)); do
      fuzz_one "${names[i]}" &
      pids+=($!)
    done
    for ((i = start; i < start + JOBS && i < ${#names[@]}; i++)); do
      name=${names[i]}
      if wait "${pids[i - start]}"; then
        grep -E 'stat::number_of_executed_units' build-fuzz/fuzz-$name.log | sed "s/^/  $name: /"
      else
        tail -40 build-fuzz/fuzz-$name.log
        echo "fuzz target $name failed: the input is kept in tests/fuzz/regressions/$name/"
        failed=1
      fi
    done
  done
  return $failed
}

# Processor seconds (user and system) of every program this script has run
# and waited for so far.
cpu_seconds() {
  local f
  read -ra f </proc/$$/stat 2>/dev/null || {
    echo 0
    return
  }
  echo $(((f[15] + f[16]) / $(getconf CLK_TCK)))
}

run_tests() {
  local stages=${RUMBLEON_STAGES:-format build check valgrind asan tsan fuzz}
  local passed=0 failed=0 summary="" stage start seconds cpu
  echo "$JOBS parallel jobs, fuzz targets ${FUZZ_SECONDS} s each"
  for stage in $stages; do
    say "stage $stage"
    start=$(date +%s)
    cpu=$(cpu_seconds)
    if "stage_$stage"; then
      passed=$((passed + 1))
      summary+="  PASS $stage"
    else
      failed=$((failed + 1))
      summary+="  FAIL $stage"
    fi
    seconds=$(($(date +%s) - start))
    # Wall time is the machine's; processor time is what the stage costs.
    summary+=" (${seconds} s, $(($(cpu_seconds) - cpu)) s of processor time)"$'\n'
  done
  say "summary"
  printf '%s' "$summary"
  echo "stages: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}

run_demo() {
  configure build && build build --target rumbleon-host rumbleon2 || exit 1
  build/rumbleon-host render "$MODULE" --demo -o demo.wav
}

# The module into the current user's ~/.vst (a host rescans to find it).
run_install() {
  configure build && build build --target rumbleon2 || exit 1
  mkdir -p "$HOME/.vst" && install -m 644 "$MODULE" "$HOME/.vst/rumbleon2.so" || exit 1
  echo "installed $HOME/.vst/rumbleon2.so"
}

case "${1:-}" in
  install)
    install_packages
    run_install
    ;;
  demo)
    install_packages
    run_demo
    ;;
  test)
    install_packages
    run_tests
    ;;
  *)
    echo "usage: $0 demo | test | install" >&2
    exit 2
    ;;
esac
