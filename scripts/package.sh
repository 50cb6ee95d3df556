#!/usr/bin/env bash
# Builds both platforms and writes the packages into dist/ (or $NORVA_DIST_DIR):
#   norva-companions_<version>_amd64.deb              Debian package (cpack, dpkg-shlibdeps)
#   norva-companions-<version>-win64-setup.exe        Windows installer (NSIS), per user
#   norva-companions-<version>-win64.zip              the same files, to unpack anywhere
#   norva-companions-<version>-win32.zip              the 32-bit programs, for 32-bit Windows
# Reuses build/ and build-win/ when they exist.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dist=${NORVA_DIST_DIR:-$root/dist}
build=${NORVA_BUILD_DIR:-$root/build}
win=${NORVA_WIN_BUILD_DIR:-$root/build-win}
"$root/scripts/setup.sh"
mkdir -p "$dist"
version=$(sed -n 's/^project(norva VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")

# Linux: the Debian package.
"$root/scripts/build.sh" >/dev/null
(cd "$build" && cpack -G DEB -B "$dist/.cpack" >"$dist/.cpack.log" 2>&1) || { cat "$dist/.cpack.log"; exit 1; }
rm -f "$dist/.cpack.log"
mv "$dist"/.cpack/*.deb "$dist/"
rm -rf "$dist/.cpack"

# Windows: the install tree (programs, DLLs, plugins), then the installer and the zip of it.
"$root/scripts/windows-build.sh" >/dev/null
if [[ ! -f "$win/b/CMakeCache.txt" ]]; then
  echo "package: no Windows build (MinGW or the SDK is missing): Debian package only" >&2
  exit 0
fi
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
app="$stage/NORVA Companions"
cmake --install "$win/b" --prefix "$app" --strip >/dev/null

# The uninstaller removes exactly these files and folders, deepest first.
files="$stage/uninstall-files.nsh"
(cd "$app" && find . -type f | sed 's|^\./||' | sort | while read -r f; do
   printf 'Delete "$INSTDIR\\%s"\n' "${f//\//\\}"
 done
 find . -mindepth 1 -type d | sed 's|^\./||' | sort -r | while read -r d; do
   printf 'RMDir "$INSTDIR\\%s"\n' "${d//\//\\}"
 done) >"$files"
setup="$dist/norva-companions-$version-win64-setup.exe"
makensis -V2 -DSTAGE="$app" -DFILES="$files" -DVERSION="$version" -DOUTFILE="$setup" \
  "$root/packaging/windows/installer.nsi" >/dev/null
zipfile="$dist/norva-companions-$version-win64.zip"
rm -f "$zipfile"
(cd "$stage" && zip -qr -X "$zipfile" "NORVA Companions")

# 32-bit Windows: the same programs built for x86, as a zip.
zip32=
if [[ -f "$win/b32/CMakeCache.txt" ]]; then
  app32="$stage/x86/NORVA Companions"
  cmake --install "$win/b32" --prefix "$app32" --strip >/dev/null
  zip32="$dist/norva-companions-$version-win32.zip"
  rm -f "$zip32"
  (cd "$stage/x86" && zip -qr -X "$zip32" "NORVA Companions")
fi

for f in "$dist"/*.deb "$setup" "$zipfile" $zip32; do
  printf '%-50s %8s KiB\n' "$(basename "$f")" "$(($(stat -c %s "$f") / 1024))"
done
