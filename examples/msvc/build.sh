#!/bin/sh
# hello-msvc built the MSVC way, with no C runtime, on Linux with LLVM's
# MSVC-compatible tools (Debian: clang-tools-14, lld, llvm, osslsigncode);
# README.md gives the same steps with Microsoft's cl, rc, link and signtool.
#
#   build.sh PREFIX OUT    PREFIX: where the fwstack SDK is installed
#
# From the environment: HELLO_VERSION (X.Y.Z, 1.0.0), HELLO_UPDATE_ADDRESS,
# HELLO_SIGN_CERTS and HELLO_SIGN_KEY (PEM chain and key; without them the
# program stays unsigned), HELLO_PLAIN=1 to build hello-msvc-plain too (the
# program without its update command, for measuring what the engine adds).
set -eu
prefix=$(cd "$1" && pwd)
mkdir -p "$2"
out=$(cd "$2" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
version=${HELLO_VERSION:-1.0.0}
address=${HELLO_UPDATE_ADDRESS:-https://updates.example.com/downloads/hello-msvc/latest.txt}
# MinGW's headers and import library stand in for the Windows SDK's: rc
# takes winver.h from them, the linker kernel32's imports.
mingw=/usr/x86_64-w64-mingw32

# The program's identity, once: the settings and the version resource.
IFS=. read -r major minor patch <<END
$version
END
cat >"$out/fwstack_program.h" <<END
#define FWSTACK_PROGRAM_NAME "hello-msvc"
#define FWSTACK_PROGRAM_VERSION "$version"
#define FWSTACK_PROGRAM_VERSION_MAJOR $major
#define FWSTACK_PROGRAM_VERSION_MINOR $minor
#define FWSTACK_PROGRAM_VERSION_PATCH $patch
#define FWSTACK_PROGRAM_PUBLISHER "Example Tools Ltd."
#define FWSTACK_PROGRAM_PRODUCT "Hello MSVC"
#define FWSTACK_PROGRAM_DESCRIPTION "Hello MSVC"
#define FWSTACK_PROGRAM_FILE_NAME "hello-msvc.exe"
#define FWSTACK_PROGRAM_UPDATE_ADDRESS "$address"
END
# "--": llvm-rc reads a path that starts with "/" as an option (/C...).
llvm-rc /nologo /I "$out" /I "$mingw/include" /FO "$out/version.res" \
        -- "$prefix/share/fwstack_update/fwstack_program.rc"

# /GS- and /nodefaultlib: no security cookie and no C runtime to link.
build() {  # name, extra compiler option, engine library
  clang-cl-14 --target=x86_64-pc-windows-msvc /nologo /O2 /GS- /W4 /WX $2 \
      /I "$prefix/include" /I "$out" /c /Fo"$out/$1.obj" -- "$here/hello.c"
  lld-link /nologo /subsystem:console /entry:HelloStart /nodefaultlib /opt:ref \
      /out:"$out/$1-unsigned.exe" "$out/$1.obj" "$out/version.res" $3 "$mingw/lib/libkernel32.a"
}
build hello-msvc "" "$prefix/lib/fwstack_update.lib"
[ "${HELLO_PLAIN:-0}" = 0 ] || build hello-msvc-plain /DHELLO_WITHOUT_UPDATE ""

for name in hello-msvc hello-msvc-plain; do
  [ -e "$out/$name-unsigned.exe" ] || continue
  if [ -n "${HELLO_SIGN_CERTS:-}" ]; then
    rm -f "$out/$name.exe"
    osslsigncode sign -certs "$HELLO_SIGN_CERTS" -key "$HELLO_SIGN_KEY" -h sha256 \
        -n "Hello MSVC" -in "$out/$name-unsigned.exe" -out "$out/$name.exe" >/dev/null
  else
    cp "$out/$name-unsigned.exe" "$out/$name.exe"
  fi
done
