#!/usr/bin/env bash
# Static checks of the tree: shellcheck (warnings and worse) on every shell script, and
# clang-format in check mode on every C++ file. Fails on the first kind with findings.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
code=0
mapfile -t scripts < <(git ls-files '*.sh' .ci/run)
if command -v shellcheck >/dev/null; then
  shellcheck -S warning -x --source-path=SCRIPTDIR "${scripts[@]}" || code=1
else
  echo "lint: shellcheck missing; skipped" >&2
fi
mapfile -t sources < <(git ls-files '*.cpp' '*.h')
if command -v clang-format >/dev/null; then
  clang-format --dry-run --Werror "${sources[@]}" || code=1
else
  echo "lint: clang-format missing; skipped" >&2
fi
((code == 0)) && echo "lint: ${#scripts[@]} scripts and ${#sources[@]} C++ files clean"
exit "$code"
