#!/usr/bin/env bash
# Every benchmark and long soak, one after another (about 25 minutes with the defaults).
# Needs a build in build/ (scripts/build.sh) and Xvfb for the scene paint rate.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${NORVA_BUILD_DIR:-$root/build}
cd "$root"
bench/restart_delay.sh 100 "$build"
bench/idle_cost.sh 60 "$build"
"$build/bench/bench-pstack" 7
"$build/tests/norva-capture-soak" 500 64
"$build/bench/bench-filelog"
"$build/bench/bench-scene" 500
bench/scene_paint_rate.sh "$build" 5
bench/soak_watchdog.sh 1000 60 "$build"
