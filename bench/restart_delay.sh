#!/usr/bin/env bash
# Restart delay after the launcher dies: norva-deamon (one-second poll of the launcher's mutex)
# against a shell loop that restarts the launcher the moment it exits, same kills, same run.
#   bench/restart_delay.sh [kills=100] [build dir]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
kills=${1:-100}
build=${2:-${NORVA_BUILD_DIR:-$root/build}}
launcher=$build/tools/norva-fake-launcher
# shellcheck source=../scripts/throwaway.sh
source "$root/scripts/throwaway.sh"
measure() { # log file -> delays on stdout
  local log=$1 t0 pid
  while (($(lines "$log") < 1)); do sleep 0.01; done
  for ((i = 1; i <= kills; i++)); do
    # any phase of the daemon's one-second poll, evenly
    sleep "$(printf '0.%03d' $((RANDOM % 1000)))"
    sleep 0.1
    pid=$(tail -n1 "$log" | cut -d' ' -f1)
    t0=$(now_ms)
    kill -9 "$pid"
    while (($(lines "$log") < i + 1)); do sleep 0.002; done
    echo $(($(now_ms) - t0))
  done
}
stats() { sort -n | awk '{a[NR]=$1} END {printf "p50 %d ms  p99 %d ms  max %d ms", a[int(NR*0.5+0.5)], a[int(NR*0.99+0.5)], a[NR]}'; }
p50() { percentile 50; }

throwaway_home "$work" "$launcher"
XDG_CONFIG_HOME=$work/config XDG_RUNTIME_DIR=$work/run NORVA_FAKE_LOG=$work/daemon.log \
  "$build/daemon/norva-deamon" >/dev/null 2>&1 &
pids+=($!)
disown
measure "$work/daemon.log" >"$work/ours"

mkdir -p "$work/run2" && chmod 700 "$work/run2"
XDG_RUNTIME_DIR=$work/run2 NORVA_FAKE_LOG=$work/shell.log \
  bash -c "while :; do '$launcher'; done" >/dev/null 2>&1 &
pids+=($!)
disown
measure "$work/shell.log" >"$work/peer"

echo "restart delay after the launcher is killed, $kills kills each"
echo "  norva-deamon (1 s poll)     $(stats <"$work/ours")"
echo "  shell restart loop          $(stats <"$work/peer")"
awk -v a="$(p50 <"$work/ours")" -v b="$(p50 <"$work/peer")" \
  'BEGIN { printf "  ratio of medians            %.0f (the poll interval is 1000 ms)\n", b ? a / b : 0 }'
