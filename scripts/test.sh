#!/usr/bin/env bash
# Builds both flavors and runs every test: native (Linux i686), native with AddressSanitizer and
# UndefinedBehaviorSanitizer, and win32 (mingw-w64 i686) under Wine. Exits non-zero when any
# build or test fails. Installs what it needs first (Debian 12, as root).
#
# The first flavor is built at full speed; the others are built one after the other in the
# background at the lowest priority while the tests of the flavors already built run, so the
# cores do the next build whenever the tests wait for a timer or a line (most of their time)
# and the tests get the cores the moment they want them. Each flavor's tests start once its build
# is done. docs/testing.md ("How long the test command takes") has the figures.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=${KELDA_JOBS:-$(nproc)}
read -r -a presets <<<"${KELDA_PRESETS:-native win32 native-asan}"
status=0
logs=build/test-logs
rm -rf "$logs"
mkdir -p "$logs"

echo "=== format: every C++ file as the project's .clang-format has it"
if ! git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror; then
  echo "=== format: FILES NEED clang-format -i"
  status=1
fi

build() {  # build PRESET: configure and build, the log in build/test-logs/PRESET.build.log
  local started=$SECONDS
  if cmake --preset "$1" >"$logs/$1.build.log" 2>&1 &&
     cmake --build --preset "$1" -j "$jobs" >>"$logs/$1.build.log" 2>&1; then
    echo "$((SECONDS - started))" >"$logs/$1.built"
  else
    echo "failed" >"$logs/$1.built"
  fi
}

# Waits for a flavor's build; stops the whole run when it failed.
wait_built() {
  local waited=$SECONDS
  while [ ! -f "$logs/$1.built" ]; do
    if [ -n "${background:-}" ] && ! kill -0 "$background" 2>/dev/null && [ ! -f "$logs/$1.built" ]; then
      echo "failed" >"$logs/$1.built"
    fi
    sleep 1
  done
  if [ "$(cat "$logs/$1.built")" = failed ]; then
    echo "=== $1: BUILD FAILED"
    tail -n 60 "$logs/$1.build.log"
    exit 1
  fi
  echo "=== $1: built in $(cat "$logs/$1.built") s (waited $((SECONDS - waited)) s for it)"
}

echo "=== ${presets[0]}: configure and build"
build "${presets[0]}"
wait_built "${presets[0]}"
background=
if [ ${#presets[@]} -gt 1 ]; then
  echo "=== ${presets[*]:1}: built in the background at the lowest priority (logs in $logs)"
  export logs jobs
  export -f build
  # A session of its own, so that an early end stops the whole build with it.
  setsid nice -n 19 bash -c 'for preset; do build "$preset"; done' _ "${presets[@]:1}" </dev/null &
  background=$!
  trap 'kill -- -"$background" 2>/dev/null || true' EXIT
fi

for preset in "${presets[@]}"; do
  [ "$preset" = "${presets[0]}" ] || wait_built "$preset"
  echo "=== $preset: tests"
  # Twice as many tests as cores at once: the tests mostly wait for timers and lines (the native
  # ones use about a third of one core), so the cores stay busy.
  if ! ctest --preset "$preset" -j "$((jobs * 2))"; then
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
  if [ "$preset" = win32 ] && [ -f "$logs/native.built" ]; then
    echo "=== serial line: kelda.dll under Wine on a COM port, kelda-plcsim on a pseudo-terminal"
    if ! bash tests/serial/pty_line_test.sh build; then
      echo "=== serial line: FAILED"
      status=1
    fi
  fi
done
# The release package (scripts/package.sh) is not built here: its Release build of kelda.dll
# alone takes several minutes.
echo "=== all done in $SECONDS s"
exit $status
