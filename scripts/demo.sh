#!/usr/bin/env bash
# The main job: builds the plug-in library and the host harness, then lets the harness drive the
# built kelda.dll under Wine exactly as the data-logging host does (and libkelda.so natively):
# module information, LOAD / SET-STATE / ITEMS, module parameters, a data call, the fetched log.
# Installs what it needs first (Debian 12, as root).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
jobs=${KELDA_JOBS:-$(nproc)}
for preset in win32 native; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs" --target kelda kelda-host >/dev/null
done

echo "--- kelda.dll under Wine, driven by the host harness (build/win32/tools/kelda-host.exe)"
mkdir -p build/win32/wineprefix
KELDA_WINEPREFIX="$PWD/build/win32/wineprefix" cmake/wine-run.sh build/win32/tools/kelda-host.exe build/win32/module/kelda.dll
echo
echo "--- libkelda.so (Linux i686), the same script"
build/native/tools/kelda-host build/native/module/libkelda.so
