#!/usr/bin/env bash
# Watchdog soak: kills the stand-in launcher again and again and checks that norva-deamon
# restarts it every time, reaps every child, keeps its descriptors and memory flat and never
# spins; then a launcher that crashes at once, a SIGKILLed daemon, and bad configurations.
# Every check waits for what it expects, with deadlines for a loaded machine; the one bound on
# time is the restart's (about a second, so by 3 s under load). The delays are printed.
#   bench/soak_watchdog.sh [kills=1000] [crash-starts=20, about a second each] [build dir]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
kills=${1:-1000}
crash_seconds=${2:-20}
build=${3:-${NORVA_BUILD_DIR:-$root/build}}
daemon=$build/daemon/norva-deamon
launcher=$build/tools/norva-fake-launcher
hz=$(getconf CLK_TCK)

# shellcheck source=../scripts/throwaway.sh
source "$root/scripts/throwaway.sh"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
scenario() { throwaway_home "$work/$1" "$2"; } # name launch-value
# Sets $started to the new daemon's pid; not run in a subshell, so cleanup knows every pid.
start_daemon() { # name [extra env...]
  local dir=$work/$1; shift
  env XDG_CONFIG_HOME="$dir/config" XDG_RUNTIME_DIR="$dir/run" NORVA_FAKE_LOG="$dir/starts.log" "$@" \
    "$daemon" >"$dir/daemon.out" 2>&1 &
  started=$!
  pids+=("$started")
  disown
}
starts() { lines "$work/$1/starts.log"; }
logged() { # name count pattern: the daemon's output holds count lines with the pattern
  (($(grep -c "$3" "$work/$1/daemon.out") >= $2))
}
gone_or_zombie() { [[ ! -e /proc/$1 ]] || [[ $(awk '{print $3}' "/proc/$1/stat" 2>/dev/null) == Z ]]; }
deadline=15000 # ms, for what a loaded machine does slowly
count_zombies() { # children of $1 that have ended and were not collected
  local n=0 line fields
  for stat in /proc/[0-9]*/stat; do
    { read -r line <"$stat"; } 2>/dev/null || continue # it may have ended since the listing
    read -r -a fields <<<"${line##*) }"
    [[ ${fields[0]} == Z && ${fields[1]} == "$1" ]] && n=$((n + 1))
  done
  echo $n
}
no_zombies() { (($(count_zombies "$1") == 0)); }
fds() { ls "/proc/$1/fd" | wc -l; }

echo "== $kills kills of a running launcher"
scenario kills "$launcher"
start_daemon kills
dpid=$started
wait_starts "$work/kills/starts.log" 1 $deadline >/dev/null || fail "launcher not started"
wait_until $deadline holds_mutex "$(tail -n1 "$work/kills/starts.log" | cut -d' ' -f1)" || fail "launcher holds no mutex"
fds0=$(fds "$dpid"); rss0=$(rss_kb "$dpid"); cpu0=$(cpu_ticks "$dpid")
: >"$work/delays"
for ((i = 1; i <= kills; i++)); do
  lpid=$(tail -n1 "$work/kills/starts.log" | cut -d' ' -f1)
  sleep "$(printf '0.%03d' $((RANDOM % 1000)))" # any phase of the one-second poll
  t0=$(now_ms)
  kill -9 "$lpid"
  if ! wait_starts "$work/kills/starts.log" $((i + 1)) 3000 >/dev/null; then fail "kill $i: no restart within 3 s"; break; fi
  echo $(($(now_ms) - t0)) >>"$work/delays"
  # the next kill must meet a launcher that holds its mutex, or the daemon starts two
  lpid=$(tail -n1 "$work/kills/starts.log" | cut -d' ' -f1)
  wait_until $deadline holds_mutex "$lpid" || { fail "kill $i: the new launcher holds no mutex"; break; }
done
fds1=$(fds "$dpid"); rss1=$(rss_kb "$dpid"); cpu1=$(cpu_ticks "$dpid")
# the last one killed may be seen for a moment before it is collected
wait_until $deadline no_zombies "$dpid" || true
z=$(count_zombies "$dpid")
restarts=$(($(starts kills) - 1))
echo "   restarts            $restarts of $kills"
echo "   restart delay ms    p50 $(percentile 50 <"$work/delays")  p99 $(percentile 99 <"$work/delays")  max $(percentile 100 <"$work/delays")"
echo "   descriptors         $fds0 -> $fds1"
echo "   RSS kB              $rss0 -> $rss1"
awk -v c=$((cpu1 - cpu0)) -v n="$restarts" -v hz="$hz" 'BEGIN { printf "   CPU per restart     %.2f ms\n", n ? 1000 * c / hz / n : 0 }'
echo "   zombies             $z"
((restarts == kills)) || fail "not every kill was followed by a restart"
((z == 0)) || fail "zombies left"
((fds1 <= fds0)) || fail "descriptors grew"
((rss1 <= rss0 + 1024)) || fail "memory grew"

echo "== a launcher that crashes at once, ${crash_seconds} starts"
scenario crash "$launcher"
start_daemon crash NORVA_FAKE_EXIT=1
cpid=$started
wait_starts "$work/crash/starts.log" 1 $deadline >/dev/null || fail "crashing launcher not started"
t0=$(now_ms); n0=$(starts crash); c0=$(cpu_ticks "$cpid")
# one start a pass: the starts come, however slowly a loaded machine makes the passes
wait_starts "$work/crash/starts.log" $((n0 + crash_seconds)) $((crash_seconds * 3000 + deadline)) >/dev/null ||
  fail "the daemon stopped starting the crashing launcher"
ms=$(($(now_ms) - t0)); n=$(($(starts crash) - n0)); c1=$(cpu_ticks "$cpid")
wait_until $deadline no_zombies "$cpid" || true
z=$(count_zombies "$cpid")
echo "   starts              $n in $((ms / 1000)).$(printf '%03d' $((ms % 1000))) s"
echo "   zombies             $z"
awk -v c=$((c1 - c0)) -v ms="$ms" -v hz="$hz" 'BEGIN { printf "   daemon CPU          %.2f%%\n", 100 * c / hz / (ms / 1000) }'
((n <= ms / 1000 + 2)) || fail "more than one start a second: the daemon spins"
((z == 0)) || fail "zombies left"

echo "== the daemon killed with SIGKILL and started again once it is gone"
kill -9 "$dpid"
wait_until $deadline gone_or_zombie "$dpid" || fail "the killed daemon did not end"
before=$(starts kills)
start_daemon kills
npid=$started
wait_until $deadline logged kills 1 'Create mutex' || fail "the new daemon did not take its mutex"
sleep 1.5 # a pass or more: the running launcher is left alone
kill -0 "$npid" 2>/dev/null || fail "the new daemon did not stay up"
(($(starts kills) == before)) || fail "the running launcher was started again"
echo "   ok"

echo "== bad configurations: the daemon logs and lives on"
scenario missing "/nonexistent/launcher"
scenario notexec "/etc/hostname"
scenario chinese "$work/讲座/启动程序"
for name in missing notexec chinese; do
  start_daemon "$name"
  pid=$started
  if wait_until $deadline logged "$name" 2 'GetLastError = 2' && kill -0 "$pid" 2>/dev/null; then
    echo "   $name: alive, $(grep -c 'GetLastError = 2' "$work/$name/daemon.out") failed tests logged"
  else
    fail "$name: daemon ended or logged nothing"
  fi
done
mkdir -p "$work/unusable/config/NORVA"
out=$(env XDG_CONFIG_HOME="$work/unusable/config" XDG_RUNTIME_DIR=/dev/null/run "$daemon" 2>&1) && code=0 || code=$?
if [[ $code -eq 0 && $out == *"Create mutext Failed"* && $out == *"norva-deamon is running"* ]]; then
  echo "   unusable runtime folder: refused with exit code 0"
else
  fail "unusable runtime folder: exit $code, output: $out"
fi

if ((failures)); then echo "soak: $failures failures"; exit 1; fi
echo "soak: ok"
