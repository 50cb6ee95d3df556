#!/usr/bin/env bash
# Paint rate of the real scene-board while its clip plays (Xvfb), from its counted debug lines.
#   bench/scene_paint_rate.sh [build dir] [seconds]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
seconds=${2:-5}
if [[ -z "${NORVA_IN_XVFB:-}" ]]; then
  NORVA_IN_XVFB=1 exec xvfb-run -a -s "-screen 0 1280x800x24" "$0" "$build" "$seconds"
fi
unset QT_QPA_PLATFORM
out=$(mktemp)
"$build/scene-board/scene-board" >"$out" 2>&1 &
pid=$!
sleep 1 # let playback start
first=$(grep -c '^## ' "$out" || true)
sleep "$seconds"
last=$(grep -c '^## ' "$out" || true)
cpu=$(awk '{print $14 + $15}' "/proc/$pid/stat")
kill "$pid"; wait "$pid" 2>/dev/null || true
rm -f "$out"
hz=$(getconf CLK_TCK)
awk -v n=$((last - first)) -v s="$seconds" -v cpu="$cpu" -v hz="$hz" 'BEGIN {
  printf "scene-board while the 30 fps clip plays (Xvfb)\n"
  printf "  mirrored paints per second  %.1f\n", n / s
  printf "  process CPU time so far     %.2f s\n", cpu / hz }'
