#!/usr/bin/env bash
# The capture library before and after a change, in one run: builds REV in a work tree of its
# own, then runs its bench-pstack and ours in turn (twice each), and both norva-capture-cli on
# the same deep and large targets.
#   bench/before_after.sh REV [runs=5] [thread counts=16,256,1000]
# Needs a build in build/ (scripts/build.sh). REV's build is kept in /tmp/norva-before-<rev>.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
rev=$(git -C "$root" rev-parse --short "$1")
runs=${2:-5}
counts=${3:-16,256,1000}
after=${NORVA_BUILD_DIR:-$root/build}
before=/tmp/norva-before-$rev
if [[ ! -x $before/build/bench/bench-pstack ]]; then
  rm -rf "$before"
  git -C "$root" worktree add --detach "$before" "$rev" >/dev/null
  NORVA_BUILD_DIR=$before/build "$before/scripts/build.sh" >/dev/null
fi

for round in 1 2; do
  for side in before after; do
    build=$before/build
    [[ $side == after ]] && build=$after
    echo "== $side ($side of $rev), round $round"
    "$build/bench/bench-pstack" "$runs" "$counts" | grep -vE '^(hold-hb|during|hb-idle|asked|eu-stack prints)'
  done
done

# The same targets for both: norva-capture-cli PID --repeat N prints median ms, longest hold
# and threads.
capture_both() { # what, program [args...]
  local what=$1 pid
  shift
  exec 3< <(sleep 3600)
  "$@" <&3 >/dev/null &
  pid=$!
  sleep 1
  for side in before after; do
    build=$before/build
    [[ $side == after ]] && build=$after
    printf '%-40s %-6s %s\n' "$what" "$side" "$("$build/tests/norva-capture-cli" "$pid" --repeat "$runs")"
  done
  kill "$pid"
  exec 3<&-
}
echo "== median capture ms, longest hold ms, threads"
capture_both "running thread 1 MiB deep" "$after/tests/norva-stack-helper" 0 deep 1024
capture_both "large -O2 -g program, 64 threads" "$after/bench/bench-large-target"
