#!/usr/bin/env bash
# Runs a Windows test program under Wine, headless, in a prefix inside the build tree.
# KELDA_WINEPREFIX is set by ctest; a manual run falls back to a prefix next to the program.
prefix=${KELDA_WINEPREFIX:-$(dirname "$(readlink -f "$1")")/wineprefix}
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
unset WAYLAND_DISPLAY
exec wine "$@"
