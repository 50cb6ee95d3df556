#!/usr/bin/env bash
# What norva-deamon costs while the launcher runs and nothing happens: CPU, resident memory and
# descriptors over a period, against a shell loop that polls a file once a second.
#   bench/idle_cost.sh [seconds=60] [build dir]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
build=${2:-${NORVA_BUILD_DIR:-$root/build}}
# shellcheck source=../scripts/throwaway.sh
source "$root/scripts/throwaway.sh"
hz=$(getconf CLK_TCK)
throwaway_home "$work" "$build/tools/norva-fake-launcher"
XDG_CONFIG_HOME=$work/config XDG_RUNTIME_DIR=$work/run NORVA_FAKE_LOG=$work/starts.log \
  "$build/daemon/norva-deamon" >/dev/null 2>&1 &
daemon=$!; pids+=("$daemon"); disown
bash -c "while sleep 1; do [ -e '$work/run/norva-lauch.lock' ]; done" &
peer=$!; pids+=("$peer"); disown
sleep 2
while read -r pid _; do pids+=("$pid"); done <"$work/starts.log"
d0=$(cpu_ticks $daemon); p0=$(cpu_ticks $peer)
sleep "$seconds"
d1=$(cpu_ticks $daemon); p1=$(cpu_ticks $peer)
echo "idle cost over ${seconds}s (launcher running)"
awk -v d=$((d1 - d0)) -v p=$((p1 - p0)) -v s="$seconds" -v hz="$hz" 'BEGIN {
  printf "  norva-deamon CPU      %.3f%%\n", 100 * d / hz / s
  printf "  shell poll loop CPU   %.3f%% (its sleep children not counted)\n", 100 * p / hz / s }'
echo "  norva-deamon RSS      $(rss_kb $daemon) kB, $(ls /proc/$daemon/fd | wc -l) descriptors, $(ls /proc/$daemon/task | wc -l) threads"
echo "  starts of launcher    $(wc -l <"$work/starts.log") (1 expected)"
