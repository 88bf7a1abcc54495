#!/usr/bin/env bash
# Installs everything both build flavors need on a fresh Debian 12 machine (run as root).
# Safe to run again: apt skips what is already there.
set -euo pipefail

need=()
command -v i686-w64-mingw32-g++-posix >/dev/null 2>&1 || need+=(g++-mingw-w64-i686-posix)
{ command -v wine >/dev/null 2>&1 && dpkg -s wine32:i386 >/dev/null 2>&1; } || need+=(wine wine32:i386)
dpkg -s g++-multilib >/dev/null 2>&1 || need+=(g++-multilib)
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v ninja >/dev/null 2>&1 || need+=(ninja-build)
[ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
command -v git >/dev/null 2>&1 || need+=(git)
# The demo (scripts/demo.sh) needs no more than the build: the rest is for the test command.
if [ "${1:-}" != --build-only ]; then
  command -v clang-format >/dev/null 2>&1 || need+=(clang-format)
  command -v zip >/dev/null 2>&1 || need+=(zip)  # the release package
  command -v socat >/dev/null 2>&1 || need+=(socat)  # the serial line test's pseudo-terminals
  command -v python3 >/dev/null 2>&1 || need+=(python3)
  command -v xmllint >/dev/null 2>&1 || need+=(libxml2-utils)  # the poller report's XML check
  # The poller report's render test; about 1.5 minutes to install on a fresh machine.
  command -v chromium >/dev/null 2>&1 || need+=(chromium)
fi

if [ ${#need[@]} -eq 0 ]; then
  echo "install-deps: everything is present"
  exit 0
fi

echo "install-deps: installing ${need[*]}"
dpkg --add-architecture i386
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
echo "install-deps: done"
