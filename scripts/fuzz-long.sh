#!/usr/bin/env bash
# A long fuzzing run by hand: every target until it has executed FUZZ_RUNS
# inputs (10 million by default), without a time limit, then the figures per
# target. The corpus grows in build/fuzz/corpus/ and is reused next time.
#   scripts/fuzz-long.sh                 all targets, 10 000 000 runs each
#   FUZZ_RUNS=1000000 scripts/fuzz-long.sh fuzz_wav
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export FUZZ_RUNS=${FUZZ_RUNS:-10000000}
# Allocation stacks two frames deep: deeper ones walk into Qt and glibc,
# built without frame pointers, and pick up junk frames, so the sanitizer's
# store of stacks grows with every new input (2 GB and a quarter of the speed
# after an hour). A crash found here is replayed from its artifact for the
# full report.
export ASAN_OPTIONS=${ASAN_OPTIONS:-malloc_context_size=2}
exec bash "$root/scripts/fuzz.sh" 0 "$@"
