#!/usr/bin/env bash
# Runs valgrind's memcheck over the native (non-sanitizer) test programs, one at a time, and
# fails when any of them loses memory (definitely or indirectly) or reads or writes out of bounds.
# Its helgrind mode runs the stress test (four threads on one instance) under helgrind and fails
# on any report of a data race, a lock order violation or a misuse of the threading interface,
# and when the stress test's own checks fail.
# Installs valgrind and the 32-bit C library's debugging symbols first (without them memcheck
# refuses to start on i686 programs and helgrind aborts); Debian 12, as root. The test command
# (scripts/test.sh) runs no valgrind, so these packages are installed here and not by
# scripts/install-deps.sh: a machine that only builds and tests never downloads them.
#
#   scripts/valgrind.sh                 every test program of build/native
#   scripts/valgrind.sh test_module     only the named programs
#   KELDA_VALGRIND_FILTER='Live*'       a gtest filter for every program (slow ones)
#   scripts/valgrind.sh helgrind        the stress test under helgrind, KELDA_STRESS_SECONDS long
#                                       (60 when unset), its waits KELDA_TIME_SCALE (50) times longer
#
# Logs go to build/native/valgrind/<program>.log (helgrind: stress-helgrind.log). Known,
# deliberate reports are listed in scripts/valgrind.supp with the reason for each.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

need=()
command -v valgrind >/dev/null 2>&1 || need+=(valgrind)
dpkg -s libc6-dbg:i386 >/dev/null 2>&1 || need+=(libc6-dbg:i386)
if [ ${#need[@]} -ne 0 ]; then
  echo "valgrind: installing ${need[*]}"
  dpkg --add-architecture i386
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

build=build/native
logs=$build/valgrind
# As ctest runs them: the registry and the named locks in folders of the build tree.
export KELDA_REGISTRY_DIR=$root/$build/registry KELDA_LOCK_DIR=$root/$build/locks

if [ "${1:-}" = helgrind ]; then
  cmake --preset native >/dev/null
  cmake --build --preset native --target test_integration -j "${KELDA_JOBS:-2}"
  mkdir -p "$logs"
  export KELDA_STRESS_SECONDS=${KELDA_STRESS_SECONDS:-60}
  # Helgrind runs one thread at a time and each step some 50 times slower: the test's waits for
  # the other threads and its watchdog grow by this much, and it reports progress once a minute.
  # Fair scheduling hands the one running slot round in turn: without it a thread that never
  # blocks (the GetModuleInfo loop) keeps it, and the command and host threads starve for minutes.
  export KELDA_TIME_SCALE=${KELDA_TIME_SCALE:-50}
  log=$logs/stress-helgrind.log
  echo "=== helgrind: Stress.* for $KELDA_STRESS_SECONDS s"
  rc=0
  (cd "$build/tests/integration" &&
   valgrind --tool=helgrind --fair-sched=yes --error-exitcode=99 --num-callers=30 --show-error-list=yes \
     --suppressions="$root/scripts/valgrind.supp" --log-file="$root/$log" \
     ./test_integration --gtest_filter='Stress.*' >"$root/$log.out" 2>&1) || rc=$?
  grep -E "ERROR SUMMARY|used_suppression" "$log" | sed 's/^==[0-9]*== *//' | sort | uniq
  grep -E "^stress|OK \]|FAILED" "$log.out" || true
  if [ $rc -ne 0 ]; then
    echo "=== helgrind: FAILED (exit $rc), see $log"
    exit 1
  fi
  exit 0
fi

cmake --preset native >/dev/null
cmake --build --preset native -j "${KELDA_JOBS:-2}"
mkdir -p "$logs"
programs=("$@")
if [ ${#programs[@]} -eq 0 ]; then
  for p in "$build"/tests/test_* "$build"/tests/integration/test_integration; do
    [ -x "$p" ] && programs+=("$(basename "$p")")
  done
fi

status=0
for name in "${programs[@]}"; do
  program=$build/tests/$name
  [ -x "$program" ] || program=$build/tests/integration/$name
  log=$logs/$name.log
  args=()
  [ -n "${KELDA_VALGRIND_FILTER:-}" ] && args+=("--gtest_filter=$KELDA_VALGRIND_FILTER")
  echo "=== memcheck: $name ${args[*]}"
  # The programs find their sample files and the library relative to the build folder.
  rc=0
  (cd "$(dirname "$program")" &&
   valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite,indirect \
     --errors-for-leak-kinds=definite,indirect --error-exitcode=99 --track-origins=yes \
     --num-callers=30 --suppressions="$root/scripts/valgrind.supp" \
     --log-file="$root/$log" "./$name" "${args[@]}" >"$root/$log.out" 2>&1) || rc=$?
  summary=$(grep -E "ERROR SUMMARY|definitely lost|indirectly lost" "$log" | sed 's/^==[0-9]*== *//')
  echo "$summary"
  tail -n 1 "$log.out"
  if [ $rc -ne 0 ]; then
    echo "=== memcheck: $name FAILED (exit $rc), see $log"
    status=1
  fi
done
exit $status
