#!/usr/bin/env bash
# Installs what is missing, builds Voxlet and runs every test, in a normal
# build and in an AddressSanitizer + UndefinedBehaviorSanitizer build.
#   scripts/test.sh            both builds
#   scripts/test.sh normal     only the normal build
#   scripts/test.sh sanitize   only the sanitizer build
# The sanitizer run also runs every fuzz target briefly (VOXLET_FUZZ_SECONDS each).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
which=${1:-all}
bash "$root/scripts/deps.sh"
source "$root/scripts/test-services.sh"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:detect_stack_use_after_return=0"
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

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
exit $status
