#!/usr/bin/env bash
# Builds the non-GUI code and its tests with ASan + UBSan and runs them; builds the watcher and
# file-log tests with TSan and runs those. Build folders: build-asan/, build-tsan/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

configure() { # dir, options...
  local dir=$1; shift
  [[ -f "$dir/CMakeCache.txt" ]] || cmake -S "$root" -B "$dir" "${generator[@]}" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNORVA_BUILD_BENCH=OFF "$@" >/dev/null
}

asan=$root/build-asan
configure "$asan" -DNORVA_ASAN=ON
cmake --build "$asan" -j"$(nproc)" --target test-libutil test-filelog test-daemon test-capture \
  norva-deamon norva-fake-launcher norva-capture-cli norva-stack-helper norva-capture-soak
# Qt asks malloc for impossible sizes on purpose (a crafted setting) and expects null back.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:detect_stack_use_after_return=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=suppressions=$root/tests/sanitizers/lsan.supp
(cd "$asan" && ctest -j"$(nproc)" --output-on-failure --timeout 300 \
  -R '^(StrUtil|ProcessMutex|Watcher|Daemon|FileLog|LogName|StackCapture|capture-soak)')

tsan=$root/build-tsan
configure "$tsan" -DNORVA_TSAN=ON
cmake --build "$tsan" -j"$(nproc)" --target test-libutil test-filelog norva-fake-launcher
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$root/tests/sanitizers/tsan.supp"
(cd "$tsan" && ctest -j"$(nproc)" --output-on-failure --timeout 300 -R '^(Watcher|FileLog)')
