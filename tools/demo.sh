#!/usr/bin/env bash
# Shows a real self-update on this machine as a publisher and a user meet it:
# the publisher builds a 0.0.3 signed with a key held in a PKCS#11 token
# (SoftHSM2), verifies it (revocation included, against the test CA's CRL
# served on loopback), publishes it with fwstack-publish into a folder that
# nginx serves over HTTPS on loopback and checks the live server; fwstack
# 0.0.2 under Wine then updates itself to it.
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
# The 0.0.2 of the assets was built for localhost on the tree's end-to-end port.
port=$(sed -n 's/^FWSTACK_E2E_PORT:STRING=//p' "$root/windows/CMakeCache.txt")
export FWSTACK_WINEPREFIX=$build/wineprefix
wine_run=$top/cmake/wine-run.sh

work=$(mktemp -d "${TMPDIR:-/tmp}/fwstack-demo.XXXXXX")
server_pid=
crl_pid=
finish() {
  local pid
  for pid in $server_pid $crl_pid; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
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

# The test CA's certificates name their CRL at this address.
crl_url=$(openssl x509 -in "$pki/publisher.crt" -noout -ext crlDistributionPoints |
          sed -n 's/^ *URI://p')
crl_port=${crl_url#http://127.0.0.1:}
crl_port=${crl_port%%/*}
step "Serving the test CA's CRL at $crl_url (plain HTTP, as CAs do)"
mkdir -p "$work/crl"
cp "$pki/ca.crl" "$work/crl/"
python3 -u -m http.server --bind 127.0.0.1 --directory "$work/crl" "$crl_port" \
    >"$work/crl.log" 2>&1 &
crl_pid=$!
for _ in $(seq 100); do
  grep -q "Serving HTTP" "$work/crl.log" 2>/dev/null && break
  kill -0 "$crl_pid" 2>/dev/null || { cat "$work/crl.log" >&2; exit 1; }
  sleep 0.1
done
grep -q "Serving HTTP" "$work/crl.log" || { echo "the CRL server did not start" >&2; exit 1; }
echo "serving"

step "The publisher's key goes into a PKCS#11 token (SoftHSM2 here; a USB token or HSM in real life)"
export SOFTHSM2_CONF=$work/softhsm2.conf
mkdir -p "$work/token"
echo "directories.tokendir = $work/token" >"$SOFTHSM2_CONF"
pin=$(openssl rand -hex 8)
printf '%s\n' "$pin" >"$work/pin"
softhsm2-util --init-token --free --label publisher --pin "$pin" --so-pin "$(openssl rand -hex 8)" |
    sed 's/^/  /'
openssl pkcs8 -topk8 -nocrypt -in "$pki/publisher.key" -out "$work/key.p8"
softhsm2-util --import "$work/key.p8" --token publisher --label signkey --id 01 --pin "$pin" |
    sed 's/^/  /'
rm -f "$work/key.p8"
module=$(dpkg -L libsofthsm2 | grep '/softhsm/libsofthsm2\.so$' | head -n 1)

step "The publisher builds 0.0.3, signed by the build with the key in the token"
cat "$pki/publisher.crt" "$pki/ca.crt" >"$work/chain.pem"
release_build=$root/release-0.0.3
cmake -S . -B "$release_build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
      -DFWSTACK_VERSION=0.0.3 -DFWSTACK_UPDATE_SERVER=localhost:$port \
      -DFWSTACK_SIGN_PKCS12= -DFWSTACK_SIGN_PKCS11_MODULE="$module" \
      -DFWSTACK_SIGN_KEY:STRING="pkcs11:token=publisher;object=signkey;type=private" \
      -DFWSTACK_SIGN_CERTS="$work/chain.pem" -DFWSTACK_SIGN_PASSWORD_FILE="$work/pin" >/dev/null
cmake --build "$release_build" --target fwstack </dev/null | grep -E "signed|error" || true
echo "\$ fwstack-publish verify --ca ca.crt $release_build/fwstack.exe"
"$tool" verify --ca "$pki/ca.crt" "$release_build/fwstack.exe"
echo "\$ fwstack-publish verify --ca ca.crt fwstack-0.0.3-revoked.exe   # signed with the revoked certificate"
"$tool" verify --ca "$pki/ca.crt" "$assets/releases/fwstack-0.0.3-revoked.exe" 2>&1 |
    sed 's/^/  /' || true

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
step "Requests the CRL server saw"
grep 'GET' "$work/crl.log" | sed 's/^/  /'
echo "  the PIN appears in $(grep -rlF "$pin" "$release_build" | wc -l) files of $release_build"
echo
echo "nginx and the CRL server stop now."
