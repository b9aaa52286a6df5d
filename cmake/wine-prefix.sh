#!/usr/bin/env bash
# Makes sure the Wine prefix in WINEPREFIX exists and its wineserver runs.
# NOTE: Wine's own services inherit the standard handles of the process that
# starts them, and a caller reading through pipes would wait for them; so the
# server and its services are started here with /dev/null as their handles.
# The lock's descriptor is closed for them, or the server would hold it.
# Booting the prefix takes about a second, so it is done once per wineserver:
# the server's pid is kept beside the prefix, and a live one means booted.
set -euo pipefail
: "${WINEPREFIX:?}"
export WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$WINEPREFIX"
exec 9>"$WINEPREFIX.lock"
flock 9
booted=$WINEPREFIX.booted

server_of_prefix() {
  local pid
  for pid in $(pgrep -f '^/usr/lib/wine/wineserver' || true); do
    if tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX"; then
      echo "$pid"
      return
    fi
  done
}

if [ -f "$booted" ] && [ -f "$WINEPREFIX/system.reg" ] && [ "$(server_of_prefix)" = "$(cat "$booted")" ]; then
  exit 0
fi
wineserver -p 600 </dev/null >/dev/null 2>&1 9>&- || true
wine wineboot -i </dev/null >/dev/null 2>&1 9>&- || true
server_of_prefix >"$booted"
