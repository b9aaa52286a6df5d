#!/usr/bin/env bash
# Builds fwstack.exe again in a fresh tree and compares it byte for byte.
set -euo pipefail
source_dir=$1 exe=$2 version=$3 server=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake -S "$source_dir" -B "$work" -G Ninja -DCMAKE_BUILD_TYPE=Release -DFWSTACK_TESTS=OFF \
      -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64-x86_64.cmake" \
      -DFWSTACK_VERSION="$version" -DFWSTACK_UPDATE_SERVER="$server" >/dev/null
cmake --build "$work" --target fwstack >/dev/null
# A signed build keeps its linked bytes beside it as fwstack-unsigned.exe.
unsigned=${exe%.exe}-unsigned.exe
[ -f "$unsigned" ] && exe=$unsigned
if cmp "$exe" "$work/fwstack.exe"; then
  echo "identical: $(stat -c %s "$exe") bytes"
else
  echo "the second build differs" >&2
  exit 1
fi
