#!/usr/bin/env bash
# The real scene-board under Xvfb with its sample clip: the playing video must drive repaints,
# each mirrored with a counted debug line. NORVA_SCREENSHOT=<file.png> also saves a screenshot.
#   test_scene_x11.sh <path to scene-board> [seconds]
set -euo pipefail
board=$1
seconds=${2:-3}
command -v xvfb-run >/dev/null || { echo "SKIP: xvfb-run missing"; exit 77; }
[[ -f "$(dirname "$board")/Wildlife.ogv" || -f "$(dirname "$board")/../share/norva/Wildlife.ogv" ]] || { echo "SKIP: no sample clip"; exit 77; }
if [[ -z "${NORVA_IN_XVFB:-}" ]]; then
  NORVA_IN_XVFB=1 exec xvfb-run -a -s "-screen 0 1280x800x24" "$0" "$@"
fi
unset QT_QPA_PLATFORM
out=$(mktemp)
trap 'rm -f "$out"' EXIT
"$board" >"$out" 2>&1 &
pid=$!
sleep "$seconds"
if [[ -n "${NORVA_SCREENSHOT:-}" ]] && command -v import >/dev/null; then
  import -window root "$NORVA_SCREENSHOT"
fi
kill "$pid"
wait "$pid" 2>/dev/null || true

paints=$(grep -c '^## ' "$out" || true)
echo "paints in ${seconds}s: $paints"
if ! grep '^## ' "$out" | awk '{ if ($2 != NR) { print "FAIL: line " NR " has count " $2; exit 1 } }'; then
  exit 1
fi
grep -q '^## 1 QPixmap(QSize(1080, 720)' "$out" || { echo "FAIL: first line"; head -n3 "$out"; exit 1; }
# The clip runs at 30 frames a second; without video the view would paint only a few times.
(( paints >= 10 * seconds )) || { echo "FAIL: the video does not drive repaints"; exit 1; }
echo "ok"
