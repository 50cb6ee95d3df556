#!/usr/bin/env bash
# A Debian 12 root of its own with 32- and 64-bit Wine, for every Windows run: 32-bit Wine
# cannot be installed beside this machine's packages (Multi-Arch: same wants the i386 packages
# at the amd64 ones' versions, and some of those come from a suite whose i386 index is not to be
# had), while a separate root has only the main and updates suites and no such conflict.
#   scripts/wine-root.sh make          make the root, or make it anew when its recipe changed
#   scripts/wine-root.sh i386          make it, and print how its 32-bit programs run: "native",
#                                      or "emulated" (qemu-i386-static, see ensure_i386)
#   scripts/wine-root.sh run CMD...    run CMD in it, in the current folder (the source tree and
#                                      /tmp are seen at the same paths), nothing left mounted;
#                                      NORVA_I386 in its environment says native or emulated
# The root lives in $NORVA_WINE_ROOT (default /var/cache/norva/wine-root), outside the tree.
set -euo pipefail
root=${NORVA_WINE_ROOT:-/var/cache/norva/wine-root}
src=$(cd "$(dirname "$0")/.." && pwd)
packages=(wine wine32:i386 wine64 xvfb xauth xdotool procps unzip osslsigncode fonts-wqy-zenhei
  cmake)
recipe="bookworm minbase i386 ${packages[*]}"
stamp=$root/.norva-recipe

need_root() {
  if [[ $(id -u) -ne 0 ]]; then
    echo "wine-root: needs root; run this once, then try again:" >&2
    echo "  sudo $0 $*" >&2
    exit 1
  fi
}

# The host's own Debian mirror, as its apt sources name it.
mirror() {
  local uri
  uri=$(grep -hoE '^(URIs:|deb) +https?://[^ ]+' /etc/apt/sources.list.d/*.sources \
    /etc/apt/sources.list 2>/dev/null | grep -v security | head -n1 | awk '{print $2}')
  echo "${uri:-http://deb.debian.org/debian}"
}

# 32-bit Wine's loader and programs are i386 code. Where the kernel runs none (a 64-bit-only
# guest answers "Exec format error"), qemu-i386-static runs them, registered with binfmt_misc
# for i386 ELF programs (F: opened now, so it serves inside the root's chroot too); a kernel
# that runs them natively is left alone. NORVA_I386=emulated takes the emulated path on any
# kernel (binfmt_misc is asked before the kernel's own loader), to try that path where i386
# runs natively. Prints "native" or "emulated".
ensure_i386() {
  local binfmt=/proc/sys/fs/binfmt_misc entry=/proc/sys/fs/binfmt_misc/qemu-i386 probe status=0
  [[ -e $binfmt/register ]] || mount -t binfmt_misc binfmt_misc "$binfmt"
  # The kernel's own loader first: an entry of ours left from an emulated run stays off.
  [[ -e $entry ]] && echo 0 >"$entry"
  probe=$(mktemp)
  # A hand-made i386 program: exit(42) through int 0x80.
  printf '\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80' >"$probe"
  chmod +x "$probe"
  "$probe" 2>/dev/null || status=$?
  rm -f "$probe"
  if [[ $status -eq 42 && ${NORVA_I386:-} != emulated ]]; then
    echo native
    return 0
  fi
  if [[ -e $entry ]]; then
    echo 1 >"$entry"
  else
    if ! command -v qemu-i386-static >/dev/null; then
      DEBIAN_FRONTEND=noninteractive apt-get install -y -qq qemu-user-static >/dev/null
    fi
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:FOC' >"$binfmt/register"
  fi
  if [[ $status -eq 42 ]]; then
    echo "wine-root: NORVA_I386=emulated: i386 programs run under qemu-i386-static" >&2
  else
    echo "wine-root: this kernel runs no 32-bit code: i386 programs run under qemu-i386-static" >&2
  fi
  echo emulated
}

make_root() {
  need_root make
  if [[ -f "$stamp" && "$(cat "$stamp")" == "$recipe" ]]; then
    return 0
  fi
  command -v debootstrap >/dev/null || { echo "wine-root: debootstrap is missing" >&2; exit 1; }
  local started=$SECONDS m
  m=$(mirror)
  rm -rf "$root"
  mkdir -p "$(dirname "$root")"
  echo "wine-root: making $root from $m (a few minutes, once)"
  debootstrap --variant=minbase bookworm "$root" "$m" >/dev/null
  printf 'deb %s bookworm main\ndeb %s bookworm-updates main\n' "$m" "$m" >"$root/etc/apt/sources.list"
  in_root dpkg --add-architecture i386
  in_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    "${packages[@]}" >/dev/null
  in_root apt-get clean
  echo "$recipe" >"$stamp"
  echo "wine-root: ready in $((SECONDS - started)) s, $(du -sh "$root" | cut -f1)"
}

# Runs a command in the root with mounts private to it: /proc, /dev, /sys, the source tree and
# /tmp at the same paths; all of them go when the command ends, however it ends.
in_root() {
  local cwd
  cwd=$(pwd)
  unshare -m --propagation private -- bash -c '
    set -e
    root=$1 src=$2 cwd=$3
    shift 3
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    mount --rbind /sys "$root/sys"
    mkdir -p "$root$src" "$root/tmp"
    mount --rbind "$src" "$root$src"
    mount --rbind /tmp "$root/tmp"
    exec chroot "$root" env -C "$cwd" "$@"' in_root "$root" "$src" "$cwd" "$@"
}

case ${1:-} in
make)
  make_root
  ensure_i386 >/dev/null
  ;;
i386)
  # Makes the root, and says how its i386 programs run: native or emulated.
  need_root i386
  make_root
  ensure_i386
  ;;
run)
  shift
  need_root run "$@"
  make_root
  NORVA_I386=$(ensure_i386) in_root "$@"
  ;;
*)
  echo "usage: $0 make | i386 | run COMMAND..." >&2
  exit 2
  ;;
esac
