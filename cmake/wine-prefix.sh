#!/usr/bin/env bash
# Makes sure the Wine prefix in WINEPREFIX exists and its wineserver runs.
# NOTE: Wine's own services inherit the standard handles of the process that
# starts them, and a caller reading through pipes would wait for them; so the
# server and its services are started here with /dev/null as their handles.
# The lock's descriptor is closed for them, or the server would hold it.
set -euo pipefail
: "${WINEPREFIX:?}"
export WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$WINEPREFIX"
exec 9>"$WINEPREFIX.lock"
flock 9
wineserver -p 600 </dev/null >/dev/null 2>&1 9>&- || true
wine wineboot -i </dev/null >/dev/null 2>&1 9>&- || true
