#!/usr/bin/env bash
# Builds the packages twice, from two clones of HEAD in two different folders, and compares the
# .deb and the zips byte for byte. Takes about twice as long as scripts/package.sh from scratch,
# so it is not part of scripts/test.sh. Needs ../shared beside the clones for the Windows part.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
tmp=$(mktemp -d /tmp/norva-repro.XXXXXX)
trap 'rm -rf "$tmp"' EXIT
SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct)
export SOURCE_DATE_EPOCH
for side in one two-with-a-longer-name; do
  git clone -q "$root" "$tmp/$side/main"
  [[ -d "$root/../shared" ]] && ln -s "$(cd "$root/../shared" && pwd)" "$tmp/$side/shared"
  echo "== building in $tmp/$side/main"
  NORVA_DIST_DIR="$tmp/$side/dist" "$tmp/$side/main/scripts/package.sh" >/dev/null
done
code=0
for f in "$tmp/one/dist"/*.deb "$tmp/one/dist"/*.zip; do
  name=$(basename "$f")
  if cmp -s "$f" "$tmp/two-with-a-longer-name/dist/$name"; then
    echo "same: $name ($(sha256sum "$f" | cut -c1-16))"
  else
    # Both kept for a closer look (diffoscope, or dpkg-deb -x and cmp).
    kept=${NORVA_REPRO_KEEP:-$root/dist/different}
    mkdir -p "$kept/one" "$kept/two"
    cp "$f" "$kept/one/" && cp "$tmp/two-with-a-longer-name/dist/$name" "$kept/two/"
    echo "DIFFERENT: $name (both kept in $kept)"
    code=1
  fi
done
exit "$code"
