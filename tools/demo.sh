#!/usr/bin/env bash
# Shows a real self-update on this machine: a signed fwstack 0.0.2 under Wine
# updates itself to a signed 0.0.3 from an HTTPS server on loopback.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
# The trees are build/native and build/windows unless FWSTACK_BUILD_ROOT names another folder.
root=${FWSTACK_BUILD_ROOT:-build}

step() { printf '\n== %s\n' "$*"; }

step "Setting up the machine"
bash tools/setup.sh

step "Building $root/native (publishing tool) and $root/windows (program, test variants)"
cmake -S . -B "$root/native" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/native" --target fwstack-publish >/dev/null
cmake -S . -B "$root/windows" -G Ninja -DCMAKE_BUILD_TYPE=Release -DFWSTACK_TESTS=ON \
      -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake >/dev/null
cmake --build "$root/windows" >/dev/null

step "Making the throwaway PKI and the signed releases"
if ctest --test-dir "$root/windows" -R '^assets$' --output-on-failure >"$root/assets.log" 2>&1; then
  echo "done"
else
  cat "$root/assets.log" >&2
  exit 1
fi

build=$(cd "$root/windows" && pwd)
assets=$build/assets
port=47443
export FWSTACK_WINEPREFIX=$build/wineprefix
wine_run=$top/cmake/wine-run.sh

work=$(mktemp -d "${TMPDIR:-/tmp}/fwstack-demo.XXXXXX")
server_pid=
finish() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  WINEPREFIX=$FWSTACK_WINEPREFIX wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap finish EXIT

program_dir=$work/program
served=$work/served
mkdir -p "$program_dir" "$served/downloads/fwstack"
cp "$assets/releases/fwstack-0.0.2.exe" "$program_dir/fwstack.exe"
cp "$assets/releases/fwstack-0.0.3.exe" "$served/downloads/fwstack/fwstack-0.0.3.exe"

step "Publishing 0.0.3: https://localhost:$port/downloads/fwstack/latest.txt"
"$root/native/fwstack-publish" "$served/downloads/fwstack/fwstack-0.0.3.exe" \
    "https://localhost:$port/downloads/fwstack/" "$served/downloads/fwstack/latest.txt"
cat "$served/downloads/fwstack/latest.txt"

step "Starting the HTTPS update server on 127.0.0.1:$port"
python3 -c '
import signal, sys, threading
sys.path.insert(0, sys.argv[1])
from update_server import UpdateServer
server = UpdateServer(sys.argv[2], port=int(sys.argv[3]), tls=(sys.argv[4], sys.argv[5]))
server.start()
open(sys.argv[6], "w").close()
stop = threading.Event()
signal.signal(signal.SIGTERM, lambda *_: stop.set())
stop.wait()
server.stop()
' "$top/tests/support" "$served" "$port" "$assets/pki/localhost.crt" \
  "$assets/pki/localhost.key" "$work/server.ready" &
server_pid=$!
for _ in $(seq 100); do
  [ -e "$work/server.ready" ] && break
  kill -0 "$server_pid" 2>/dev/null || { echo "the server did not start" >&2; exit 1; }
  sleep 0.1
done
[ -e "$work/server.ready" ] || { echo "the server did not start" >&2; exit 1; }
echo "listening"

fwstack() {
  # Output goes through a file: Wine's services must not hold a pipe open.
  local code=0
  "$wine_run" "$program_dir/fwstack.exe" "$@" >"$work/out" 2>"$work/err" </dev/null || code=$?
  sed 's/^/  stdout: /' "$work/out"
  sed 's/^/  stderr: /' "$work/err"
  echo "  exit code: $code"
}

show_folder() { (cd "$program_dir" && ls -l --time-style=+ | tail -n +2 | sed 's/^/  /'); }

step "fwstack --version"
fwstack --version
step "The program folder"
show_folder

step "fwstack update"
fwstack update
step "The program folder after the update"
show_folder

step "fwstack --version (its start removes .old and .latest)"
fwstack --version
step "The program folder afterwards"
show_folder

step "Requests the server saw"
sed 's/^/  /' "$served/requests.log"
echo
echo "The server stops now."
