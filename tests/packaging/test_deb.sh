#!/usr/bin/env bash
# The Debian package as a user gets it: lintian finds no error, and from the unpacked tree the
# watchdog restarts a killed launcher, scene-board still plays its clip, and the systemd user
# unit names the installed program.
#   test_deb.sh <package.deb> <build dir with tools/norva-fake-launcher>
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
deb=$1
build=$2
# shellcheck source=../../scripts/throwaway.sh
source "$root/scripts/throwaway.sh"
fail() { echo "FAIL: $*"; exit 1; }

lintian --no-tag-display-limit "$deb" >"$work/lintian.txt" 2>&1 || true
if grep -q '^E:' "$work/lintian.txt"; then cat "$work/lintian.txt"; fail "lintian reports errors"; fi
# Manual pages and hardening are ours to get right: no warning about either.
if grep -E '^W: .*(manual-page|hardening|bindnow|relro|fortify|stack-prot)' "$work/lintian.txt"; then
  fail "lintian warns about manual pages or hardening"
fi
echo "ok: lintian, no errors, no manual-page or hardening warnings ($(grep -c '^W:' "$work/lintian.txt" || true) other warnings)"

dpkg-deb -x "$deb" "$work/root"
unit="$work/root/usr/lib/systemd/user/norva-deamon.service"
grep -qx 'ExecStart=/usr/bin/norva-deamon' "$unit" || fail "unit: $(grep ExecStart "$unit")"
grep -qx 'ConditionPathExists=%E/NORVA/uninstall.ini' "$unit" || fail "the unit starts without settings"
apps="$work/root/usr/share/applications"
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$apps/norva-pstack.desktop" "$apps/scene-board.desktop" || fail "menu entries"
fi
for f in icons/hicolor/scalable/apps/norva-companions.svg icons/hicolor/48x48/apps/norva-companions.png \
         man/man1/norva-deamon.1.gz man/man1/norva-pstack.1.gz man/man1/norva-info.1.gz \
         man/man1/scene-board.1.gz; do
  [[ -s "$work/root/usr/share/$f" ]] || fail "not in the package: /usr/share/$f"
done
echo "ok: menu entries valid, icons and manual pages in place, the unit waits for its settings"
dpkg-deb -f "$deb" Depends | grep -q libqt5core5a || fail "Depends lacks the Qt libraries"

throwaway_home "$work/home" "$build/tools/norva-fake-launcher"
XDG_CONFIG_HOME=$work/home/config XDG_RUNTIME_DIR=$work/home/run NORVA_FAKE_LOG=$work/starts.log \
  "$work/root/usr/bin/norva-deamon" >"$work/daemon.out" 2>&1 &
pids+=($!)
disown
wait_starts "$work/starts.log" 1 5000 >/dev/null || fail "launcher not started"
kill -9 "$(cut -d' ' -f1 "$work/starts.log")"
wait_starts "$work/starts.log" 2 5000 >/dev/null || fail "launcher not restarted"
echo "ok: the unpacked watchdog restarted a killed launcher"

"$root/tests/scene-board/test_scene_x11.sh" "$work/root/usr/bin/scene-board"
