#!/usr/bin/env bash
# Compiler launcher for the program's objects: compiles to assembly, marks each
# function's section byte-aligned, assembles.
#
# MinGW's GCC gives every function (-ffunction-sections) a COFF section that
# the assembler aligns to 16 bytes and pads to a multiple of 16; x86 code needs
# no alignment, and across the program's ~140 functions that padding was ~850
# bytes. GNU as takes a digit in a COFF section's flags as its alignment
# ("x0": code, 2^0), and a .p2align inside still raises it where the compiler
# asks for alignment (the hash's loops). Only the compile line's -c and -o change.
set -euo pipefail
args=()
object=
while (($#)); do
  case $1 in
    -o) object=$2; args+=(-o "$object.s"); shift 2 ;;
    -c) args+=(-S); shift ;;
    *) args+=("$1"); shift ;;
  esac
done
[[ -n $object ]] || { echo "byte-aligned-functions.sh: no -o in the compile line" >&2; exit 2; }
"${args[@]}"
sed -i 's/^\(\t\.section[ \t]\.text\$[^,]*\),"x"$/\1,"x0"/' "$object.s"
"$("${args[0]}" -print-prog-name=as)" -o "$object" "$object.s"
rm -f "$object.s"
