#!/usr/bin/env bash
# Quick-start command 1: installs what is missing, builds, and shows the watchdog at work with
# the stand-in launcher: start, kill, restart, a refused second copy, then a clean stop.
# Everything runs in a throw-away home; nothing of the user's configuration is touched.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" >/dev/null
build=${NORVA_BUILD_DIR:-$root/build}
daemon="$build/daemon/norva-deamon"
launcher="$build/tools/norva-fake-launcher"

# shellcheck source=throwaway.sh
source "$root/scripts/throwaway.sh"
export XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/run" NORVA_FAKE_LOG="$work/starts.log"
throwaway_home "$work" "$launcher"
echo "== \"Launch\" is set in $XDG_CONFIG_HOME/NORVA/uninstall.ini:"
sed 's/^/   /' "$XDG_CONFIG_HOME/NORVA/uninstall.ini"

started() { # wait until the launcher has started $1 times; prints the time it took
  wait_starts "$work/starts.log" "$1" 5000 || { echo "timed out" >&2; exit 1; }
}

"$daemon" >"$work/daemon.out" 2>&1 &
pids+=($!)
disown
echo "== norva-deamon started (pid $!)"
ms=$(started 1)
launcher_pid=$(tail -n1 "$work/starts.log" | cut -d' ' -f1)
echo "== it started the launcher at once: pid $launcher_pid after $ms ms"

sleep 1.3
for round in 1 2 3; do
  kill -9 "$launcher_pid"
  ms=$(started $((round + 1)))
  launcher_pid=$(tail -n1 "$work/starts.log" | cut -d' ' -f1)
  echo "== launcher killed; restarted as pid $launcher_pid after $ms ms"
  sleep 0.$((3 * round))
done

echo "== a second copy of norva-deamon:"
set +e
"$daemon" 2>&1 | sed 's/^/   /'
code=${PIPESTATUS[0]}
set -e
echo "   (exit code $code)"

echo "== the daemon's log (its standard output, in the logging library's own layout):"
sed 's/^/   /' "$work/daemon.out" | head -n 12
echo "== stopping everything the demo started"
