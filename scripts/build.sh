#!/usr/bin/env bash
# Configures and builds the project into build/ (or $NORVA_BUILD_DIR).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${NORVA_BUILD_DIR:-$root/build}
# Debian's build flags, hardening included (stack protector, fortified functions, full RELRO and
# immediate binding): the .deb is made from this build.
if command -v dpkg-buildflags >/dev/null; then
  eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
  # CMake reads no CPPFLAGS: the preprocessor's part (_FORTIFY_SOURCE) goes with the compiler's.
  export CFLAGS="$CFLAGS $CPPFLAGS" CXXFLAGS="$CXXFLAGS $CPPFLAGS"
fi
generator=()
if command -v ninja >/dev/null && [[ ! -f "$build/CMakeCache.txt" ]]; then
  generator=(-G Ninja)
fi
cmake -S "$root" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"
