#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each for a while.
#   scripts/fuzz.sh [seconds per target]      (default 20)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-20}
clang=$(command -v clang++ || command -v clang++-14 || true)
if [[ -z "$clang" ]]; then
  echo "fuzz: clang++ not found; skipped" >&2
  exit 0
fi
out=${NORVA_FUZZ_DIR:-$root/build-fuzz}
mkdir -p "$out"
# shellcheck disable=SC2054 # the commas belong to the option
flags=(-std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
       -I/usr/include/obs -I"$root/libutil" -I"$root/daemon/logging")

"$clang" "${flags[@]}" -o "$out/fuzz_log_name" "$root/tests/fuzz/fuzz_log_name.cpp" \
  "$root"/daemon/logging/{LogFolder,LogName,FileLog,sys_logio_posix}.cpp \
  "$root/libutil/sys_configdir_posix.cpp" -lobs
"$clang" "${flags[@]}" -o "$out/fuzz_codepage" "$root/tests/fuzz/fuzz_codepage.cpp" \
  "$root"/libutil/{StrUtil,sys_codepage_posix}.cpp -lobs

for target in fuzz_log_name fuzz_codepage; do
  mkdir -p "$out/corpus-$target"
  echo "fuzz: $target for ${seconds}s"
  "$out/$target" -max_total_time="$seconds" -max_len=256 -print_final_stats=0 \
    "$out/corpus-$target" 2>"$out/$target.log" || { tail -n 40 "$out/$target.log"; exit 1; }
  grep -E '^#[0-9]+.*DONE' "$out/$target.log" | tail -n1 || true
done
