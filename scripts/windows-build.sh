#!/usr/bin/env bash
# Cross-builds the Windows programs with MinGW-w64 against the prebuilt Qt + libobs prefix of
# ../shared/windows-sdk (or $NORVA_WINDOWS_SDK), into build-win/ (or $NORVA_WIN_BUILD_DIR).
# Extra arguments go to CMake's configure step.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
sdk_src=${NORVA_WINDOWS_SDK:-$root/../shared/windows-sdk}
out=${NORVA_WIN_BUILD_DIR:-$root/build-win}
if [[ ! -f "$sdk_src/mingw-sdk.tar.xz" ]] || ! command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
  echo "windows-build: no MinGW toolchain or SDK prefix; skipped" >&2
  exit 0
fi
mkdir -p "$out"
stamp="$out/mingw-sdk/.unpacked-$(sha256sum "$sdk_src/mingw-sdk.tar.xz" | cut -c1-16)"
if [[ ! -f "$stamp" ]]; then
  rm -rf "$out/mingw-sdk"
  tar -C "$out" -xJf "$sdk_src/mingw-sdk.tar.xz"
  touch "$stamp"
fi
generator=()
if command -v ninja >/dev/null && [[ ! -f "$out/b/CMakeCache.txt" ]]; then generator=(-G Ninja); fi
cmake -S "$root" -B "$out/b" "${generator[@]}" \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_PREFIX_PATH="$out/mingw-sdk" -DCMAKE_BUILD_TYPE=Release \
  -DNORVA_BUILD_TESTS=ON -DNORVA_BUILD_BENCH=OFF "$@" >/dev/null
cmake --build "$out/b" -j"$(nproc)"
# Every DLL and Qt plugin next to the programs and tests, as an installation has them.
cmake --build "$out/b" --target deploy-runtime
