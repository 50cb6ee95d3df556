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

# build <SDK name> <toolchain> <build folder> [CMake options]: one architecture, deployed.
build() {
  local sdk=$1 toolchain=$2 dir=$3
  shift 3
  local stamp
  stamp="$out/$sdk/.unpacked-$(sha256sum "$sdk_src/$sdk.tar.xz" | cut -c1-16)"
  if [[ ! -f "$stamp" ]]; then
    rm -rf "${out:?}/$sdk"
    tar -C "$out" -xJf "$sdk_src/$sdk.tar.xz"
    touch "$stamp"
  fi
  local generator=()
  if command -v ninja >/dev/null && [[ ! -f "$dir/CMakeCache.txt" ]]; then generator=(-G Ninja); fi
  cmake -S "$root" -B "$dir" "${generator[@]}" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" \
    -DCMAKE_PREFIX_PATH="$out/$sdk" -DCMAKE_BUILD_TYPE=Release -DNORVA_BUILD_BENCH=OFF "$@" >/dev/null
  cmake --build "$dir" -j"$(nproc)"
  # Every DLL and Qt plugin next to the programs and tests, as an installation has them.
  cmake --build "$dir" --target deploy-runtime
}

build mingw-sdk mingw-w64-x86_64.cmake "$out/b" -DNORVA_BUILD_TESTS=ON -DNORVA_BUILD_BENCH=ON "$@"
# 32-bit Windows: the programs, and the tests that a 32-bit Wine runs (scripts/windows-test.sh).
if [[ -f "$sdk_src/mingw-sdk-i686.tar.xz" ]] && command -v i686-w64-mingw32-g++-posix >/dev/null; then
  build mingw-sdk-i686 mingw-w64-i686.cmake "$out/b32" -DNORVA_BUILD_TESTS=ON "$@"
fi
