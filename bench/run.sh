#!/usr/bin/env bash
# The performance figures of fwstack, each against a floor measured in the same
# run: program size, start-up, SHA-256, the update of a 64 MiB release, the
# memory of an update, and the capacity of the update server (origin and edge).
# Prints a table; asserts nothing. Takes a few minutes.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

bash tools/setup.sh
packages=(nginx libssl-dev time)
missing=()
for p in "${packages[@]}"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi
bash tools/build.sh >/dev/null
ctest --test-dir build/windows -R '^assets$' >/dev/null

win=build/windows
assets=$win/assets
out=$top/build/bench
# The port the test variants of the program talk to: the tree's end-to-end port.
port=$(sed -n 's/^FWSTACK_E2E_PORT:STRING=//p' "$win/CMakeCache.txt")
port=${port:-47443}
rm -rf "$out"
mkdir -p "$out/served/downloads/fwstack" "$out/program" "$out/nginx"
export WINEPREFIX=$top/$win/wineprefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
bash cmake/wine-prefix.sh

# The floors and the hash bench.
x86_64-w64-mingw32-g++ -O2 -ffreestanding -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables \
    -fno-stack-protector -nostdlib -e EntryPoint -Wl,--subsystem,console -Wl,--no-insert-timestamp \
    -s bench/floor_start.cpp -lkernel32 -o "$out/floor_start.exe"
x86_64-w64-mingw32-g++-posix -O2 -static -municode bench/floor_update.cpp -lwinhttp -lwintrust \
    -o "$out/floor_update.exe"
x86_64-w64-mingw32-g++-posix -O2 -static -municode -I. bench/progress_update.cpp \
    "$win/libfwstack_update.a" -o "$out/progress_update.exe"
# The hash natively with the flags the product compiles it with (written by
# the Windows build); only the ABI differs (System V here, Win64 there).
read -r -a hash_flags <<<"$(sed -n 's/^hash //p' "$win/compile-flags.txt")"
read -r -a product_flags <<<"$(sed -n 's/^product //p' "$win/compile-flags.txt")"
g++ -std=c++20 -I. "${hash_flags[@]}" -c verify/sha256_compress.cpp -o "$out/sha256_compress.o"
for f in verify/sha256 verify/sha256_engine base/bytes; do
  g++ -std=c++20 -I. "${product_flags[@]}" -c $f.cpp -o "$out/$(basename $f).o"
done
g++ -std=c++20 -O2 -I. bench/sha256_speed.cpp "$out/sha256_compress.o" "$out/sha256.o" "$out/sha256_engine.o" "$out/bytes.o" -lcrypto \
    -o "$out/sha256_speed"

section() { printf '\n== %s\n' "$*"; }
header() { printf '%-38s %9s %9s %9s\n' "" median min max; }

section "Size of fwstack.exe (unsigned)"
printf '%-38s %9d bytes\n' "file" "$(stat -c %s "$win/fwstack.exe")"
# The engine alone as a DLL, beside it (same flags, the header's exports).
printf '%-38s %9d bytes (limit 24576 unsigned)\n' "fwstack_update.dll" "$(stat -c %s "$win/fwstack_update.dll")"
printf '%-38s %9s\n' "fwstack_update.dll imports" "$(x86_64-w64-mingw32-objdump -p "$win/fwstack_update.dll" |
  sed -n 's/.*DLL Name: //p' | tr '\n' ' ')"
x86_64-w64-mingw32-objdump -h "$win/fwstack.exe" | while read -r index name size _; do
  if [[ $index =~ ^[0-9]+$ ]]; then printf '%-38s %9d bytes\n' "  section $name" "$((16#$size))"; fi
done
printf '%-38s %9s\n' "imports" "$(x86_64-w64-mingw32-objdump -p "$win/fwstack.exe" |
  sed -n 's/.*DLL Name: //p' | tr '\n' ' ')"
echo "by object (from the link map; sections are padded to 512 bytes in the file):"
python3 bench/map_sizes.py "$win/fwstack.exe.map"

section "Stack of one call of the engine (GCC's -fcallgraph-info=su over the library's objects)"
# The library's own compile commands, each with the stack-usage call graph
# added; the bound is the largest frame sum along any call path from an
# fwstack_* function (bench/stack_bound.py says how it counts).
stack=$out/stack
mkdir -p "$stack"
(cd "$win" && ninja -t commands fwstack_update) | grep -- ' -c ' | grep 'fwstack_update.dir/' |
while read -r line; do
  obj=$(echo "$line" | sed -n 's/.* -o \([^ ]*\) .*/\1/p')
  name=$(echo "$obj" | sed 's|.*fwstack_update.dir/||; s|[/.]|_|g')
  # The compiler alone, without the launcher that byte-aligns the functions
  # (the frames are the same).
  (cd "$win" && eval "$(echo "$line" | sed -e "s| -o [^ ]*| -o $stack/$name.obj|" \
      -e 's|^[^ ]*byte-aligned-functions\.sh ||' \
      -e 's| -MD -MT [^ ]* -MF [^ ]*||') -fstack-usage -fcallgraph-info=su")
done
python3 bench/stack_bound.py "$stack"/*.ci | sed 's/^/  /'
printf '%-38s %9s bytes\n' "FWSTACK_STACK_BYTES in the header" \
  "$(sed -n 's/^#define FWSTACK_STACK_BYTES \([0-9]*\).*/\1/p' api/fwstack_update.h)"
printf '%-38s %9d bytes\n' "a thread reservation it must fit" 131072

# What the engine adds to an example: the example as a user builds it, against
# the installed package with its own version resource, beside a floor built
# in the same tree.   example_bytes FOLDER PROGRAM FLOOR FLOOR-LABEL CMAKE-OPTION
example_bytes() {
  if [ -z "$(find "$out/prefix" -name 'fwstack_update*onfig.cmake' -print -quit)" ]; then
    echo "  (not measured: this tree installs no fwstack_update package)"
    return
  fi
  cmake -S "examples/$1" -B "$out/example-$1" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" -DCMAKE_PREFIX_PATH="$out/prefix" \
        "$5" >/dev/null
  cmake --build "$out/example-$1" >/dev/null
  added_bytes "$out/example-$1" "$2" "$3" "$4"
}
# added_bytes FOLDER PROGRAM FLOOR FLOOR-LABEL: the two files and their difference.
added_bytes() {
  local with_engine without_engine
  with_engine=$(stat -c %s "$1/$2.exe")
  without_engine=$(stat -c %s "$1/$3.exe")
  printf '%-38s %9d bytes\n' "$2.exe with the engine" "$with_engine"
  printf '%-38s %9d bytes\n' "$3.exe $4" "$without_engine"
  printf '%-38s %9d bytes (goal: at most 24576)\n' "added by the engine" "$((with_engine - without_engine))"
}
mkdir -p "$out/prefix"
cmake --install "$win" --prefix "$out/prefix" >/dev/null

section "What the engine adds to a C program: examples/c with and without its update command (unsigned)"
# hello-c-plain leaves the engine out.
example_bytes c hello-c hello-c-plain "without it" -DHELLO_PLAIN=ON

section "What the engine adds to an MSVC-mode C program: examples/msvc (clang-cl, lld-link, no C runtime) with and without its update command (unsigned)"
# The same library archive, as fwstack_update.lib; lld-link has no link-time
# optimisation of GCC's objects, only /opt:ref of unused sections.
HELLO_PLAIN=1 sh examples/msvc/build.sh "$out/prefix" "$out/example-msvc" >/dev/null
added_bytes "$out/example-msvc" hello-msvc hello-msvc-plain "without it"
printf '%-38s %9d bytes\n' "fwstack.exe, for comparison" "$(stat -c %s "$win/fwstack.exe")"

section "What the engine adds to a window program: examples/gui against the same program with empty engine calls (unsigned)"
# The floor, hello-gui-plain, is the same gui.c built with bench/engine_stand_in.c
# (each fwstack_* call an empty function) in place of the library: the
# difference is the engine alone, less a few bytes of stand-ins.
example_bytes gui hello-gui hello-gui-plain "with stand-ins" \
    -DHELLO_ENGINE_STAND_IN="$top/bench/engine_stand_in.c"

section "Start: fwstack --version against a CRT-free kernel32-only program (warm prefix)"
header
python3 bench/interleave.py --pairs 30 --label "fwstack --version" --label "floor" -- \
    "wine $win/fwstack.exe --version" "wine $out/floor_start.exe"

section "SHA-256 in one process with OpenSSL EVP: 9 rounds of 64 MiB, taking turns every 256 KiB"
header
# OPENSSL_ia32cap masks: the SHA extensions (EBX bit 29 of leaf 7); and for
# the scalar code also SSSE3 and AVX (ECX bits 9 and 28 of leaf 1) and AVX2.
"$out/sha256_speed" extensions
OPENSSL_ia32cap=":~0x20000000" "$out/sha256_speed" portable 9 "openssl without SHA ext."
OPENSSL_ia32cap="~0x1000020000000000:~0x20000020" "$out/sha256_speed" portable 9 "openssl scalar"

# Releases of 64 MiB and 1 MiB: the 0.0.3 test variant with a bulk section
# (placed after the last section, so the image stays valid), signed by the
# test publisher.
make_release() {  # bytes output
  head -c "$1" /dev/urandom >"$out/bulk"
  local after
  local index name size vma end=0
  while read -r index name size vma _; do
    if [[ $index =~ ^[0-9]+$ ]]; then end=$((16#$vma + 16#$size)); fi
  done < <(x86_64-w64-mingw32-objdump -h "$win/variants/0.0.3/fwstack.exe")
  after=$(printf '0x%x' $(((end + 4095) / 4096 * 4096)))
  x86_64-w64-mingw32-objcopy --add-section .bulk="$out/bulk" \
      --set-section-flags .bulk=contents,readonly,data --change-section-address .bulk="$after" \
      "$win/variants/0.0.3/fwstack.exe" "$out/unsigned.exe"
  osslsigncode sign -certs "$assets/pki/publisher.crt" -key "$assets/pki/publisher.key" -h sha256 \
      -n Ferrowstack -in "$out/unsigned.exe" -out "$2" >/dev/null
  rm -f "$out/bulk" "$out/unsigned.exe"
}
served=$out/served/downloads/fwstack
make_release $((64 * 1048576 - 65536)) "$served/fwstack-big.exe"
make_release 1048576 "$served/fwstack-small.exe"
document() {  # file
  printf 'fwstack-latest 1\nversion 0.0.3\nfile %s\nsha256 %s\nurl https://localhost:%s/downloads/fwstack/%s\n' \
    "$1" "$(sha256sum "$served/$1" | cut -d' ' -f1)" "$port" "$1"
}
document fwstack-big.exe >"$out/big.txt"
document fwstack-small.exe >"$out/small.txt"
cp "$out/big.txt" "$served/latest.txt"

cat >"$out/nginx/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
pid $out/nginx/nginx.pid;
error_log $out/nginx/error.log;
events { worker_connections 64; }
http {
  access_log off;
  sendfile on;
  server {
    listen 127.0.0.1:$port ssl;
    server_name localhost;
    ssl_certificate $top/$assets/pki/localhost.crt;
    ssl_certificate_key $top/$assets/pki/localhost.key;
    root $out/served;
  }
}
CONF
nginx -p "$out/nginx" -c "$out/nginx/nginx.conf" &
nginx_pid=$!
trap 'kill $nginx_pid 2>/dev/null || true' EXIT
sleep 1

program=$out/program/fwstack.exe
reset="rm -f $out/program/*; cp $assets/releases/fwstack-0.0.2.exe $program"
section "Update of a 64 MiB signed release from nginx over loopback HTTPS, against a floor program"
echo "(the floor: the same WinHTTP GET of the document, the same download into a file, WinVerifyTrust twice;"
echo " NOTE: Wine's WinVerifyTrust starts explorer.exe /desktop once per wineserver; the warm-up runs take it)"
header
windows_folder="Z:$(echo "$out/program" | tr / '\\')"
python3 bench/interleave.py --pairs 5 --prepare "$reset" --label "fwstack update" --label "floor" -- \
    "wine $program update" \
    "wine $out/floor_update.exe https://localhost:$port/downloads/fwstack/latest.txt https://localhost:$port/downloads/fwstack/fwstack-big.exe $windows_folder\\floor.download"

section "The progress callback's cost on the same update: a host with a counting callback against one without"
header
python3 bench/interleave.py --pairs 5 --prepare "$reset" --label "with a callback" --label "without" -- \
    "wine $out/progress_update.exe Z:$out/program/fwstack.exe https://localhost:$port/downloads/fwstack/latest.txt with" \
    "wine $out/progress_update.exe Z:$out/program/fwstack.exe https://localhost:$port/downloads/fwstack/latest.txt without"

section "The publisher key: what its check adds to a host, and the time of a keyed check"
# The same small host twice, the second linked with the program's null check
# (app/no_key_check_win32.cpp) ahead of the library, as fwstack.exe is: the
# difference is the signature code a host takes with the library.
for variant in with without; do
  extra=()
  [ "$variant" = without ] && extra=(app/no_key_check_win32.cpp)
  x86_64-w64-mingw32-g++-posix -O2 -s -static -municode -I. -DUNICODE -D_UNICODE bench/key_check.cpp \
      "${extra[@]}" "$win/libfwstack_update.a" -o "$out/key_check_$variant.exe"
done
key_with=$(stat -c %s "$out/key_check_with.exe")
key_without=$(stat -c %s "$out/key_check_without.exe")
printf '%-38s %9d bytes\n' "host with the key check" "$key_with"
printf '%-38s %9d bytes\n' "host without it" "$key_without"
printf '%-38s %9d bytes\n' "added by the key check" "$((key_with - key_without))"
sections() {  # the bytes of the image's sections before their padding
  local index name size total=0
  while read -r index name size _; do
    if [[ $index =~ ^[0-9]+$ ]]; then total=$((total + 16#$size)); fi
  done < <(x86_64-w64-mingw32-objdump -h "$1")
  echo "$total"
}
printf '%-38s %9d bytes\n' "  of it in sections, unpadded" \
  "$(($(sections "$out/key_check_with.exe") - $(sections "$out/key_check_without.exe")))"
# A document for fwstack-small.exe with a tail signed by a key made here.
openssl ecparam -name prime256v1 -genkey -noout -out "$out/publisher-key.pem"
document fwstack-small.exe >"$served/signed.txt"
printf 'expires %s\n' "$(date -u -d '+1 day' +%Y-%m-%dT%H:%M:%SZ)" >>"$served/signed.txt"
openssl dgst -sha256 -sign "$out/publisher-key.pem" -out "$out/signed.der" "$served/signed.txt"
key_hex=$(python3 - "$out/publisher-key.pem" "$out/signed.der" "$served/signed.txt" <<'PY'
import sys
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric.utils import decode_dss_signature
key = serialization.load_pem_private_key(open(sys.argv[1], "rb").read(), None).public_key()
r, s = decode_dss_signature(open(sys.argv[2], "rb").read())
open(sys.argv[3], "a").write("signature %064x%064x\n" % (r, s))
n = key.public_numbers()
print("%064x%064x" % (n.x, n.y))
PY
)
eval "$reset"
echo "(one process, 100 pairs taking turns, over loopback HTTPS; the check fetches the document and writes nothing)"
header
wine "$out/key_check_with.exe" "Z:$program" "https://localhost:$port/downloads/fwstack/signed.txt" \
    "$key_hex" 100

section "Peak resident memory of an update (the Windows process, /usr/bin/time)"
peak() {  # document
  cp "$out/$1" "$served/latest.txt"
  local runs=()
  for _ in 1 2 3; do
    eval "$reset"
    runs+=("$(/usr/bin/time -f %M wine "$program" update 2>&1 >/dev/null | tail -1)")
  done
  printf '%s\n' "${runs[@]}" | sort -n | sed -n 2p
}
big=$(peak big.txt)
small=$(peak small.txt)
printf '%-38s %9d KiB\n' "update of 64 MiB (median of 3)" "$big"
printf '%-38s %9d KiB\n' "update of 1 MiB (median of 3)" "$small"
printf '%-38s %9d KiB\n' "difference" "$((big - small))"

section "Capacity of the update server over loopback HTTPS: the origin and the caching edge (deploy/nginx/)"
python3 bench/capacity.py "$out/capacity" "$assets/pki/localhost.crt" "$assets/pki/localhost.key" \
    "$assets/pki/ca.crt" "$assets/releases/fwstack-0.0.3.exe"
