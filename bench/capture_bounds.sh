#!/usr/bin/env bash
# What a long-lived viewer keeps after many captures of targets made to fill it: open files
# after captures of a target with many libraries, each with a debug file of its own, and memory
# in inflated debug copies after captures of one whose debug files inflate to 4 MiB each; then
# a module with a 1 GiB compressed section of its own (time and peak memory of one capture).
# Two viewers can be compared in one run (an older build's norva-capture-cli as the second).
#   bench/capture_bounds.sh [captures=40] [libraries=400] [build dir] [other capture cli]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
captures=${1:-40}
libraries=${2:-400}
build=${3:-${NORVA_BUILD_DIR:-$root/build}}
helper=$build/tests/norva-stack-helper
viewers=("$build/tests/norva-capture-cli" "${4:-}")
work=$(mktemp -d)
trap 'kill "${targets[@]}" $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT

# <folder> <count> [objcopy options for each debug file]: lib0.so ... each with its debug file.
make_libs() {
  local dir=$1 count=$2
  shift 2
  mkdir -p "$dir"
  printf '#include <unistd.h>\ntypedef void (*f)(void *const *, int, int);\nvoid norva_chain(void *const *fns, int i, int n)\n{\n    if (i + 1 < n) ((f)fns[i + 1])(fns, i + 1, n);\n    else for (;;) pause();\n    __asm__ volatile("");\n}\n' >"$dir/chain.c"
  cc -shared -fPIC -g -O1 -o "$dir/chain.so" "$dir/chain.c"
  for ((i = 0; i < count; i++)); do
    objcopy --only-keep-debug "$dir/chain.so" "$dir/lib$i.debug"
    if (($# > 0)); then objcopy "$@" "$dir/lib$i.debug"; fi
    objcopy --strip-debug --add-gnu-debuglink="$dir/lib$i.debug" "$dir/chain.so" "$dir/lib$i.so"
  done
}

python3 -c "import struct,zlib,sys; n=int(sys.argv[2]); open(sys.argv[1],'wb').write(b'ZLIB'+struct.pack('>Q',n)+zlib.compress(bytes(n),1))" "$work/bomb4" $((4 << 20))
python3 -c "import struct,zlib,sys; n=int(sys.argv[2]); open(sys.argv[1],'wb').write(b'ZLIB'+struct.pack('>Q',n)+zlib.compress(bytes(n),1))" "$work/bomb1g" $((1 << 30))
make_libs "$work/plain" "$libraries"
make_libs "$work/packed" $((libraries * 3 / 4)) --add-section ".zdebug_addr=$work/bomb4"
objcopy --add-section ".zdebug_addr=$work/bomb1g" "$helper" "$work/bomb-helper"

targets=()
start() { # command... -> $started: the pid of a target that is ready
  local fifo=$work/fifo.$RANDOM
  mkfifo "$fifo"
  sleep 3600 | "$@" >"$fifo" &
  started=$!
  targets+=("$started")
  head -n1 "$fifo" >/dev/null
}
start "$helper" 0 chain "$work/plain" "$libraries"
plain=$started
start "$helper" 0 chain "$work/packed" $((libraries * 3 / 4))
packed=$started
start "$work/bomb-helper" 1
bomb=$started

# <viewer> <pid> -> the most open files and MiB of inflated copies seen during the captures
during_captures() {
  local viewer=$1 pid=$2 file=$work/pid.$RANDOM
  "$viewer" --peer "$file" "$captures" >"$work/out" 2>&1 &
  local cli=$! fds=0 most=0 bytes=0 largest=0
  echo "$pid" >"$file"
  while kill -0 "$cli" 2>/dev/null; do
    fds=$(find "/proc/$cli/fd" -mindepth 1 2>/dev/null | wc -l || true)
    bytes=$(find "/proc/$cli/fd" -mindepth 1 -lname '*norva-debuginfo*' -exec stat -L -c '%i %s' {} + \
      2>/dev/null | sort -u | awk '{s += $2} END {print s + 0}' || true)
    ((fds > most)) && most=$fds
    ((bytes > largest)) && largest=$bytes
    sleep 0.1
  done
  echo "at most $most open files, $((largest >> 20)) MiB in inflated copies," \
    "$(grep -o 'Note: ' "$work/out" | wc -l) notes in the last text"
}

for viewer in "${viewers[@]}"; do
  [[ -n "$viewer" ]] || continue
  echo "== $viewer"
  echo "  $libraries libraries, $captures captures: $(during_captures "$viewer" "$plain")"
  echo "  $((libraries * 3 / 4)) libraries with 4 MiB copies, $captures captures: $(during_captures "$viewer" "$packed")"
  /usr/bin/env time -f '  module with a 1 GiB section: %e s, peak %M KB' "$viewer" "$bomb" >/dev/null 2>"$work/time" || true
  tail -n1 "$work/time"
done
