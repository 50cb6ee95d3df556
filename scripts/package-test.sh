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
# Signed with a throw-away certificate, to check the signing path; releases use a real one.
keys=$(mktemp -d)
trap 'rm -rf "$keys"' EXIT
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=NORVA test signing" \
  -keyout "$keys/key.pem" -out "$keys/cert.pem" >/dev/null 2>&1
NORVA_SIGN_CERT=$keys/cert.pem NORVA_SIGN_KEY=$keys/key.pem "$root/scripts/package.sh"
"$root/tests/packaging/test_deb.sh" "$(ls "$dist"/*.deb)" "$build"
# Every .exe and .dll of the Windows zips loads on Windows 7 SP1; ours and the installer carry
# a signature that verifies.
verify() { osslsigncode verify -CAfile "$keys/cert.pem" -in "$1" >/dev/null 2>&1 || { echo "FAIL: signature of $1"; exit 1; }; }
for zipfile in "$dist"/norva-companions-*-win*.zip; do
  [[ -f "$zipfile" ]] || continue
  unpacked=$(mktemp -d)
  unzip -q "$zipfile" -d "$unpacked"
  "$root/tests/windows/check_imports.sh" "$unpacked"
  for exe in norva-deamon norva-pstack norva-info scene-board; do
    verify "$unpacked/NORVA Companions/$exe.exe"
  done
  rm -rf "$unpacked"
done
for setup in "$dist"/*-setup.exe; do
  [[ -f "$setup" ]] && verify "$setup" && echo "ok: $(basename "$setup") and our programs are signed"
done
# The installer is a 32-bit program, and on 32-bit Windows it installs the 32-bit set: both
# kinds of Windows need the Wine root's Wine, which runs 32-bit programs (scripts/wine-root.sh).
if [[ $(id -u) -ne 0 ]] || ! command -v debootstrap >/dev/null; then
  echo "package-test: the Windows installer needs the Wine root (root and debootstrap); not run"
  exit 0
fi
# Where the kernel runs no 32-bit code, qemu does, and the installer's every run takes about a
# minute: the 64-bit set is installed, run and removed once (test_windows_install.sh); a 32-bit
# Windows, whose every program would be emulated, is not tried.
i386=$("$root/scripts/wine-root.sh" i386)
for arch in win64 win32; do
  if [[ $i386 == emulated && $arch == win32 ]]; then
    echo "package-test: not run where qemu runs 32-bit code: the installer in a 32-bit Windows"
    continue
  fi
  bits=b
  [[ $arch == win32 ]] && bits=b32
  code=0
  "$root/scripts/wine-root.sh" run env NORVA_WINEARCH=$arch NORVA_TEST_CA="$keys/cert.pem" \
    "$root/tests/packaging/test_windows_install.sh" "$dist" "$win/$bits/bin/norva-fake-launcher.exe" ||
    code=$?
  ((code == 0 || code == 77)) || exit "$code"
done
