#!/usr/bin/env bash
# The engine's sources compile with clang as with GCC, warning-free under the
# tree's warnings: the portable core natively, and the whole library (core,
# Win32 layer and front end) for 64-bit Windows with the library's own
# freestanding flags. Compile only, one source after the other.
#   clang_compile.sh SOURCE_DIR
set -euo pipefail
cd "$1"
warnings=(-Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion -Werror)
windows=(--target=x86_64-w64-mingw32 -ffreestanding -fno-exceptions -fno-rtti
         -fno-asynchronous-unwind-tables -fno-stack-protector -fno-strict-aliasing
         -ffunction-sections -mcmodel=small -Oz -DUNICODE -D_UNICODE -DWIN32_LEAN_AND_MEAN)
failed=0
count=0
for source in api/*.cpp app/*.cpp base/*.cpp engine/*.cpp files/*.cpp info/*.cpp net/*.cpp \
              platform/*.cpp verify/*.cpp; do
  count=$((count + 1))
  clang++ -std=c++20 -I. "${warnings[@]}" "${windows[@]}" -c "$source" -o /dev/null ||
    { echo "for Windows: $source" >&2; failed=1; }
  # The Win32 layer and the program's entry belong to Windows alone.
  case $source in *_win32.cpp) continue ;; esac
  clang++ -std=c++20 -I. "${warnings[@]}" -fsyntax-only "$source" ||
    { echo "natively: $source" >&2; failed=1; }
done
[ "$count" -gt 40 ] || { echo "only $count sources found" >&2; exit 1; }
exit $failed
