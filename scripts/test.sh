#!/usr/bin/env bash
# Quick-start command 2: installs what is missing, builds, and runs the whole test suite.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
# The Windows sources must keep compiling: cross-build them with MinGW.
"$root/scripts/windows-build.sh" -DNORVA_BUILD_TESTS=OFF >/dev/null
cd "${NORVA_BUILD_DIR:-$root/build}"
ctest -j"$(nproc)" --output-on-failure --timeout 300
