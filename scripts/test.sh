#!/usr/bin/env bash
# Installs what is missing, builds Voxlet and runs every test, in three trees:
#   build/thread    gcc ThreadSanitizer, the tests that run the sound
#                   server's thread (audio, call)
#   build/sanitize  clang AddressSanitizer + UndefinedBehaviorSanitizer:
#                   every test but packaging, and the fuzz targets, which
#                   replay their stored inputs and then fuzz briefly
#                   (VOXLET_FUZZ_SECONDS each; scripts/fuzz-long.sh for more)
#   build/normal    gcc, -O1: the program and the benchmarks' helpers (built,
#                   not run), and the packaging checks; alone, every test;
#                   the one tree without precompiled headers, as the
#                   program's own build, so it checks their includes
#   scripts/test.sh            all of it
#   scripts/test.sh normal     only the normal tree (or sanitize, or thread)
# With all of it, a tree's tests run while the next tree builds (one tree's
# tests at a time), the voice tests (label voice: the sound server in real
# time) after the rest of their tree's, one at a time, each once per sound
# server: the two sanitizer trees share them, so that each sound server's
# backend and its thread run under both. The builds and the fuzzers take
# only the processor time the tests leave (SCHED_IDLE), so the tests beside
# them run as on an idle machine. The normal tree's tests but packaging are
# left to the sanitizer tree, which runs them all with more checks.
# Each phase's time is printed as it ends, and all of them at the end.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
which=${1:-all}
case $which in all | normal | sanitize | thread) ;; *)
  echo "usage: $0 [all|normal|sanitize|thread]" >&2
  exit 2
  ;;
esac

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:detect_stack_use_after_return=0"
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# die_after_fork=0: QProcess forks the test's sound server from a process
# that already runs threads, and execs at once.
export TSAN_OPTIONS="halt_on_error=1:die_after_fork=0:suppressions=$root/tests/tsan.supp"

started=$(date +%s)
phases=()
status=0
# phase NAME START END RC: one line now, one row of the summary at the end.
phase() {
  local result=ok
  [ "$4" -eq 0 ] || result="FAILED ($4)"
  echo "=== phase $1: $(($3 - $2)) s, $result ==="
  phases+=("$(printf '%-20s %5s s   from %4s s to %4s s   %s' "$1" $(($3 - $2)) $(($2 - started)) $(($3 - started)) "$result")")
  [ "$4" -eq 0 ] || status=1
}
# timed NAME COMMAND...: runs it in the foreground as a phase; its status.
timed() {
  local name=$1 start rc=0
  shift
  start=$(date +%s)
  "$@" || rc=$?
  phase "$name" "$start" "$(date +%s)" $rc
  return $rc
}

timed packages bash "$root/scripts/deps.sh" || exit 1
# A compiler cache where the machine keeps one: rebuilds of an unchanged
# file cost nothing, also across clones.
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  # What it needs to cache the users of a precompiled header.
  CCACHE_SLOPPINESS=$(ccache -k sloppiness 2>/dev/null || true)
  export CCACHE_SLOPPINESS="${CCACHE_SLOPPINESS:+$CCACHE_SLOPPINESS,}pch_defines,time_macros,include_file_mtime,include_file_ctime"
fi
timed format bash "$root/scripts/check-format.sh" || true

# The tests get the processor before the builds beside them: the builds and
# the fuzzers run only when no test wants it (a nice value still gave them a
# share that starved the voice tests' sound), and root raises the tests'.
test_nice=(nice -n -10)
nice -n -10 true 2>/dev/null || test_nice=()
build_nice=(chrt --idle 0)
chrt --idle 0 true 2>/dev/null || build_nice=(nice -n 19)

configure() {
  local tree=$1
  shift
  cmake -S "$root" -B "$root/build/$tree" -G Ninja "${launcher[@]}" "$@" >/dev/null
}

build_thread() {
  # -fno-builtin-memcpy: an inlined memcpy, the ring's way of moving audio,
  # is invisible to gcc's ThreadSanitizer. (clang 14's trips over QProcess.)
  # -g1: the line tables a report's stacks need, at no cost (-g: a third
  # more compile time, for variables nobody reads in CI).
  configure thread -DVOXLET_TSAN=ON -DVOXLET_PCH=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -fno-builtin-memcpy" || return 1
  # Only what runs the audio thread: the rest has no thread to race with.
  local targets
  mapfile -t targets < <(ninja -C "$root/build/thread" -t targets all | sed -n 's/^\(\(audio\|call\)_[a-z_]*_test\):.*/\1/p')
  "${build_nice[@]}" cmake --build "$root/build/thread" -j2 --target "${targets[@]}"
}
build_normal() {
  # -O1 and no debug information: it builds in 0.7 of the time of -O2 -g,
  # and the sanitizer tree is where a fault is traced. The benchmarks'
  # helpers too, or a change of the libraries breaks them unseen. Without
  # precompiled headers, as scripts/run.sh builds the program: a missing
  # #include in what users build shows here.
  configure normal -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -DNDEBUG" \
    -DVOXLET_BENCH=ON -DVOXLET_PCH=OFF || return 1
  local targets=()
  # With the other trees, only what the packaging checks and the benchmarks
  # need: its tests are built (and run) in the sanitizer tree. Half the
  # tree's build.
  [ "${1:-}" = program ] && targets=(--target src/all server/all bench/all)
  "${build_nice[@]}" cmake --build "$root/build/normal" -j2 "${targets[@]}"
}
build_sanitize() {
  # clang, so that the fuzz targets share the tree: their code is the tests'.
  # -O1: the same checks; the tests run up to ten times faster (audio's
  # jitter buffer test took 43 s of CPU at -O0, beside voice tests that
  # need the processor in time), the fuzz targets 1.4 to 8 times. Line
  # tables are all a report needs. Precompiled headers: it builds in 0.57
  # of the time without (140 against 245 s on two cores, nothing cached).
  configure sanitize -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_FLAGS_DEBUG="-O1 -gline-tables-only" -DVOXLET_SANITIZE=ON -DVOXLET_FUZZ=ON -DVOXLET_PCH=ON || return 1
  "${build_nice[@]}" cmake --build "$root/build/sanitize" -j2
}

# The tests of a tree, with a display, a bus and a sound server of their own.
ctest_args=(-j "${VOXLET_TEST_JOBS:-4}" --output-on-failure --timeout 600)
tests_of() {
  local tree=$1
  shift
  (
    source "$root/scripts/test-services.sh"
    "${test_nice[@]}" ctest --test-dir "$root/build/$tree" "${ctest_args[@]}" "$@"
  )
}
run_fuzz() {
  FUZZ_BUILD_DIR="$root/build/sanitize" "${build_nice[@]}" bash "$root/scripts/fuzz.sh" "${VOXLET_FUZZ_SECONDS:-10}"
}
# With all trees the fuzzers start once the sanitizer tree's tests but the
# voice tests are done: beside those, which take both cores, an input could
# wait out its time limit; beside the voice tests they take what is left.
fuzz_after_tests() {
  while [ ! -e "$root/build/sanitize-tests.log.done" ]; do sleep 1; done
  run_fuzz
}
# The tests of the sound server's thread; the rest has no thread to race with.
tests_thread() { tests_of thread -R '^(audio|call)_' "$@"; }
# Beside a build, all but the voice tests; and the voice tests on their own.
tests_of_tree() {
  local tree=$1
  shift
  if [ "$tree" = thread ]; then tests_thread "$@"; else tests_of "$tree" "$@"; fi
}
not_voice() { tests_of_tree "$1" -LE '^voice$'; }
voice() { tests_of_tree "$1" -L '^voice$' -j 1; }
# With all trees, each voice test once per sound server: these in the thread
# tree, the others in the sanitizer tree. Each backend's thread (libpulse's
# on PulseAudio and on PipeWire, PipeWire's own) thus runs under both.
thread_voice='^audio_(sound_backend_test(_pipewire_pulse)?|echo_canceller_test|two_phone_audio_test_pipewire)$'
shared_voice() {
  if [ "$1" = thread ]; then
    tests_of thread -L '^voice$' -R "$thread_voice" -j 1
  else
    tests_of sanitize -L '^voice$' -E "$thread_voice" -j 1
  fi
}
# The normal tree's own check; its other tests run in the sanitizer tree.
packaging() { tests_of normal -L '^packaging$'; }

# Phases that run beside the next build, in lanes: a lane runs its phases
# in turn, each writing a log and, when it ends, its exit status and
# seconds; finish prints them in order.
#   beside [--free] NAME LOG COMMAND... [-- NAME LOG COMMAND...]...
# (--free: not waiting for the lock)
background=()
beside() {
  local free= names=() logs=() commands=() words i
  [ "$1" = --free ] && { free=1; shift; }
  # Each phase: NAME LOG and its command's words, up to the next "--".
  while [ $# -gt 0 ]; do
    names+=("$1") logs+=("$root/build/$2.log")
    rm -f "$root/build/$2.log.done"
    shift 2
    words=()
    while [ $# -gt 0 ] && [ "$1" != -- ]; do words+=("$1") && shift; done
    [ $# -gt 0 ] && shift
    commands+=("${words[*]}")
  done
  (
    # One tree's tests at a time: with the builds cached, three trees'
    # tests at once (twelve on two cores) starved the voice tests. The
    # lock is this subshell's alone, not its children's.
    exec 9>"$root/build/.tests.lock"
    [ -n "$free" ] || flock 9
    for i in "${!logs[@]}"; do
      start=$(date +%s)
      rc=0
      # shellcheck disable=SC2086
      ${commands[i]} >"${logs[i]}" 2>&1 9>&- || rc=$?
      echo "$rc $start $(date +%s)" >"${logs[i]}.done"
    done
  ) &
  for i in "${!names[@]}"; do background+=("${names[i]}|${logs[i]}|$!"); done
}
finish() {
  local entry name log pid rc start end
  for entry in "${background[@]}"; do
    IFS='|' read -r name log pid <<<"$entry"
    wait "$pid" 2>/dev/null || true
    echo "=== $name (ran beside the builds) ==="
    cat "$log"
    read -r rc start end <"$log.done" || { rc=1 start=$started end=$(date +%s); }
    phase "$name" "$start" "$end" "$rc"
  done
  background=()
}

mkdir -p "$root/build"
case $which in
thread)
  if timed "thread build" build_thread; then timed "thread tests" tests_thread || true; fi
  ;;
normal)
  if timed "normal build" build_normal; then timed "normal tests" tests_of normal || true; fi
  ;;
sanitize)
  if timed "sanitize build" build_sanitize; then
    timed "sanitize tests" tests_of sanitize || true
    timed fuzz run_fuzz || true
  fi
  ;;
all)
  # A tree that does not build is reported and the others still run. The
  # smallest first, so that its tests run beside the next build; the
  # normal tree's packaging checks, which take little, beside whatever
  # runs then (the sanitizer tree's tests, the fuzzers).
  built=()
  for tree in thread sanitize normal; do
    arg=()
    [ "$tree" = normal ] && arg=(program)
    if timed "$tree build" "build_$tree" "${arg[@]}"; then
      if [ "$tree" = normal ]; then
        beside --free "normal tests" normal-tests packaging
      else
        beside "$tree tests" "$tree-tests" not_voice "$tree" -- "$tree voice tests" "$tree-voice" shared_voice "$tree"
      fi
      built+=("$tree")
    fi
  done
  if [[ " ${built[*]} " == *" sanitize "* ]]; then timed fuzz fuzz_after_tests || true; fi
  finish
  ;;
esac

echo "=== summary: $(($(date +%s) - started)) s in all ==="
printf '%s\n' "${phases[@]}"
exit $status
