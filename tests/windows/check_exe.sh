#!/usr/bin/env bash
# Reads the subsystem, the version strings and the manifest back from a built Windows program.
#   check_exe.sh <exe> <gui|console> <version>
set -euo pipefail
exe=$1 subsystem=$2 version=$3
objdump=x86_64-w64-mingw32-objdump
windres=x86_64-w64-mingw32-windres
fail() { echo "FAIL: $(basename "$exe"): $*"; exit 1; }

case $subsystem in
  gui) want="(Windows GUI)" ;;
  console) want="(Windows CUI)" ;;
esac
headers=$("$objdump" -p "$exe")
grep -q "Subsystem.*$want" <<<"$headers" || fail "subsystem is not $want"

rc=$("$windres" -i "$exe" -O rc)
grep -q 'BLOCK "080404b0"' <<<"$rc" || fail "no string table 080404b0"
grep -q 'VALUE "Translation", 0x804, 1200' <<<"$rc" || fail "translation is not Chinese (PRC), Unicode"
grep -q 'VALUE "CompanyName", "NORVA"' <<<"$rc" || fail "company name"
grep -q 'VALUE "InternalName", "NORVA"' <<<"$rc" || fail "internal name"
grep -q "VALUE \"FileVersion\", \"$version\"" <<<"$rc" || fail "file version is not $version"
grep -q "VALUE \"ProductVersion\", \"$version\"" <<<"$rc" || fail "product version is not $version"
grep -q " FILEVERSION ${version//./, }" <<<"$rc" || fail "binary file version"
for field in Comments FileDescription LegalCopyright LegalTrademarks OriginalFilename ProductName; do
  grep -q "VALUE \"$field\", \"\"" <<<"$rc" || fail "$field is not empty"
done
grep -q 'level=""asInvoker"" uiAccess=""false""' <<<"$rc" || fail "manifest is not asInvoker"
[[ $(grep -c 'RT_MANIFEST' <<<"$rc") -eq 1 ]] || fail "not exactly one manifest"
echo "ok: $(basename "$exe") $subsystem $version"
