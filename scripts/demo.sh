#!/usr/bin/env bash
# The main job: builds the module in both flavors and runs the demonstration, natively and as a
# Windows program under Wine. Installs what it needs first (Debian 12, as root).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
jobs=${KELDA_JOBS:-$(nproc)}
for preset in native win32; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs" --target kelda_runtime_demo >/dev/null
done

echo "--- native (Linux i686)"
build/native/kelda_runtime_demo
echo
echo "--- win32 under Wine"
mkdir -p build/win32/wineprefix
KELDA_WINEPREFIX="$PWD/build/win32/wineprefix" cmake/wine-run.sh build/win32/kelda_runtime_demo.exe
