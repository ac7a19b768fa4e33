#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan), replays every stored
# input of each once, whole (fuzz/corpus/<target>, and the shipped sounds for
# fuzz_wav), then fuzzes each for a bounded time, printing executions,
# coverage and crashes per target. The targets are the fuzz/fuzz_*.cpp files.
#   scripts/fuzz.sh                  every target, 60 s each
#   scripts/fuzz.sh 10               every target, 10 s each
#   scripts/fuzz.sh 30 fuzz_wav      one target
#   scripts/fuzz.sh 0                the replay alone
# FUZZ_RUNS=N stops a target after N executions instead (then 0 seconds
# means no time limit). FUZZ_JOBS targets run at once (the number of cores).
# FUZZ_BUILD_DIR is the tree (build/fuzz); one configured with VOXLET_FUZZ=ON
# (such as test.sh's sanitizer tree) is used as it is. Exits 1 when any stored
# input or any target found a crash, a hang or a leak; the input that did it
# is kept in <tree>/artifacts/<target>/.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-${FUZZ_SECONDS:-60}}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in "$root"/fuzz/fuzz_*.cpp; do targets+=("$(basename "$f" .cpp)"); done
fi
build=${FUZZ_BUILD_DIR:-$root/build/fuzz}
runs=${FUZZ_RUNS:-}
jobs=${FUZZ_JOBS:-$(nproc)}

if ! grep -qs '^VOXLET_FUZZ:BOOL=ON' "$build/CMakeCache.txt"; then
  command -v clang++ >/dev/null || { echo "fuzz: clang++ is missing (apt-get install clang libclang-rt-14-dev)" >&2; exit 2; }
  generator=()
  command -v ninja >/dev/null && generator=(-G Ninja)
  command -v ccache >/dev/null && generator+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  cmake -S "$root" -B "$build" "${generator[@]}" -DCMAKE_CXX_COMPILER=clang++ -DVOXLET_FUZZ=ON >/dev/null || exit 2
fi
cmake --build "$build" -j2 --target "${targets[@]}" >/dev/null || { cmake --build "$build" -j1 --target "${targets[@]}"; exit 2; }

# Files written by the targets go to memory, not to the disk.
[ -d /dev/shm ] && [ -w /dev/shm ] && export TMPDIR=/dev/shm
export ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=1:allocator_may_return_null=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

# Largest input per target: a little over one voice block for the peer, a
# WAV header with some data for the sounds.
max_len() {
  case $1 in
    fuzz_peer_text) echo 20000 ;;
    fuzz_server_reply) echo 8192 ;;
    fuzz_wav) echo 8192 ;;
    *) echo 4096 ;;
  esac
}

seeds_of() {
  local dirs=("$root/fuzz/corpus/$1")
  [ "$1" = fuzz_wav ] && dirs+=("$root/resources/sounds")
  local d
  for d in "${dirs[@]}"; do [ -d "$d" ] && echo "$d"; done
}

# Where a log says the target found something.
findings() {
  grep -cE '^==[0-9]+==ERROR|SUMMARY: (libFuzzer|AddressSanitizer|UndefinedBehaviorSanitizer|LeakSanitizer)|runtime error:' "$1"
}

# One target: its stored inputs once each, whole (no length limit), then the
# fuzzing run from them. Writes the summary line to $build/logs/<target>.line
# and returns non-zero on a finding.
run_target() {
  local t=$1 work="$build/corpus/$1" artifacts="$build/artifacts/$1"
  local replay_log="$build/logs/$1.replay.log" log="$build/logs/$1.log" line_file="$build/logs/$1.line"
  mkdir -p "$work" "$artifacts"
  mapfile -t seeds < <(seeds_of "$t")
  local stored=()
  [ ${#seeds[@]} -gt 0 ] && mapfile -t stored < <(find "${seeds[@]}" -type f | sort)
  local start rc=0 replayed=0 execs= cov= ft= took stopped=
  start=$(date +%s)
  if [ ${#stored[@]} -gt 0 ]; then
    "$build/$t" -timeout=20 -rss_limit_mb=2048 -artifact_prefix="$artifacts/" "${stored[@]}" >"$replay_log" 2>&1 || rc=$?
    replayed=$(grep -c '^Executed ' "$replay_log")
    if [ $rc -eq 0 ] && { [ "$(findings "$replay_log")" -ne 0 ] || [ "$replayed" -ne ${#stored[@]} ]; }; then rc=1; fi
    if [ $rc -ne 0 ]; then
      printf '%-24s stored inputs: %s of %s replayed, then a finding (exit %s)\n' "$t" "$replayed" "${#stored[@]}" "$rc" >"$line_file"
      { echo "--- $t: a stored input failed; the end of $replay_log:"; tail -40 "$replay_log"; ls "$artifacts"; } >>"$line_file"
      return 1
    fi
  fi
  if [ "$seconds" != 0 ] || [ -n "$runs" ]; then
    local limit=()
    [ "$seconds" != 0 ] && limit+=(-max_total_time="$seconds")
    [ -n "$runs" ] && limit+=(-runs="$runs")
    "$build/$t" "${limit[@]}" -max_len="$(max_len "$t")" -timeout=20 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$artifacts/" "$work" "${seeds[@]}" >"$log" 2>&1
    rc=$?
    execs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | tail -1 | awk '{print $2}')
    cov=$(grep -oE 'cov: [0-9]+' "$log" | tail -1 | awk '{print $2}')
    ft=$(grep -oE 'ft: [0-9]+' "$log" | tail -1 | awk '{print $2}')
    local found
    found=$(findings "$log")
    # Stopped by hand (Ctrl-C or SIGINT to the target): not a finding.
    if [ $rc -ne 0 ] && [ "$found" -eq 0 ] && grep -q 'libFuzzer: run interrupted' "$log"; then
      rc=0
      stopped="  (stopped by hand)"
    fi
    [ "$found" -ne 0 ] && [ $rc -eq 0 ] && rc=1
  fi
  took=$(($(date +%s) - start))
  printf '%-24s stored %-4s executions %-10s coverage %-6s features %-6s corpus %-6s time %4ss  crashes %s%s\n' \
    "$t" "$replayed" "${execs:--}" "${cov:--}" "${ft:--}" "$(find "$work" -type f | wc -l)" "$took" \
    "$([ $rc -eq 0 ] && echo 0 || echo 1)" "$stopped" >"$line_file"
  if [ $rc -ne 0 ]; then
    { echo "--- $t failed (exit $rc); the end of $log:"; grep -vE '^#[0-9]+ +(NEW|REDUCE|pulse)' "$log" | tail -40; ls "$artifacts"; } >>"$line_file"
    return 1
  fi
}

mkdir -p "$build/logs"
echo "=== fuzz: ${#targets[@]} targets, stored inputs replayed, then ${seconds}s each${runs:+ (up to $runs runs)}, $jobs at once ==="
status=0
running=0
for t in "${targets[@]}"; do
  if [ "$running" -ge "$jobs" ]; then
    wait -n || status=1
    running=$((running - 1))
  fi
  run_target "$t" &
  running=$((running + 1))
done
while [ "$running" -gt 0 ]; do
  wait -n || status=1
  running=$((running - 1))
done
echo "=== fuzz summary ==="
for t in "${targets[@]}"; do cat "$build/logs/$t.line"; done
exit $status
