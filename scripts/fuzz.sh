#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) and runs each for a
# bounded time, printing executions, coverage and crashes per target.
#   scripts/fuzz.sh                  every target, 60 s each
#   scripts/fuzz.sh 10               every target, 10 s each
#   scripts/fuzz.sh 30 fuzz_wav      one target
# FUZZ_RUNS=N stops a target after N executions instead (no time limit when
# FUZZ_SECONDS=0). Exits 1 when any target found a crash, a hang or a leak;
# the input that did it is kept in build/fuzz/artifacts/<target>/.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-${FUZZ_SECONDS:-60}}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_peer_text fuzz_server_reply fuzz_data_files fuzz_wav fuzz_directory_session fuzz_protocol_messages)
build=${FUZZ_BUILD_DIR:-$root/build/fuzz}
runs=${FUZZ_RUNS:-}

command -v clang++ >/dev/null || { echo "fuzz: clang++ is missing (apt-get install clang libclang-rt-14-dev)" >&2; exit 2; }
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
command -v ccache >/dev/null && generator+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S "$root" -B "$build" "${generator[@]}" -DCMAKE_CXX_COMPILER=clang++ -DVOXLET_FUZZ=ON >/dev/null || exit 2
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

status=0
summary=()
for t in "${targets[@]}"; do
  work="$build/corpus/$t"
  artifacts="$build/artifacts/$t"
  log="$build/logs/$t.log"
  mkdir -p "$work" "$artifacts" "$(dirname "$log")"
  seeds=("$root/fuzz/corpus/$t")
  [ "$t" = fuzz_wav ] && seeds+=("$root/resources/sounds")
  limit=()
  [ "$seconds" != 0 ] && limit+=(-max_total_time="$seconds")
  [ -n "$runs" ] && limit+=(-runs="$runs")
  echo "=== $t (${seconds}s${runs:+, up to $runs runs}) ==="
  start=$(date +%s)
  "$build/$t" "${limit[@]}" -max_len="$(max_len "$t")" -timeout=20 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" "$work" "${seeds[@]}" >"$log" 2>&1
  rc=$?
  took=$(( $(date +%s) - start ))
  execs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | tail -1 | awk '{print $2}')
  cov=$(grep -oE 'cov: [0-9]+' "$log" | tail -1 | awk '{print $2}')
  ft=$(grep -oE 'ft: [0-9]+' "$log" | tail -1 | awk '{print $2}')
  corpus=$(find "$work" -type f | wc -l)
  found=$(grep -cE '^==[0-9]+==ERROR|SUMMARY: (libFuzzer|AddressSanitizer|UndefinedBehaviorSanitizer|LeakSanitizer)|runtime error:' "$log")
  # Stopped by hand (Ctrl-C or SIGINT to the target): not a finding.
  stopped=
  if [ $rc -ne 0 ] && [ "$found" -eq 0 ] && grep -q 'libFuzzer: run interrupted' "$log"; then
    rc=0
    stopped="  (stopped by hand)"
  fi
  line=$(printf '%-24s executions %-10s coverage %-6s features %-6s corpus %-6s time %4ss  crashes %s%s' \
    "$t" "${execs:-?}" "${cov:-?}" "${ft:-?}" "$corpus" "$took" "$([ $rc -eq 0 ] && echo 0 || echo 1)" "$stopped")
  echo "$line"
  summary+=("$line")
  if [ $rc -ne 0 ] || [ "$found" -ne 0 ]; then
    status=1
    echo "--- $t failed (exit $rc); the end of $log:"
    grep -vE '^#[0-9]+ +(NEW|REDUCE|pulse)' "$log" | tail -40
    ls "$artifacts"
  fi
done
echo "=== fuzz summary ==="
printf '%s\n' "${summary[@]}"
exit $status
