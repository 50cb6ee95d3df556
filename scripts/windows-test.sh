#!/usr/bin/env bash
# Builds the Windows programs and their tests with MinGW and runs the tests under Wine,
# headless, in a throw-away Wine prefix. Skips (exit 0) when MinGW, Wine or the SDK is missing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${NORVA_WIN_BUILD_DIR:-$root/build-win}
if ! command -v wine >/dev/null || ! command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
  echo "windows-test: MinGW or Wine missing; skipped" >&2
  exit 0
fi
"$root/scripts/windows-build.sh" >/dev/null
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
cd "$out/b"
ctest -j2 --output-on-failure --timeout 300 "$@"
