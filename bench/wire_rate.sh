#!/usr/bin/env bash
# Reads per second on the timed simulated line and their share of the wire-limited rate, for each
# protocol, a 10- and a 200-register read, one and four requests, in the module's default mode and
# with --fast (Keep session + Send when ready). Builds the Release preset first and prints a
# markdown table for the "Benchmarks" section of docs/testing.md.
#
#   bench/wire_rate.sh [--modes "default fast"] [--seconds N] [--baud N] [--protocols "ccm-ms snp snpx"]
#                      [--preset native-release] [--demotions "off on"]
#
# Then: the time to recover after a PLC comes back, and the reads per second of the healthy PLCs
# on a line with one dead PLC of four, in each mode, with demotion off and on.
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
demotions="off on"
while [ $# -gt 0 ]; do
  case "$1" in
    --modes) modes="$2"; shift 2 ;;
    --seconds) seconds="$2"; shift 2 ;;
    --baud) baud="$2"; shift 2 ;;
    --protocols) protocols="$2"; shift 2 ;;
    --preset) preset="$2"; shift 2 ;;
    --demotions) demotions="$2"; shift 2 ;;
    -h|--help) sed -n '2,17p' "$0"; exit 0 ;;
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
# each with one value of its own so that the poller can tell the answers apart. With $5 = plcs,
# request k reads PLC k (PLC1, PLC2, ...; CCM stations 2, 3, ...).
configuration() {
  local protocol="$1" registers="$2" requests="$3" file="$4" spread="${5:-}"
  local size="$registers" first=0 ccm=""
  case "$protocol" in
    ccm-*) ccm=1; size=$((registers * 2)); first=1 ;;  # CCM: bytes, registers from 1
  esac
  {
    echo '<?xml version="1.0" encoding="windows-1252"?>'
    echo '<MODBUSRTUQUERY>'
    for k in $(seq 1 "$requests"); do
      local plc=1
      [ "$spread" = plcs ] && plc=$k
      local address="PLC$plc"
      [ -n "$ccm" ] && address=$((plc + 1))
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

# Runs the poller; the summary on standard output, problems in $work/err.
poll() {
  "$host" poll "$library" --quiet --sim-baud "$baud" "$@" 2>"$work/err" || true
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
        out="$(poll --config "$config" --protocol "$protocol" --seconds "$seconds" "${extra[@]}")"
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

# The PLC is off the line for the first $down ms; the recovery is the time from its return to the
# first row. An enquiry, attach or header that goes unanswered fails after the handshake time-out
# (2000 ms by default), so the PLC stays away for three of them: with demotion ("Demote after" 3,
# "Demote for" 10 s) it is set aside before it comes back, and the module asks again only when
# the demotion ends.
down=7000
echo
echo "Recovery: one 10-register request, the PLC off the line for the first $down ms."
echo
echo "| protocol | mode | demotion | first row after the PLC's return |"
echo "|---|---|---|---:|"
for protocol in $protocols; do
  for mode in $modes; do
    for demotion in $demotions; do
      config="$work/$protocol-recovery.xml"
      csv="$work/$protocol-recovery.csv"
      rm -f "$csv"
      configuration "$protocol" 10 1 "$config"
      extra=(--seconds $((down / 1000 + 5)))
      [ "$demotion" = on ] && extra=(--seconds $((down / 1000 + 16)) --setting "Demote after=3" --setting "Demote for=10000")
      [ "$mode" = fast ] && extra+=(--fast)
      poll --config "$config" --protocol "$protocol" --sim-down "$down" --csv "$csv" "${extra[@]}" >/dev/null
      first="$(sed -n 2p "$csv" 2>/dev/null | cut -d, -f1)"
      if [ -n "$first" ]; then
        echo "| $protocol | $mode | $demotion | $((first - down)) ms |"
      else
        echo "| $protocol | $mode | $demotion | no row: $(head -c 100 "$work/err" | tr '\n|' '  ') |"
      fi
    done
  done
done

# Four PLCs on one line, one request each; the fourth never answers. The wire-limited rate is the
# one of the healthy PLCs polled alone (all requests are alike). With demotion the dead PLC costs
# three handshake time-outs before it is set aside, then one every "Demote for" (its trial).
echo
echo "One dead PLC among four, one 10-register request each, $((seconds + 14)) s per run."
echo
echo "| protocol | mode | demotion | reads/s of the three healthy PLCs | wire-limited reads/s | share |"
echo "|---|---|---|---:|---:|---:|"
for protocol in $protocols; do
  for mode in $modes; do
    for demotion in $demotions; do
      config="$work/$protocol-dead.xml"
      configuration "$protocol" 10 4 "$config" plcs
      extra=()
      [ "$demotion" = on ] && extra=(--setting "Demote after=3" --setting "Demote for=10000")
      [ "$mode" = fast ] && extra+=(--fast)
      out="$(poll --config "$config" --protocol "$protocol" --sim-plcs 4 --sim-dead 1 \
        --seconds $((seconds + 14)) "${extra[@]}")"
      line="$(grep '^line use' <<<"$out" || true)"
      if [[ "$line" =~ :\ ([0-9.?]+)\ reads/s\ of\ ([0-9.]+)\ wire-limited\ \(([0-9?]+)\ ?%?\) ]]; then
        echo "| $protocol | $mode | $demotion | ${BASH_REMATCH[1]} | ${BASH_REMATCH[2]} | ${BASH_REMATCH[3]} % |"
      else
        echo "| $protocol | $mode | $demotion | failed: $(head -c 120 "$work/err" | tr '\n|' '  ') | | |"
      fi
    done
  done
done
