#!/usr/bin/env bash
# Reads per second on the timed simulated line and their share of the wire-limited rate, for each
# protocol, a 10- and a 200-register read, one and four requests, in the module's default mode and
# with --fast (Keep session + Send when ready). Builds the Release preset first and prints a
# markdown table for the README's "Benchmarks" section.
#
#   bench/wire_rate.sh [--modes "default fast"] [--seconds N] [--baud N] [--protocols "ccm-ms snp snpx"]
#                      [--preset native-release]
#
# Every run polls the built-in simulated PLC with --sim-baud (8O1): each byte takes its time on the
# wire both ways and the PLC answers at once, keeping GE's gaps. The wire-limited rate is the
# poller's own figure (its "line use" line): every character of one read both ways plus the
# mandated gaps, and in the default mode the break, T4 and attach before each SNP and SNP-X read.
set -euo pipefail

modes="default fast"
seconds=6
baud=19200
protocols="ccm-ms ccm-peer snp snpx"
preset=native-release
while [ $# -gt 0 ]; do
  case "$1" in
    --modes) modes="$2"; shift 2 ;;
    --seconds) seconds="$2"; shift 2 ;;
    --baud) baud="$2"; shift 2 ;;
    --protocols) protocols="$2"; shift 2 ;;
    --preset) preset="$2"; shift 2 ;;
    -h|--help) sed -n '2,14p' "$0"; exit 0 ;;
    *) echo "wire_rate.sh: unknown option $1" >&2; exit 2 ;;
  esac
done

root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j2 --target kelda kelda-host >/dev/null
host="$root/build/$preset/tools/kelda-host"
library="$root/build/$preset/module/libkelda.so"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# A configuration of $3 requests, each reading $2 registers of %R back to back (poll interval 0),
# each with one value of its own so that the poller can tell the answers apart.
configuration() {
  local protocol="$1" registers="$2" requests="$3" file="$4"
  local address="PLC1" size="$registers" first=0
  case "$protocol" in
    ccm-*) address=2; size=$((registers * 2)); first=1 ;;  # CCM: bytes, registers from 1
  esac
  {
    echo '<?xml version="1.0" encoding="windows-1252"?>'
    echo '<MODBUSRTUQUERY>'
    for k in $(seq 1 "$requests"); do
      cat <<XML
  <Request caption="Q$k %R x $registers">
    <Enabled check="2"/>
    <Address>$address</Address>
    <Memory>8</Memory>
    <Offset>$((first + (k - 1) * registers))</Offset>
    <Size>$size</Size>
    <Timeout>1000</Timeout>
    <RequestMethod>
      <MethodOnce check="0"/>
      <MethodPoll check="2">
        <PollInterval>0</PollInterval>
        <PollUnits>MS</PollUnits>
      </MethodPoll>
    </RequestMethod>
    <Response>
      <Item>
        <Name>Q${k}_FIRST</Name>
        <Offset>0</Offset>
        <Count>1</Count>
        <AppendCnt check="0">
          <ZeroBaseCnt check="0"/>
        </AppendCnt>
        <DataType>D16</DataType>
        <LE check="2"/>
        <Unsigned check="2"/>
        <Swapped check="0"/>
        <Default>0</Default>
        <Scale>1</Scale>
      </Item>
    </Response>
  </Request>
XML
    done
    echo '</MODBUSRTUQUERY>'
  } >"$file"
}

echo "Timed simulated line at $baud 8O1, $seconds s per run, $preset build ($(date -u +%Y-%m-%d))."
echo
echo "| protocol | registers | requests | mode | reads/s | wire-limited reads/s | share |"
echo "|---|---:|---:|---|---:|---:|---:|"
for protocol in $protocols; do
  for registers in 10 200; do
    for requests in 1 4; do
      for mode in $modes; do
        config="$work/$protocol-$registers-$requests.xml"
        configuration "$protocol" "$registers" "$requests" "$config"
        extra=()
        [ "$mode" = fast ] && extra=(--fast)
        out="$("$host" poll "$library" --config "$config" --protocol "$protocol" --quiet \
          --sim-baud "$baud" --seconds "$seconds" "${extra[@]}" 2>"$work/err" || true)"
        # "line use at 19200 8O1, ...: 7.9 reads/s of 8.3 wire-limited (95 %)"
        line="$(grep '^line use' <<<"$out" || true)"
        if [[ "$line" =~ :\ ([0-9.?]+)\ reads/s\ of\ ([0-9.]+)\ wire-limited\ \(([0-9?]+)\ ?%?\) ]]; then
          echo "| $protocol | $registers | $requests | $mode | ${BASH_REMATCH[1]} | ${BASH_REMATCH[2]} | ${BASH_REMATCH[3]} % |"
        else
          echo "| $protocol | $registers | $requests | $mode | failed: $(head -c 120 "$work/err" | tr '\n|' '  ') | | |"
        fi
      done
    done
  done
done
