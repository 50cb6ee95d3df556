#!/usr/bin/env bash
# The real norva-info under Xvfb: started with arbitrary arguments and Qt options, its box is
# found by its title, dismissed with the keyboard, and the program must end with 0 and print
# nothing. With NORVA_SCREENSHOT=<file.png> it also saves a screenshot of the box.
#   test_info_x11.sh <path to norva-info>
set -euo pipefail
info=$1
for tool in xvfb-run xdotool; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool missing"; exit 77; }
done
if [[ -z "${NORVA_IN_XVFB:-}" ]]; then
  NORVA_IN_XVFB=1 exec xvfb-run -a -s "-screen 0 800x600x24" "$0" "$@"
fi
unset QT_QPA_PLATFORM
title=$(printf '\xe9\x94\x99\xe8\xaf\xaf')
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

run() { # $1 key to press, rest: arguments for norva-info
  local key=$1; shift
  "$info" "$@" >"$out/stdout" 2>"$out/stderr" &
  local pid=$!
  local win
  win=$(timeout 15 xdotool search --sync --onlyvisible --name "^$title\$" | head -n1)
  [[ -n "$win" ]] || { echo "FAIL: no window titled $title"; kill "$pid"; exit 1; }
  sleep 0.3
  if [[ -n "${NORVA_SCREENSHOT:-}" && "$key" == Return ]] && command -v import >/dev/null; then
    import -window root "$NORVA_SCREENSHOT"
  fi
  xdotool windowfocus --sync "$win" key "$key"
  local code=0
  timeout 10 tail --pid="$pid" -f /dev/null || { echo "FAIL: still open after $key"; kill "$pid"; exit 1; }
  wait "$pid" || code=$?
  [[ $code -eq 0 ]] || { echo "FAIL: exit code $code after $key"; exit 1; }
  [[ ! -s "$out/stdout" ]] || { echo "FAIL: wrote to stdout:"; cat "$out/stdout"; exit 1; }
  echo "ok: $key with arguments [$*] -> exit 0"
}

run Return
run Escape --lecture 42 -style fusion "a b" -platform xcb
run space -reverse -- /tmp/whatever
