#!/usr/bin/env bash
# Runs a Windows program under the project's 32-bit Wine prefix, creating the prefix on first
# use. Used as CMAKE_CROSSCOMPILING_EMULATOR by the windows-i686 preset and by the GUI check.
# VELTRANE_WINEPREFIX overrides where the prefix lives.
set -euo pipefail
export WINEPREFIX=${VELTRANE_WINEPREFIX:-${HOME:-/root}/.wine-veltrane32}
export WINEARCH=win32
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko download prompts: the programs need neither.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml="}
# --wait: only wait until the prefix's wineserver (and the programs it serves) has ended.
if [ "${1:-}" = "--wait" ]; then
  exec wineserver --wait
fi
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot --init >/dev/null 2>&1 || true
  wineserver --wait || true
fi
exec wine "$@"
