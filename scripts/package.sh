#!/usr/bin/env bash
# Builds both platforms and writes the packages into dist/ (or $NORVA_DIST_DIR):
#   norva-companions_<version>_amd64.deb              Debian package (cpack, dpkg-shlibdeps)
#   norva-companions-<version>-setup.exe              Windows installer (NSIS), per user: the
#                                                     64-bit set on 64-bit Windows, else the 32-bit
#   norva-companions-<version>-win64.zip              the 64-bit set, to unpack anywhere
#   norva-companions-<version>-win32.zip              the 32-bit set, for 32-bit Windows
# Reuses build/ and build-win/ when they exist.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dist=${NORVA_DIST_DIR:-$root/dist}
build=${NORVA_BUILD_DIR:-$root/build}
win=${NORVA_WIN_BUILD_DIR:-$root/build-win}
"$root/scripts/setup.sh"
mkdir -p "$dist"
# One date for every time stamp in the packages (the last commit's, unless given): two builds of
# the same sources give the same bytes.
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct 2>/dev/null || date +%s)}
export SOURCE_DATE_EPOCH
# A zip of folder (in the current folder): entries in a fixed order, every time stamp the same.
stable_zip() { # zipfile folder
  find "$2" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
  find "$2" -print | LC_ALL=C sort | TZ=UTC zip -q -X -@ "$1"
}
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

# Our icon, from its SVG source, for the installer, the uninstall entry and the shortcut.
icon="$app/norva-companions.ico"
for size in 16 32 48 256; do
  rsvg-convert -w "$size" -h "$size" "$root/packaging/icon/norva-companions.svg" -o "$stage/icon-$size.png"
done
convert "$stage"/icon-{16,32,48,256}.png "$icon"
# The welcome and finish pages' picture: the icon on our blue.
rsvg-convert -w 112 -h 112 "$root/packaging/icon/norva-companions.svg" -o "$stage/icon-112.png"
wizard="$stage/wizard.bmp"
convert -size 164x314 gradient:'#2f7fd8'-'#1a4f9c' "$stage/icon-112.png" -gravity north \
  -geometry +0+48 -composite -type TrueColor BMP3:"$wizard"
rm -f "$stage"/icon-*.png

# Authenticode, when a certificate is given: our programs in both packages, the installer and
# its uninstaller. NORVA_SIGN_CERT: certificate (PEM, the chain after it); NORVA_SIGN_KEY: its
# key (PEM).
sign=()
if [[ -n "${NORVA_SIGN_CERT:-}" ]]; then
  sign=(osslsigncode sign -certs "$NORVA_SIGN_CERT" -key "$NORVA_SIGN_KEY" -h sha256
        -n "NORVA Companions")
  sign_file() { "${sign[@]}" -in "$1" -out "$1.signed" >/dev/null && mv "$1.signed" "$1"; }
fi
sign_ours() { # folder
  [[ ${#sign[@]} -gt 0 ]] || return 0
  local exe
  for exe in "$1"/norva-deamon.exe "$1"/norva-pstack.exe "$1"/norva-info.exe "$1"/scene-board.exe; do
    sign_file "$exe"
  done
}
sign_ours "$app"

# 32-bit Windows: the same programs built for x86.
app32=
if [[ -f "$win/b32/CMakeCache.txt" ]]; then
  app32="$stage/x86/NORVA Companions"
  cmake --install "$win/b32" --prefix "$app32" --strip >/dev/null
  cp "$icon" "$app32/"
  sign_ours "$app32"
fi
find "$stage" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} + # the installer keeps file times

# The uninstaller removes exactly the files and folders of the set it installed, deepest first.
uninstall_list() { # folder
  (cd "$1" && find . -type f | sed 's|^\./||' | sort | while read -r f; do
     printf 'Delete "$INSTDIR\\%s"\n' "${f//\//\\}"
   done
   find . -mindepth 1 -type d | sed 's|^\./||' | sort -r | while read -r d; do
     printf 'RMDir "$INSTDIR\\%s"\n' "${d//\//\\}"
   done)
}
files="$stage/uninstall-files.nsh"
uninstall_list "$app" >"$files"
setup="$dist/norva-companions-$version-setup.exe"
nsis=(-V2 -INPUTCHARSET UTF8 -DSTAGE="$app" -DFILES="$files" -DVERSION="$version"
      -DOUTFILE="$setup" -DICON="$icon" -DWIZARD="$wizard")
if [[ -n $app32 ]]; then
  uninstall_list "$app32" >"$stage/uninstall-files32.nsh"
  nsis+=(-DSTAGE32="$app32" -DFILES32="$stage/uninstall-files32.nsh")
fi
if [[ ${#sign[@]} -gt 0 ]]; then
  # makensis runs it on the uninstaller and on the installer, each as it is written.
  nsis+=("-DSIGN=${sign[*]@Q} -in \"%1\" -out \"%1.signed\" && mv \"%1.signed\" \"%1\"")
fi
makensis "${nsis[@]}" "$root/packaging/windows/installer.nsi" >/dev/null
zipfile="$dist/norva-companions-$version-win64.zip"
rm -f "$zipfile"
(cd "$stage" && stable_zip "$zipfile" "NORVA Companions")

zip32=
if [[ -n $app32 ]]; then
  zip32="$dist/norva-companions-$version-win32.zip"
  rm -f "$zip32"
  (cd "$stage/x86" && stable_zip "$zip32" "NORVA Companions")
fi

for f in "$dist"/*.deb "$setup" "$zipfile" $zip32; do
  printf '%-50s %8s KiB\n' "$(basename "$f")" "$(($(stat -c %s "$f") / 1024))"
done
