# shellcheck shell=bash
# Sourced by the demo and the watchdog benchmarks: a throw-away work folder whose processes
# end with the script, homes for the daemon inside it, and a few timing helpers.
#   $work    the folder (removed at exit)
#   pids     append the pid of every background process; all are killed at exit, and so is
#            every launcher recorded in a launcher log (*.log, */starts.log) under $work
work=$(mktemp -d)
pids=()
throwaway_cleanup() {
  local pid log
  for pid in "${pids[@]}"; do kill -9 "$pid" 2>/dev/null || true; done
  for log in "$work"/*.log "$work"/*/starts.log; do
    [[ -f $log ]] || continue
    while read -r pid _; do kill -9 "$pid" 2>/dev/null || true; done <"$log"
  done
  # A launcher that a dying daemon had just started may still write a line: try again.
  for _ in 1 2 3 4 5; do
    rm -rf "$work" 2>/dev/null && break
    sleep 0.2
  done
  rm -rf "$work" || true
}
trap throwaway_cleanup EXIT

# A home for one daemon: "Launch" in its configuration, and a private runtime folder.
throwaway_home() { # dir launch-path
  mkdir -p "$1/config/NORVA" "$1/run"
  chmod 700 "$1/run"
  printf '[General]\nLaunch="%s"\n' "$2" >"$1/config/NORVA/uninstall.ini"
}

now_ms() { date +%s%3N; }
lines() { [[ -f $1 ]] && wc -l <"$1" || echo 0; }
# Waits until a launcher log holds count lines (starts), at most timeout ms; prints how long
# that took, or returns 1.
wait_starts() { # log count timeout-ms
  local t0
  t0=$(now_ms)
  while (($(lines "$1") < $2)); do
    (($(now_ms) - t0 > $3)) && return 1
    sleep 0.005
  done
  echo $(($(now_ms) - t0))
}
# Runs a command every 10 ms until it succeeds, at most timeout ms; returns 1 if it never does.
wait_until() { # timeout-ms command...
  local t0 limit=$1
  shift
  t0=$(now_ms)
  until "$@"; do
    (($(now_ms) - t0 > limit)) && return 1
    sleep 0.01
  done
}
# A process holds a lock of the kind our named mutexes take (an open file description's).
holds_mutex() { grep -qs OFDLCK "/proc/$1"/fdinfo/*; }
percentile() { sort -n | awk -v p="$1" '{a[NR]=$1} END {i=int(NR*p/100+0.5); if (i<1) i=1; if (i>NR) i=NR; print a[i]}'; }
cpu_ticks() { local line f; read -r line <"/proc/$1/stat"; read -r -a f <<<"${line##*) }"; echo $((f[11] + f[12])); }
rss_kb() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status"; }
