#!/usr/bin/env bash
# Quick-start command 2: installs what is missing, builds, and runs the whole test suite.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
# Shell scripts through shellcheck, C++ through clang-format's check.
"$root/scripts/lint.sh"
"$root/scripts/build.sh"
# The tests' name cache starts empty, and warms as they go.
rm -rf "${NORVA_BUILD_DIR:-$root/build}/test-cache"
(cd "${NORVA_BUILD_DIR:-$root/build}" && ctest -j"$(nproc)" --output-on-failure --timeout 300)
# The non-GUI code under ASan + UBSan, the threaded parts under TSan.
"$root/scripts/sanitize.sh"
# The Windows programs: cross-built with MinGW, their tests run under Wine.
"$root/scripts/windows-test.sh"
# The packages, installed and run as a user would: the .deb, the Windows installer and zip.
"$root/scripts/package-test.sh"
