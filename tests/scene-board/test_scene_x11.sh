#!/usr/bin/env bash
# The real scene-board under Xvfb with its sample clip: the playing video must drive repaints,
# each mirrored with a counted debug line. NORVA_SCREENSHOT=<file.png> also saves a screenshot.
#   test_scene_x11.sh <path to scene-board> [paints=30]
set -euo pipefail
board=$1
wanted=${2:-30}
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
# The clip runs at 30 frames a second, a second's worth of paints comes in about a second;
# without video the view paints only a few times, and never this many.
count() { grep -c '^## ' "$out" || true; }
for ((waited = 0; $(count) < wanted && waited < 600; waited++)); do sleep 0.1; done
if [[ -n "${NORVA_SCREENSHOT:-}" ]] && command -v import >/dev/null; then
  import -window root "$NORVA_SCREENSHOT"
fi
kill "$pid"
wait "$pid" 2>/dev/null || true

paints=$(count)
echo "paints in $((waited / 10)).$((waited % 10)) s: $paints"
if ! grep '^## ' "$out" | awk '{ if ($2 != NR) { print "FAIL: line " NR " has count " $2; exit 1 } }'; then
  exit 1
fi
grep -q '^## 1 QPixmap(QSize(1080, 720)' "$out" || { echo "FAIL: first line"; head -n3 "$out"; exit 1; }
(( paints >= wanted )) || { echo "FAIL: the video does not drive repaints"; exit 1; }
echo "ok"
