#!/usr/bin/env bash
# Fails when any .exe or .dll under the given folders imports a function that Windows 7 SP1
# does not have: such a file would not even load there.
#   check_imports.sh <folder>...
set -euo pipefail
objdump=x86_64-w64-mingw32-objdump # reads 32-bit images as well
# Functions added after Windows 7 that a MinGW or Qt build is known to reach for.
newer=(
  IsWow64Process2 GetSystemTimePreciseAsFileTime SetThreadDescription GetThreadDescription
  CreateFile2 GetCurrentThreadStackLimits GetOverlappedResultEx PrefetchVirtualMemory
  WaitOnAddress WakeByAddressSingle WakeByAddressAll GetProcessMitigationPolicy
  SetProcessMitigationPolicy GetFirmwareType DiscardVirtualMemory VirtualAlloc2
  MapViewOfFile3 GetDpiForWindow GetDpiForMonitor GetDpiForSystem SetProcessDpiAwarenessContext
  SetThreadDpiAwarenessContext GetSystemMetricsForDpi AdjustWindowRectExForDpi
  AppPolicyGetProcessTerminationMethod GetPackageFamilyName RoInitialize
)
pattern=$(printf '%s\n' "${newer[@]}" | paste -sd'|')
checked=0 bad=0
while IFS= read -r -d '' file; do
  checked=$((checked + 1))
  # Import lines of objdump -p: "<vma> <hint> <name>" below each "DLL Name:".
  found=$("$objdump" -p "$file" | awk '/^\tDLL Name:/{dll=$3} /^\t[0-9a-f]+\t +[0-9]+ +[A-Za-z_]/{print dll": "$3}' |
          grep -Ew "$pattern" || true)
  if [[ -n "$found" ]]; then
    echo "FAIL: $file imports what Windows 7 SP1 lacks:"
    sed 's/^/  /' <<<"$found"
    bad=$((bad + 1))
  fi
done < <(find "$@" -type f \( -iname '*.exe' -o -iname '*.dll' \) -print0)
((checked > 0)) || { echo "FAIL: no .exe or .dll under $*"; exit 1; }
((bad == 0)) || exit 1
echo "ok: $checked files import nothing newer than Windows 7 SP1"
