#!/usr/bin/env bash
# A report of a short simulated run, rendered by headless Chromium: the screenshot must show a
# drawn page (text, tables and the charts' lines), not a blank one. Skipped (status 77) where
# Chromium is not installed.
# usage: render_test.sh KELDA_HOST LIBRARY SAMPLES_DIR
set -euo pipefail
host=$1 library=$2 samples=$3
browser=$(command -v chromium || command -v chromium-browser || true)
if [ -z "$browser" ]; then
  echo "SKIPPED: chromium is not installed (Debian: apt-get install chromium), the report is not rendered"
  exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# One silent answer first: the report then shows a failure as well as values.
"$host" poll "$library" --config "$samples/snpx.xml" --protocol snpx --seconds 4 --sim-silent 1 --quiet \
  --report "$work/run.html"
timeout 120 "$browser" --headless --no-sandbox --disable-gpu --hide-scrollbars --user-data-dir="$work/profile" \
  --screenshot="$work/run.png" --window-size=900,1800 "file://$work/run.html" >"$work/chromium.log" 2>&1 ||
  { cat "$work/chromium.log"; exit 1; }
[ -s "$work/run.png" ] || { echo "chromium wrote no screenshot"; cat "$work/chromium.log"; exit 1; }
# The charts' blue lines must be on the page, with text and tables around them.
python3 "$(dirname "$0")/png_check.py" "$work/run.png" 8 0.02 200
