#!/usr/bin/env bash
# A real serial line end to end: kelda.dll under Wine, driven by the bench poller
# (kelda-host.exe poll), opens a COM port through the Win32 serial API; Wine maps that port to one
# end of a pseudo-terminal pair made by socat, and the PLC simulator program (native
# kelda-plcsim) answers on the other end. Each protocol must deliver the PLC's values into the CSV,
# which must read back as strict UTF-8 CSV.
#
# Then the bench line of the guide, run again and again: one socat pair and one kelda-plcsim, the
# native poller (libkelda.so) three times in a row on the same end, then kelda.dll under Wine twice
# on it; then the pair is made anew under the same names (kelda-plcsim's line hangs up) and a
# fourth native run must still be answered.
#
# Last, "kelda-host scan" on the pair: it must find kelda-plcsim in each mode with an ID or station
# other than the defaults (natively, and once under Wine on COM23), the configuration it writes
# must poll that PLC, a silent line must end with exit 1 and a port in use must be named.
#
# Needs the win32 and native builds (kelda.dll, kelda-host.exe, kelda-plcsim) and socat.
# Usage: tests/serial/pty_line_test.sh [build-root]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(readlink -f "${1:-build}")
src=$PWD
plcsim=$root/native/tools/plcsim/kelda-plcsim
host=$root/win32/tools/kelda-host.exe
dll=$root/win32/module/kelda.dll
native_host=$root/native/tools/kelda-host
native_library=$root/native/module/libkelda.so
for f in "$plcsim" "$host" "$dll" "$native_host" "$native_library"; do
  [ -e "$f" ] || { echo "pty line: $f is missing: build the native and win32 presets first"; exit 1; }
done
command -v socat >/dev/null || { echo "pty line: socat is missing (scripts/install-deps.sh installs it)"; exit 1; }

work=$(mktemp -d /tmp/kelda-pty.XXXXXX)
prefix=$root/win32/wineprefix
com=com23  # a port number no real machine here has
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -f "$prefix/dosdevices/$com"
  rm -rf "$work"
}
trap cleanup EXIT

# The Wine prefix the win32 tests use (ctest's fixture creates it; create it here when absent).
if [ ! -d "$prefix/dosdevices" ]; then
  WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY= wineboot --init >/dev/null 2>&1
fi

# The samples read %R1..%R10, %AI1..%AI4 and, in CCM, %R101..%R104 ("RECIPE"). The values
# differ from the poller's built-in simulated PLC (%Rn = n), so they can only come over the line.
cat >"$work/memory.txt" <<'MEM'
%R1 = 1001 1002 1003 1004 1005 1006 1007 1008 1009 1010
%R101 = 3101 3102 3103 3104
%AI1 = 2001 2002 2003 2004
MEM

# The first polled row's R1 R2 R6 R10, read with a strict UTF-8 CSV reader ("?" when the file
# does not read).
first_values() {
  python3 - "$1" <<'PY' 2>/dev/null || echo "unreadable CSV"
import csv, sys
with open(sys.argv[1], encoding="utf-8", errors="strict", newline="") as f:
    rows = list(csv.DictReader(f))
for row in rows:
    if row.get("R1"):
        print(" ".join(row.get(k, "?") for k in ("R1", "R2", "R6", "R10")))
        break
else:
    print("no row")
PY
}

start_pair() {
  rm -f "$work/host" "$work/plc"
  socat pty,raw,echo=0,link="$work/host" pty,raw,echo=0,link="$work/plc" 2>>"$work/socat.log" &
  socat_pid=$!
  pids+=($socat_pid)
  for _ in $(seq 100); do [ -e "$work/host" ] && [ -e "$work/plc" ] && break; sleep 0.05; done
}

failed=0
for protocol in ccm-ms ccm-peer snp snpx; do
  rm -f "$work/host" "$work/plc"
  socat pty,raw,echo=0,link="$work/host" pty,raw,echo=0,link="$work/plc" 2>"$work/socat.log" &
  pids+=($!)
  for _ in $(seq 100); do [ -e "$work/host" ] && [ -e "$work/plc" ] && break; sleep 0.05; done
  ln -sfn "$(readlink -f "$work/host")" "$prefix/dosdevices/$com"

  "$plcsim" --mode "$protocol" --serial "$work/plc" --memory "$work/memory.txt" 2>"$work/plcsim-$protocol.log" &
  pids+=($!)

  csv=$work/$protocol.csv
  status=0
  # Wine reaches every Linux path through drive Z:.
  (cd "$work" && KELDA_WINEPREFIX="$prefix" timeout 120 "$src/cmake/wine-run.sh" "$host" poll "$dll" \
     --config "Z:$src/samples/$protocol.xml" --protocol "$protocol" --port COM23 \
     --transactions 4 --seconds 60 --quiet --csv "Z:$csv" --trace "Z:$work/$protocol.trace") \
     >"$work/poll-$protocol.out" 2>&1 || status=$?
  values=$(first_values "$csv")
  if [ "$status" -eq 0 ] && [ "$values" = "1001 1002 1006 1010" ]; then
    echo "pty line: $protocol ok ($(grep -c -E '^[0-9]+,' "$csv") rows; R1 R2 R6 R10 = $values)"
  else
    echo "pty line: $protocol FAILED (poller exit $status, R1 R2 R6 R10 = '$values')"
    sed 's/^/  poll: /' "$work/poll-$protocol.out" | tail -20
    sed 's/^/  plcsim: /' "$work/plcsim-$protocol.log" | tail -10
    [ -f "$work/$protocol.trace" ] && sed 's/^/  trace: /' "$work/$protocol.trace" | head -20
    failed=1
  fi
  kill "${pids[@]}" 2>/dev/null || true
  wait 2>/dev/null || true
  pids=()
done
# The bench line again and again: the same pair, the same simulator.
start_pair
"$plcsim" --mode snpx --serial "$work/plc" --memory "$work/memory.txt" 2>"$work/plcsim-bench.log" &
pids+=($!)
bench_run() {
  local run=$1 status=0
  if [ "${run#wine}" != "$run" ]; then
    ln -sfn "$(readlink -f "$work/host")" "$prefix/dosdevices/$com"
    (cd "$work" && KELDA_WINEPREFIX="$prefix" timeout 120 "$src/cmake/wine-run.sh" "$host" poll "$dll" \
       --config "Z:$src/samples/snpx.xml" --protocol snpx --port COM23 --transactions 4 --seconds 30 \
       --quiet --csv "Z:$work/bench-$run.csv") >"$work/bench-$run.out" 2>&1 || status=$?
  else
    timeout 60 "$native_host" poll "$native_library" --config "$src/samples/snpx.xml" --protocol snpx \
      --port "$work/host" --transactions 4 --seconds 30 --quiet --csv "$work/bench-$run.csv" \
      >"$work/bench-$run.out" 2>&1 || status=$?
  fi
  local values
  values=$(first_values "$work/bench-$run.csv")
  if [ "$status" -eq 0 ] && [ "$values" = "1001 1002 1006 1010" ]; then
    echo "pty line: bench run $run ok ($(grep -c 'keeps its own line settings' "$work/bench-$run.out") note on the line's settings)"
  else
    echo "pty line: bench run $run FAILED (poller exit $status, R1 R2 R6 R10 = '$values')"
    sed 's/^/  poll: /' "$work/bench-$run.out" | tail -10
    sed 's/^/  plcsim: /' "$work/plcsim-bench.log" | tail -10
    failed=1
  fi
}
for run in 1 2 3; do bench_run $run; done
# kelda.dll under Wine on the same end, twice: the Win32 serial port meets the same device.
for run in wine1 wine2; do bench_run $run; done
# The pair made anew under the same names: the simulator's line hung up, it serves the next one.
kill "$socat_pid" 2>/dev/null || true
wait "$socat_pid" 2>/dev/null || true
start_pair
bench_run 4
# The scan: on a fresh pair, kelda-plcsim in each mode with an SNP ID or CCM station other than
# the defaults; "kelda-host scan" must name the protocol and the address, and the configuration
# it writes must poll that PLC. Then nothing on the line (exit 1 with the reason, in bounded time)
# and the port held by another program (exit 1, "in use").
scan_run() {
  local mode=$1 id=$2 title=$3 status=0
  kill "${pids[@]}" 2>/dev/null || true
  wait 2>/dev/null || true
  pids=()
  start_pair
  "$plcsim" --mode "$mode" --id "$id" --serial "$work/plc" --memory "$work/memory.txt" 2>"$work/plcsim-scan-$mode.log" &
  pids+=($!)
  timeout 120 "$native_host" scan "$native_library" --port "$work/host" --bauds 19200 --parities odd --stops 1 \
    --stations 1-8 --try-timeout 200 --write-config "$work/scan-$mode.xml" --trace "$work/scan-$mode.trace" \
    >"$work/scan-$mode.out" 2>&1 || status=$?
  local found
  found=$(grep '^found: ' "$work/scan-$mode.out" || true)
  local poll_status=0
  timeout 60 "$native_host" poll "$native_library" --config "$work/scan-$mode.xml" --protocol "$mode" \
    --port "$work/host" --transactions 2 --seconds 30 --quiet --csv "$work/scan-$mode.csv" \
    >"$work/scan-poll-$mode.out" 2>&1 || poll_status=$?
  local values
  values=$(first_values "$work/scan-$mode.csv")
  if [ "$status" -eq 0 ] && [[ $found == "found: $title at 19200 8O1: "* ]] &&
     grep -q "<Address>$id</Address>" "$work/scan-$mode.xml" && [ "$poll_status" -eq 0 ] &&
     [ "$values" = "1001 1002 1006 1010" ]; then
    echo "pty line: scan $mode ok (${found#found: })"
  else
    echo "pty line: scan $mode FAILED (scan exit $status, '$found'; poll of the written configuration exit $poll_status, R1 R2 R6 R10 = '$values')"
    sed 's/^/  scan: /' "$work/scan-$mode.out" | tail -10
    sed 's/^/  poll: /' "$work/scan-poll-$mode.out" | tail -5
    sed 's/^/  plcsim: /' "$work/plcsim-scan-$mode.log" | tail -5
    failed=1
  fi
}
scan_run snpx PLC7 "SNP-X"
scan_run snp TANK9 "SNP"
scan_run ccm-ms 7 "CCM master-slave"
scan_run ccm-peer 12 "CCM peer-to-peer"
# kelda.dll under Wine finds the same kind of PLC through the Win32 serial API on COM23.
kill "${pids[@]}" 2>/dev/null || true
wait 2>/dev/null || true
pids=()
start_pair
"$plcsim" --mode snpx --id PLC7 --serial "$work/plc" 2>"$work/plcsim-scan-wine.log" &
pids+=($!)
ln -sfn "$(readlink -f "$work/host")" "$prefix/dosdevices/$com"
status=0
(cd "$work" && KELDA_WINEPREFIX="$prefix" timeout 120 "$src/cmake/wine-run.sh" "$host" scan "$dll" --port COM23 \
   --bauds 19200 --parities odd --stops 1 --protocols snp,snpx --try-timeout 300) >"$work/scan-wine.out" 2>&1 || status=$?
if [ "$status" -eq 0 ] && grep -q '^found: SNP-X at 19200 8O1: SNP ID "PLC7"' "$work/scan-wine.out"; then
  echo "pty line: scan under Wine ok"
else
  echo "pty line: scan under Wine FAILED (exit $status)"
  sed 's/^/  scan: /' "$work/scan-wine.out" | tail -10
  failed=1
fi
# Nothing answers: the simulator is gone, the pair stays.
kill "${pids[@]}" 2>/dev/null || true
wait 2>/dev/null || true
pids=()
start_pair
status=0
start_s=$(date +%s)
timeout 120 "$native_host" scan "$native_library" --port "$work/host" --bauds 19200,9600 --parities odd --stops 1 \
  --stations 1-4 --try-timeout 100 >"$work/scan-silent.out" 2>&1 || status=$?
took=$(( $(date +%s) - start_s ))
if [ "$status" -eq 1 ] && grep -q "no PLC answered on $work/host in 14 tries" "$work/scan-silent.out" && [ "$took" -lt 60 ]; then
  echo "pty line: scan of a silent line ok (exit 1 after ${took} s)"
else
  echo "pty line: scan of a silent line FAILED (exit $status after ${took} s)"
  sed 's/^/  scan: /' "$work/scan-silent.out" | tail -5
  failed=1
fi
# The port held by another program: the simulator opened the host's end itself.
"$plcsim" --mode snpx --serial "$work/host" 2>"$work/plcsim-holder.log" &
pids+=($!)
for _ in $(seq 40); do grep -q . "$work/plcsim-holder.log" 2>/dev/null && break; sleep 0.05; done
sleep 0.3
status=0
timeout 60 "$native_host" scan "$native_library" --port "$work/host" --bauds 19200 --parities odd --stops 1 \
  >"$work/scan-busy.out" 2>&1 || status=$?
if [ "$status" -eq 1 ] && grep -q "in use by another program" "$work/scan-busy.out"; then
  echo "pty line: scan of a port in use ok"
else
  echo "pty line: scan of a port in use FAILED (exit $status)"
  sed 's/^/  scan: /' "$work/scan-busy.out" | tail -5
  failed=1
fi
exit $failed
