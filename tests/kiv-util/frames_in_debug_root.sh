#!/usr/bin/env bash
# Runs a program in a mount namespace of its own where ROOT is laid over /usr/lib/debug, waits
# until every thread of it sleeps, and prints its frames as the capture library sees them, a
# line "----", and as gdb sees them (tests/kiv-util/gdb_frames.py). Needs root.
#   frames_in_debug_root.sh ROOT CAPTURE_CLI -- PROGRAM [ARGS...]
set -euo pipefail
if [[ ${NORVA_IN_DEBUG_ROOT:-} != 1 ]]; then
  NORVA_IN_DEBUG_ROOT=1 exec unshare -m --propagation private "$0" "$@"
fi
root=$1 cli=$2
shift 3
here=$(cd "$(dirname "$0")" && pwd)
# The system's own debug files stay visible beneath the program's.
mount -t overlay overlay -o "lowerdir=$root:/usr/lib/debug" /usr/lib/debug
exec 3< <(sleep 600)
"$@" <&3 >/dev/null &
pid=$!
trap 'kill $pid 2>/dev/null || true' EXIT
asleep() {
  local stat state
  for stat in /proc/"$pid"/task/*/stat; do
    state=$(sed 's/.*) //' "$stat" | cut -d' ' -f1)
    [[ $state == S ]] || return 1
  done
}
for ((i = 0; i < 400; i++)); do asleep && break; sleep 0.05; done
"$cli" --frames "$pid"
echo ----
gdb -batch -nx -iex 'set auto-load off' -iex 'set debuginfod enabled off' \
  -ex 'set backtrace past-main on' -ex 'set backtrace past-entry on' -p "$pid" \
  -x "$here/gdb_frames.py" 2>/dev/null | grep -E '^(THREAD|normal|inline|tailcall|sigtramp|other)'
