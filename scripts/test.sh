#!/usr/bin/env bash
# Builds both flavors and runs every test: native (Linux i686), native with AddressSanitizer and
# UndefinedBehaviorSanitizer, and win32 (mingw-w64 i686) under Wine. Exits non-zero when any
# build or test fails. Installs what it needs first (Debian 12, as root).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=${KELDA_JOBS:-$(nproc)}
status=0
echo "=== format: every C++ file as the project's .clang-format has it"
if ! git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror; then
  echo "=== format: FILES NEED clang-format -i"
  status=1
fi
for preset in ${KELDA_PRESETS:-native native-asan win32}; do
  echo "=== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "=== $preset: tests"
  if ! ctest --preset "$preset" -j "$jobs"; then
    echo "=== $preset: TESTS FAILED"
    status=1
  fi
  if [ "$preset" = native ]; then
    echo "=== native: the user guide's examples through the module"
    if ! KELDA_JOBS=$jobs bash docs/check-examples.sh; then
      echo "=== native: GUIDE EXAMPLES FAILED"
      status=1
    fi
  fi
done
presets=" ${KELDA_PRESETS:-native native-asan win32} "
if [[ $presets == *" native "* && $presets == *" win32 "* ]]; then
  echo "=== serial line: kelda.dll under Wine on a COM port, kelda-plcsim on a pseudo-terminal"
  if ! bash tests/serial/pty_line_test.sh build; then
    echo "=== serial line: FAILED"
    status=1
  fi
fi
# The release package (scripts/package.sh) is not built here: its Release build of kelda.dll
# alone takes several minutes.
exit $status
