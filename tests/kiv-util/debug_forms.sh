#!/usr/bin/env bash
# Builds one small threaded program the ways software ships, for the capture tests to compare
# with gdb: each program waits in inlined calls (main in read, a thread in a condition
# variable) and prints "ready" first.
#   debug_forms.sh OUT
# OUT/<form> for each form: plain, dwarf4, dwarf5 (-O2 -g), buildid (debug file found by its
# build-id), dwz (two programs' debug files sharing a dwz file), split (-gsplit-dwarf, the .dwo
# beside the program, built elsewhere), lto (-flto), minidebuginfo (symbols only, xz-compressed
# in .gnu_debugdata). OUT/root is what belongs under /usr/lib/debug for them.
set -euo pipefail
out=$1
mkdir -p "$out/src" "$out/root/.build-id" "$out/root/.dwz" "$out/build"
cd "$out/src"
cat >shared.h <<'EOF'
#include <unistd.h>
static inline __attribute__((always_inline)) int shared_inner(int fd)
{
    char c;
    return static_cast<int>(read(fd, &c, 1));
}
static inline __attribute__((always_inline)) int shared_wait(int fd)
{
    return shared_inner(fd) + 1;
}
EOF
for name in a b; do
  cat >"$name.cpp" <<EOF
#include "shared.h"
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
static std::mutex lock;
static std::condition_variable never;
static __attribute__((noinline)) int corpus_read_$name(int fd)
{
    int n = shared_wait(fd);
    asm volatile("" ::: "memory");
    return n;
}
__attribute__((noinline)) void corpus_worker_$name()
{
    std::unique_lock<std::mutex> guard(lock);
    never.wait(guard, [] { return false; });
}
int main()
{
    std::thread worker(corpus_worker_$name);
    std::printf("ready\n");
    std::fflush(stdout);
    int n = corpus_read_$name(0);
    worker.detach();
    return n;
}
EOF
done

build() { # output, options...
  local output=$1
  shift
  g++ -O2 -pthread "$@" a.cpp -o "$output"
}
# Its debug file where a debug package puts it, and the program stripped of everything.
by_build_id() { # program
  local id
  id=$(readelf -n "$1" | awk '/Build ID/ {print $3}')
  mkdir -p "$out/root/.build-id/${id:0:2}"
  objcopy --only-keep-debug "$1" "$out/root/.build-id/${id:0:2}/${id:2}.debug"
  strip --strip-all "$1"
  echo "$out/root/.build-id/${id:0:2}/${id:2}.debug"
}

build "$out/plain" -g &
build "$out/dwarf4" -gdwarf-4 &
build "$out/dwarf5" -gdwarf-5 &
build "$out/lto" -g -flto &
build "$out/buildid" -g -Wl,--build-id &
(cd "$out/build" && g++ -O2 -pthread -g -gsplit-dwarf -I"$out/src" "$out/src/a.cpp" -o split)
g++ -O2 -pthread -g -Wl,--build-id b.cpp -o "$out/dwz-b"
build "$out/dwz" -g -Wl,--build-id
build "$out/minidebuginfo" -g
wait

by_build_id "$out/buildid" >/dev/null

# dwz -m, as for every Debian debug package: the debug files share one file, which they name
# by its absolute place and its build-id.
debug_a=$(by_build_id "$out/dwz")
debug_b=$(by_build_id "$out/dwz-b")
dwz -m "$out/root/.dwz/common.debug" -M /usr/lib/debug/.dwz/common.debug "$debug_a" "$debug_b"
readelf -S "$debug_a" | grep -q gnu_debugaltlink || { echo "dwz shared nothing" >&2; exit 1; }

# Split DWARF: the program and its .dwo moved away from where they were built.
mv "$out/build/split" "$out/build"/split-a.dwo "$out/"
rm -rf "$out/build"

# MiniDebugInfo, as distributions make it: the symbols of functions that the dynamic symbol
# table lacks, xz-compressed into .gnu_debugdata of a program stripped of all else.
mini=$out/minidebuginfo
nm -D "$mini" --format=posix --defined-only | awk '{ print $1 }' | sort >dynsyms
nm "$mini" --format=posix --defined-only | awk '$2 ~ /[TtD]/ { print $1 }' | sort >funcsyms
comm -13 dynsyms funcsyms >keep
objcopy --only-keep-debug "$mini" mini.debug
objcopy -S --remove-section .gdb_index --remove-section .comment --keep-symbols=keep mini.debug \
  mini.symbols
xz -f mini.symbols
strip --strip-all -R .comment "$mini"
objcopy --add-section .gnu_debugdata=mini.symbols.xz "$mini"
