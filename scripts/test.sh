#!/usr/bin/env bash
# Installs what is missing, builds Voxlet and runs every test, in a normal
# build and in an AddressSanitizer + UndefinedBehaviorSanitizer build.
#   scripts/test.sh            both builds
#   scripts/test.sh normal     only the normal build
#   scripts/test.sh sanitize   only the sanitizer build
#   scripts/test.sh thread     only the ThreadSanitizer build of the tests
#                              that run the sound server's thread (audio, call)
# The sanitizer run also runs every fuzz target briefly (VOXLET_FUZZ_SECONDS each).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
which=${1:-all}
bash "$root/scripts/deps.sh"
source "$root/scripts/test-services.sh"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:detect_stack_use_after_return=0"
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# die_after_fork=0: QProcess forks the test's sound server from a process
# that already runs threads, and execs at once.
export TSAN_OPTIONS="halt_on_error=1:die_after_fork=0:suppressions=$root/tests/tsan.supp"

# A compiler cache where the machine keeps one: rebuilds of an unchanged
# file cost nothing, also across clones.
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

run_config() {
  local name=$1; shift
  local dir="$root/build/$name"
  echo "=== $name build ==="
  cmake -S "$root" -B "$dir" -G Ninja "${launcher[@]}" "$@" >/dev/null
  cmake --build "$dir" -j2
  ctest --test-dir "$dir" -j2 --output-on-failure --timeout 600
}
status=0
echo "=== format ==="
bash "$root/scripts/check-format.sh" || status=1
if [ "$which" = all ] || [ "$which" = normal ]; then
  run_config normal -DCMAKE_BUILD_TYPE=RelWithDebInfo || status=1
fi
if [ "$which" = all ] || [ "$which" = sanitize ]; then
  run_config sanitize -DCMAKE_BUILD_TYPE=Debug -DVOXLET_SANITIZE=ON || status=1
  if [ -f "$root/scripts/fuzz.sh" ]; then
    echo "=== fuzz targets ==="
    bash "$root/scripts/fuzz.sh" "${VOXLET_FUZZ_SECONDS:-45}" || status=1
  fi
fi
if [ "$which" = all ] || [ "$which" = thread ]; then
  # Only what runs the audio thread: the rest has no thread to race with.
  # -fno-builtin-memcpy: an inlined memcpy, the ring's way of moving audio,
  # is invisible to gcc's ThreadSanitizer. (clang 14's trips over QProcess.)
  echo "=== thread build ==="
  dir="$root/build/thread"
  cmake -S "$root" -B "$dir" -G Ninja "${launcher[@]}" -DVOXLET_TSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g -fno-builtin-memcpy" >/dev/null || status=1
  mapfile -t tsan_tests < <(ninja -C "$dir" -t targets all | sed -n 's/^\(\(audio\|call\)_[a-z_]*_test\):.*/\1/p')
  if cmake --build "$dir" -j2 --target "${tsan_tests[@]}"; then
    ctest --test-dir "$dir" -j2 --output-on-failure --timeout 600 -R '^(audio|call)_' || status=1
  else
    status=1
  fi
fi
exit $status
