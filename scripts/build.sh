#!/usr/bin/env bash
# Configures and builds the project into build/ (or $NORVA_BUILD_DIR).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${NORVA_BUILD_DIR:-$root/build}
generator=()
if command -v ninja >/dev/null && [[ ! -f "$build/CMakeCache.txt" ]]; then
  generator=(-G Ninja)
fi
cmake -S "$root" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"
