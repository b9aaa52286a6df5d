#!/usr/bin/env bash
# Shows a real self-update on this machine as a publisher and a user meet it:
# the publisher builds a signed 0.0.3, publishes it with fwstack-publish into
# a folder that nginx serves over HTTPS on loopback and checks the live
# server; fwstack 0.0.2 under Wine then updates itself to it.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
# The trees are build/native and build/windows unless FWSTACK_BUILD_ROOT names another folder.
root=${FWSTACK_BUILD_ROOT:-build}

step() { printf '\n== %s\n' "$*"; }

step "Setting up the machine"
bash tools/setup.sh

step "Building $root/native (publishing tool) and $root/windows (program, test variants)"
cmake -S . -B "$root/native" --no-warn-unused-cli -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/native" --target fwstack-publish >/dev/null
cmake -S . -B "$root/windows" -G Ninja -DCMAKE_BUILD_TYPE=Release -DFWSTACK_TESTS=ON \
      -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake >/dev/null
cmake --build "$root/windows" >/dev/null

step "Making the throwaway PKI (the publisher's certificate, a TLS certificate for localhost) and the signed 0.0.2"
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
downloads=$served/downloads/fwstack
mkdir -p "$program_dir" "$downloads"
cp "$assets/releases/fwstack-0.0.2.exe" "$program_dir/fwstack.exe"
pki=$assets/pki
address=https://localhost:$port/downloads/fwstack/
tool=$root/native/fwstack-publish

step "Starting nginx with deploy/nginx/fwstack.conf on 127.0.0.1:$port, serving $served"
python3 "$top/tests/support/nginx_site.py" "$work/nginx" "$served" "$port" \
    "$pki/localhost.crt" "$pki/localhost.key" >"$work/nginx.out" 2>&1 &
server_pid=$!
for _ in $(seq 100); do
  grep -q listening "$work/nginx.out" 2>/dev/null && break
  kill -0 "$server_pid" 2>/dev/null || { cat "$work/nginx.out" >&2; exit 1; }
  sleep 0.1
done
grep -q listening "$work/nginx.out" || { echo "nginx did not start" >&2; exit 1; }
echo "listening"

step "The publisher builds 0.0.3, signed by the build with the publisher's certificate"
cat "$pki/publisher.crt" "$pki/ca.crt" >"$work/chain.pem"
release_build=$root/release-0.0.3
cmake -S . -B "$release_build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
      -DFWSTACK_VERSION=0.0.3 -DFWSTACK_UPDATE_SERVER=localhost:$port \
      -DFWSTACK_SIGN_CERTS="$work/chain.pem" -DFWSTACK_SIGN_KEY="$pki/publisher.key" >/dev/null
cmake --build "$release_build" --target fwstack | grep -E "signed|error" || true
echo "\$ fwstack-publish verify --ca ca.crt $release_build/fwstack.exe"
"$tool" verify --ca "$pki/ca.crt" "$release_build/fwstack.exe"

step "The publisher publishes it into the folder nginx serves"
echo "\$ fwstack-publish publish --ca ca.crt fwstack.exe $downloads $address"
"$tool" publish --ca "$pki/ca.crt" "$release_build/fwstack.exe" "$downloads" "$address"
sed 's/^/  /' "$downloads/latest.txt"

step "The publisher checks the live server as a client of 0.0.2 would meet it"
echo "\$ fwstack-publish check --ca ca.crt --installed 0.0.2 ${address}latest.txt"
"$tool" check --ca "$pki/ca.crt" --installed 0.0.2 "${address}latest.txt"

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

step "Requests nginx saw"
sed 's/^/  /' "$work/nginx/logs/access.log"
echo
echo "nginx stops now."
