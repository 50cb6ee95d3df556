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
if [[ ${1:-} == --32-bit ]]; then
  # shellcheck source=wine-prefix.sh
  source "$root/scripts/wine-prefix.sh"
  fresh_prefix "$prefix/wine" win64
fi
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
# (64-bit Wine's loader straight: where qemu runs 32-bit code, no 32-bit loader before it.)
loader=wine
[[ -x /usr/lib/wine/wine64 ]] && loader=/usr/lib/wine/wine64
"$loader" cmd /c exit >/dev/null 2>&1 || true

# Where qemu runs 32-bit code (a kernel without it, NORVA_I386 from scripts/wine-root.sh), Wine
# under qemu-i386 never returns a suspended 32-bit thread's registers (a capture waits for ever),
# cannot start a 64-bit program from a 32-bit one, and the 32-bit test programs that start
# processes and threads crash there; a 32-bit program starts in about a minute. What is left
# runs, with deadlines sized for that (measured: the unit tests 45 s, the watchdog's first start
# of its launcher 86 s, a restart 45 s).
smoke_32_bit() {
  echo "windows-test: this kernel runs no 32-bit code; qemu-i386 does: the 32-bit smoke set only"
  (cd "$out/b32/tests" && timeout 600 wine "$out/b32/bin/test-kiv-util.exe" >"$prefix/unit.log" 2>&1) ||
    { cat "$prefix/unit.log"; echo "FAIL: the 32-bit unit tests"; exit 1; }
  echo "ok: the 32-bit build's unit tests"
  local log=$prefix/starts.log key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\NORVA'
  /usr/lib/wine/wine64 reg add "$key" /v Launch /t REG_SZ \
    /d "Z:${out//\//\\}\\b32\\bin\\norva-fake-launcher.exe" /f >/dev/null 2>&1
  NORVA_FAKE_LOG=$log wine "$out/b32/bin/norva-deamon.exe" >"$prefix/daemon.log" 2>&1 &
  local t0=$SECONDS
  until [[ -s $log ]]; do ((SECONDS - t0 < 300)) || { echo "FAIL: no launcher started"; exit 1; }; sleep 1; done
  pkill -f 'norva-fake-launcher\.exe' || true
  t0=$SECONDS
  until (($(wc -l <"$log") >= 2)); do ((SECONDS - t0 < 300)) || { echo "FAIL: not restarted"; exit 1; }; sleep 1; done
  echo "ok: the 32-bit watchdog keeps a 32-bit launcher running (restarted in $((SECONDS - t0)) s)"
  echo "windows-test: not run where qemu runs 32-bit code: the 64-bit viewer on 32-bit helpers," \
    "the 32-bit viewer's tests, the 32-bit watchdog's and window tests (see scripts/windows-test.sh)"
}

if [[ ${1:-} == --32-bit ]]; then
  if [[ ${NORVA_I386:-native} == emulated ]]; then
    smoke_32_bit
    exit
  fi
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
