#!/usr/bin/env bash
# Sourced by the scripts that run Windows programs in the Wine root (scripts/wine-root.sh run):
#   fresh_prefix DIR [win64|win32]   DIR becomes a Wine prefix nothing has run in yet
# A prefix is made once for each kind, in the root (which is made anew with its Wine), and
# copied for every run: making one takes Wine 10 to 15 s where the kernel runs 32-bit code, and
# minutes where qemu emulates it, while a copy takes a few seconds. A copy of a prefix nothing
# ran in is as fresh as a new one.
#   wine_for FILE                    the loader for a program: 64-bit ones straight by wine64,
#                                    so that where 32-bit code is emulated no 32-bit loader runs
#                                    before them
prefix_templates=/var/cache/norva-wine-prefix

fresh_prefix() {
  local dir=$1 arch=${2:-win64} template
  template=$prefix_templates/$arch
  mkdir -p "$prefix_templates"
  (
    flock 9
    if [[ ! -f $template/.made ]]; then
      rm -rf "$template"
      local loader=/usr/lib/wine/wine64
      [[ $arch == win32 ]] && loader=/usr/lib/wine/wine
      export WINEPREFIX=$template WINEARCH=$arch WINEDEBUG=-all
      export WINEDLLOVERRIDES="mscoree,mshtml=;winealsa.drv,winepulse.drv=;winemenubuilder.exe=d"
      local started=$SECONDS
      "$loader" wineboot -i >/dev/null 2>&1
      "$loader" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
        >/dev/null 2>&1
      wineserver -w
      touch "$template/.made"
      echo "wine-prefix: a $arch prefix to copy made in $((SECONDS - started)) s" >&2
    fi
  ) 9>"$prefix_templates/.lock"
  mkdir -p "$dir"
  cp -a "$template/." "$dir/"
  rm -f "$dir/.made"
}

wine_for() {
  local machine
  machine=$(od -An -tx1 -j "$(($(od -An -tu4 -j60 -N4 "$1") + 4))" -N2 "$1" 2>/dev/null | tr -d ' \n')
  if [[ $machine == 6486 ]]; then
    echo /usr/lib/wine/wine64
  else
    echo /usr/bin/wine
  fi
}
