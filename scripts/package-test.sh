#!/usr/bin/env bash
# Builds the packages (scripts/package.sh) and checks them as a user would install them: the
# Debian package with lintian and from its unpacked tree, the Windows installer and zip in a
# clean Wine prefix. Skips the Windows part (exit 0) where MinGW, Wine or the SDK is missing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dist=${NORVA_DIST_DIR:-$root/dist}
build=${NORVA_BUILD_DIR:-$root/build}
win=${NORVA_WIN_BUILD_DIR:-$root/build-win}
rm -f "$dist"/norva-companions*
"$root/scripts/package.sh"
"$root/tests/packaging/test_deb.sh" "$(ls "$dist"/*.deb)" "$build"
# Every .exe and .dll of the Windows zips loads on Windows 7 SP1.
for zipfile in "$dist"/norva-companions-*-win*.zip; do
  [[ -f "$zipfile" ]] || continue
  unpacked=$(mktemp -d)
  unzip -q "$zipfile" -d "$unpacked"
  "$root/tests/windows/check_imports.sh" "$unpacked"
  rm -rf "$unpacked"
done
code=0
"$root/tests/packaging/test_windows_install.sh" "$dist" "$win/b/bin/norva-fake-launcher.exe" || code=$?
((code == 0 || code == 77)) || exit "$code"
