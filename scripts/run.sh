#!/usr/bin/env bash
# Installs what is missing, builds Voxlet and starts it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/deps.sh"
cmake -S "$root" -B "$root/build/release" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVOXLET_TESTS=OFF >/dev/null
cmake --build "$root/build/release" --target voxlet
exec "$root/build/release/src/voxlet" "$@"
