#!/usr/bin/env bash
# Installs what the "fuzz" preset needs on top of scripts/install-deps.sh (run as root): clang
# with its 32-bit libFuzzer and sanitizer runtimes. The test command does not need them.
set -euo pipefail

bash "$(dirname "$0")/install-deps.sh"

need=()
command -v clang++ >/dev/null 2>&1 || need+=(clang)
dpkg -s libclang-rt-dev >/dev/null 2>&1 || need+=(libclang-rt-dev)

if [ ${#need[@]} -eq 0 ]; then
  echo "install-fuzz-deps: everything is present"
  exit 0
fi

echo "install-fuzz-deps: installing ${need[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
echo "install-fuzz-deps: done"
