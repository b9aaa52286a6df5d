#!/usr/bin/env bash
# Runs a Windows program under Wine in the build tree's private prefix.
# The prefix is the one named by FWSTACK_WINEPREFIX, or <cwd-of-build>/wineprefix.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
export WINEPREFIX=${FWSTACK_WINEPREFIX:-${WINEPREFIX:-$PWD/wineprefix}}
# FWSTACK_DLLOVERRIDES adds to Wine's DLL overrides and FWSTACK_WINEDEBUG
# replaces its debug channels, for one run.
export WINEARCH=win64 WINEDEBUG=${FWSTACK_WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml=${FWSTACK_DLLOVERRIDES:+;$FWSTACK_DLLOVERRIDES}"
"$here/wine-prefix.sh" >/dev/null 2>&1 </dev/null
exec wine "$@"
