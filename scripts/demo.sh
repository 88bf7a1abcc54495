#!/usr/bin/env bash
# The main job: builds the plug-in library and the host harness, then lets the harness drive the
# built kelda.dll under Wine exactly as the data-logging host does (and libkelda.so natively):
# for each protocol (CCM master to slave, CCM peer to peer, SNP, SNP-X) it stores a sample
# configuration in an INI file, gives two data sources a simulated GE PLC each, and prints the
# rows the module decodes from the PLCs' answers while it polls them. Then the bench poller
# ("kelda-host poll") polls the built-in simulated PLC through kelda.dll under Wine with the
# sample configuration of each protocol, and leaves a CSV file and a wire trace per protocol in
# build/demo.
# Installs what it needs first (Debian 12, as root): the build tools and Wine, not the test
# command's extras.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh --build-only
jobs=${KELDA_JOBS:-$(nproc)}
for preset in win32 native; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs" --target kelda kelda-host kelda-plcsim >/dev/null
done

echo "--- kelda.dll under Wine, driven by the host harness (build/win32/tools/kelda-host.exe)"
mkdir -p build/win32/wineprefix
# The harness writes the INI file it names at LOAD into its working folder.
(cd build/win32 && KELDA_WINEPREFIX="$PWD/wineprefix" ../../cmake/wine-run.sh tools/kelda-host.exe module/kelda.dll)
echo
echo "--- libkelda.so (Linux i686), the same script"
(cd build/native && KELDA_REGISTRY_DIR="$PWD/registry" KELDA_LOCK_DIR="$PWD/locks" \
  tools/kelda-host module/libkelda.so)

echo
echo "--- the bench poller: kelda.dll under Wine polls the built-in simulated PLC (samples/<protocol>.xml)"
mkdir -p build/demo
for protocol in ccm-ms ccm-peer snp snpx; do
  echo "# $protocol"
  # Paths relative to the working folder: Wine maps it to a drive of its own.
  (cd build/win32 && KELDA_WINEPREFIX="$PWD/wineprefix" ../../cmake/wine-run.sh tools/kelda-host.exe poll \
    module/kelda.dll --config "../../samples/$protocol.xml" --protocol "$protocol" --seconds 4 \
    --csv "../demo/$protocol.csv" --trace "../demo/$protocol.trace")
done
echo
echo "CSV files and wire traces of the bench poller:"
for protocol in ccm-ms ccm-peer snp snpx; do
  echo "  $PWD/build/demo/$protocol.csv"
  echo "  $PWD/build/demo/$protocol.trace"
done
