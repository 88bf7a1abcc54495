#!/usr/bin/env bash
# Checks the user guide against the module: loads each configuration of docs/examples.md into
# libkelda.so through the host harness, polls a simulated PLC holding the guide's register
# values, and compares the rows with the values the guide promises. Then reads the worked byte
# order examples of docs/user-guide.md (section 6) through the module the same way. Each example
# must also pass the configuration check (kelda-host check) without a finding.
# Builds the native library and harness first (incremental). Exits non-zero on any difference.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset native >/dev/null
cmake --build --preset native -j "${KELDA_JOBS:-2}" --target kelda kelda-host >/dev/null
host=$PWD/build/native/tools/kelda-host
library=$PWD/build/native/module/libkelda.so

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export KELDA_REGISTRY_DIR=$work/registry KELDA_LOCK_DIR=$work/locks
status=0

# The n-th ```xml block of a Markdown file.
xml_block() {
  awk -v want="$2" '/^```xml$/ {n++; on = (n == want); next} /^```$/ {on = 0} on' "$1"
}

# poll MODE PROTO XML-FILE: prints the decoded rows of a few seconds of polling.
poll() {
  local mode=$1 proto=$2 config=$3 id=PLC1
  [ "$proto" -le 1 ] && id=2
  cat >"$work/run.script" <<EOF
ini guide.ini Guide.Common "Parser config" @$config
ini guide.ini Guide.Common Proto $proto
create 1
line 1 $mode chunk=5 seed=1 id=$id
registers 1 0 1200 1250 1190 -125 0x86A0 0x0001 0x0000 0x4020
registers 1 20 0x6154 0x6B6E 0x4120 0
load INI-FILE=guide.ini INI-SECTION-PREFIX=Guide LANGUAGE=EN
command SET-STATE @flags=0x03 DATA-SOURCES-IN-CFG="1;COM1;Tank farm" RESULT=1
run 8000 4
log
command UNLOAD INI-FILE=guide.ini
free
EOF
  (cd "$work" && "$host" "$library" run.script) | grep '^  row from' || true
}

expect() {  # expect NAME ROWS TEXT...
  local name=$1 rows=$2
  shift 2
  for text in "$@"; do
    if grep -qF -- "$text" <<<"$rows"; then
      echo "ok   $name: $text"
    else
      echo "FAIL $name: no row with \"$text\""
      status=1
    fi
  done
}

registers="LEVEL1=1200 LEVEL2=1250 LEVEL3=1190 TEMPERATURE=-12.5 FLOW=100000 PRESSURE=2.5"
n=0
for example in "snpx 3" "snp 2" "ccm-ms 0" "ccm-peer 1"; do
  set -- $example
  n=$((n + 1))
  xml_block docs/examples.md $n >"$work/$1.xml"
  grep -q '<MODBUSRTUQUERY>' "$work/$1.xml" || { echo "FAIL $1: no example $n"; status=1; continue; }
  # The module's configuration check finds nothing doubtful in the guide's examples.
  if findings=$("$host" check "$work/$1.xml" --protocol "$1"); then
    echo "ok   $1: kelda-host check finds nothing"
  else
    echo "FAIL $1: kelda-host check: $findings"
    status=1
  fi
  rows=$(poll "$1" "$2" "$work/$1.xml")
  case $1 in
    snpx) expect "$1" "$rows" "$registers" "PLC_STATUS=0 STATUS_CODE=0" "INPUT16=" ;;
    snp) expect "$1" "$rows" "$registers" "STATION=Tank A" ;;
    ccm-ms) expect "$1" "$rows" "$registers" "RUN_STATE=0 CPU_TYPE=16" ;;
    ccm-peer) expect "$1" "$rows" "$registers" "INPUT16=" ;;
  esac
done

# The worked byte orders: every combination of the guide's tables on %R1 to %R8.
item() {  # item NAME OFFSET TYPE LE SWAPPED UNSIGNED SCALE
  echo "<Item><Name>$1</Name><Offset>$2</Offset><Count>1</Count><AppendCnt check='0'/><DataType>$3</DataType><LE check='$4'/><Swapped check='$5'/><Unsigned check='$6'/><Scale>$7</Scale></Item>"
}
{
  echo "<MODBUSRTUQUERY><Request caption='Byte order'><Enabled check='2'/><Address>PLC1</Address>"
  echo "<Memory>8</Memory><Offset>0</Offset><Size>8</Size><Timeout>1000</Timeout>"
  echo "<MethodPoll check='2'><PollInterval>500</PollInterval></MethodPoll><Response>"
  item D16_OFF 0 D16 0 0 2 1
  item D16_OFF_SIGNED 0 D16 0 0 0 1
  item D16_LE 0 D16 2 0 2 1
  item TEMPERATURE 6 D16 2 0 0 0.1
  item D32_NONE 8 D32 0 0 2 1
  item D32_SWAPPED 8 D32 0 2 2 1
  item D32_LE 8 D32 2 0 2 1
  item D32_BOTH 8 D32 2 2 2 1
  item F32_BOTH 12 F32 2 2 0 1
  item F32_NONE 12 F32 0 0 0 1
  echo "</Response></Request></MODBUSRTUQUERY>"
} >"$work/order.xml"
rows=$(poll snpx 3 "$work/order.xml")
expect "byte order" "$rows" "D16_OFF=45060 D16_OFF_SIGNED=-20476 D16_LE=1200 TEMPERATURE=-12.5" \
  "D32_NONE=16818310 D32_SWAPPED=2693136640 D32_LE=2258632705 D32_BOTH=100000" \
  "F32_BOTH=2.5 F32_NONE=1.6263"

[ $status -eq 0 ] && echo "check-examples: every example gives the values the guide states"
exit $status
