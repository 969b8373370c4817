#!/bin/sh
# The programs must start on any x86-64 CPU: AVX instructions (VEX or EVEX encoded, all
# mnemonics starting with v) may appear only in the AVX2 kernels, which run only when the
# CPU reports AVX2. Checks every object of the core library, then every function of the
# given executables (so nothing the linker pulled in from elsewhere uses them either).
# Usage: avx_confined.sh OBJDUMP LIBPROCESSING.a EXE...
set -eu
objdump=$1 library=$2
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Functions (by symbol) whose disassembly uses an AVX instruction.
avx_functions() {
  "$objdump" -d "$1" | awk '/^[0-9a-f]+ <.*>:$/ { fn = $2 }
                            /^ +[0-9a-f]+:\t/ && $0 ~ /\tv[a-z0-9]+[ \t]/ { print fn }' | sort -u
}

(cd "$work" && ar x "$library")
status=0
for object in "$work"/*.obj; do
  name=$(basename "$object")
  [ "$name" = kernels_avx2.cpp.obj ] && continue
  found=$(avx_functions "$object")
  if [ -n "$found" ]; then
    echo "$name uses AVX instructions in:"; echo "$found"; status=1
  fi
done
"$objdump" -d "$work/kernels_avx2.cpp.obj" | awk '/^[0-9a-f]+ <.*>:$/ { print $2 }' | sort -u >"$work/allowed"
[ -s "$work/allowed" ] || { echo "no functions found in kernels_avx2.cpp.obj"; exit 1; }
for exe in "$@"; do
  avx_functions "$exe" >"$work/used"
  [ -s "$work/used" ] || { echo "$exe: no AVX2 kernels found"; status=1; }
  outside=$(comm -23 "$work/used" "$work/allowed")
  if [ -n "$outside" ]; then
    echo "$exe uses AVX instructions outside the AVX2 kernels:"; echo "$outside"; status=1
  fi
done
[ "$status" -eq 0 ] && echo "AVX instructions only in the AVX2 kernels"
exit "$status"
