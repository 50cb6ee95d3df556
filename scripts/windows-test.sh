#!/usr/bin/env bash
# Builds the Windows programs and their tests with MinGW and runs the tests under Wine,
# headless, in a throw-away Wine prefix. Skips (exit 0) when MinGW, Wine or the SDK is missing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${NORVA_WIN_BUILD_DIR:-$root/build-win}
if ! command -v wine >/dev/null ||
  { [[ ${1:-} != --32-bit ]] && ! command -v x86_64-w64-mingw32-g++-posix >/dev/null; }; then
  echo "windows-test: MinGW or Wine missing; skipped" >&2
  exit 0
fi
# Inside the Wine root (--32-bit, from below) the build is there already.
[[ ${1:-} == --32-bit ]] || "$root/scripts/windows-build.sh" >/dev/null
[[ -f "$out/mingw-sdk/wine-env.sh" ]] || exit 0

prefix=$(mktemp -d /tmp/norva-wine.XXXXXX)
cleanup() { wineserver -k >/dev/null 2>&1 || true; rm -rf "$prefix"; }
trap cleanup EXIT
# A home of its own and no menu builder: nothing of the run lands in the real home folder.
mkdir -p "$prefix/home"
export WINEPREFIX=$prefix/wine HOME=$prefix/home XDG_DATA_HOME=$prefix/home/.local/share
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree,mshtml=;winealsa.drv,winepulse.drv="
unset DISPLAY
# shellcheck disable=SC1091
source "$out/mingw-sdk/wine-env.sh"
# Nothing of the SDK on Wine's path: programs and tests find their DLLs and plugins beside them
# (deploy-runtime), so one that is missing fails a test here rather than on a user's machine.
unset WINEPATH
# Media through Windows Media Foundation: under Wine, DirectShow (Qt's default) hangs about one
# run in three when players of a missing file come and go quickly; WMF never did in 21 runs.
export WINEQT_MULTIMEDIA_PREFERRED_PLUGINS=windowsmediafoundation
# Keep wineserver and its services up, with quiet standard streams, for the whole run.
wineserver -p
wine cmd /c exit >/dev/null 2>&1 || true

if [[ ${1:-} == --32-bit ]]; then
  # In the Wine root, whose Wine runs both kinds of program in one 64-bit prefix: the 64-bit
  # viewer on a 32-bit target, the 32-bit viewer on both kinds, the 32-bit watchdog keeping a
  # 32-bit launcher running.
  helper() { echo "Z:$out/$1/bin/norva-stack-helper.exe"; }
  status=0
  NORVA_OTHER_HELPER=$(helper b32) ctest --test-dir "$out/b" --output-on-failure --timeout 300 \
    -R '^WindowsCapture\.TheOtherKindOfProgram$' -V >"$prefix/other.log" 2>&1 || status=$?
  grep -E '\[ figures|tests passed' "$prefix/other.log" || true
  ((status == 0)) || { cat "$prefix/other.log"; exit 1; }
  NORVA_OTHER_HELPER=$(helper b) ctest --test-dir "$out/b32" -j2 --output-on-failure \
    --timeout 300 -R '^(WindowsCapture|DaemonTest)\.'
  exit
fi
cd "$out/b"
ctest -j2 --output-on-failure --timeout 300 "$@"

# The 32-bit programs run in the Wine root of scripts/wine-root.sh (32-bit Wine cannot be
# installed beside this machine's packages), which needs root and debootstrap.
cd "$root"
if [[ -f "$out/b32/CTestTestfile.cmake" && $(id -u) -eq 0 ]] && command -v debootstrap >/dev/null; then
  wineserver -k >/dev/null 2>&1 || true
  "$root/scripts/wine-root.sh" run "$root/scripts/windows-test.sh" --32-bit
else
  echo "windows-test: the 32-bit programs need the Wine root (root and debootstrap); not run"
fi
