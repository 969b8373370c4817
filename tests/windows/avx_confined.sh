#!/bin/sh
# The programs must start on any x86-64 CPU: instructions beyond SSE2 may appear only in the
# kernel files compiled for them, which run only when the CPU reports them. AVX instructions
# (VEX or EVEX encoded, all mnemonics starting with v) only in the AVX2 kernels; SSSE3 and
# SSE4.1 instructions only in the SSSE3 kernels. Checks every object of the core library,
# then every function of the given executables (so nothing the linker pulled in from
# elsewhere uses them either).
# Usage: avx_confined.sh OBJDUMP LIBPROCESSING.a EXE...
set -eu
objdump=$1 library=$2
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

avx='v[a-z0-9]+'
# SSSE3, then SSE4.1 (legacy encoded; pextrw and pinsrw are SSE2 and left out).
ssse3='pshufb|phaddw|phaddd|phaddsw|phsubw|phsubd|phsubsw|pmaddubsw|pmulhrsw|psign[bwd]|pabs[bwd]|palignr'
ssse3="$ssse3|pblendvb|pblendw|blendv?p[sd]|dpp[sd]|extractps|insertps|movntdqa|mpsadbw|packusdw|pcmpeqq"
ssse3="$ssse3|pextr[bdq]|pinsr[bdq]|phminposuw|pmax(sb|sd|ud|uw)|pmin(sb|sd|ud|uw)|pmov[sz]x[bwd][wdq]"
ssse3="$ssse3|pmuldq|pmulld|ptest|round[ps][sd]"

# Functions (by symbol) whose disassembly uses an instruction matching the pattern.
functions_using() {
  "$objdump" -d "$2" | awk -v pattern="^($1)\$" '
    /^[0-9a-f]+ <.*>:$/ { fn = $2 }
    /^ +[0-9a-f]+:\t/ {
      n = split($0, field, "\t")
      for (k = 1; k <= n; ++k) if (field[k] !~ /^ *[0-9a-f]+:$/ && field[k] !~ /^ *([0-9a-f][0-9a-f] ?)+ *$/) break
      split(field[k], word, " ")
      if (word[1] ~ pattern) print fn
    }' | sort -u
}

# Functions defined in an object.
functions_of() {
  "$objdump" -d "$1" | awk '/^[0-9a-f]+ <.*>:$/ { print $2 }' | sort -u
}

mkdir "$work/objects" "$work/lists"
(cd "$work/objects" && ar x "$library")
status=0
# The set's name, its instructions, the one object allowed to use them.
check_objects() {
  name=$1 pattern=$2 owner=$3
  [ -f "$work/objects/$owner" ] || { echo "$owner not found in $library"; status=1; return; }
  : >"$work/lists/elsewhere"
  for object in "$work"/objects/*.obj; do
    [ "$(basename "$object")" = "$owner" ] && continue
    found=$(functions_using "$pattern" "$object")
    if [ -n "$found" ]; then
      echo "$(basename "$object") uses $name instructions in:"; echo "$found"; status=1
    fi
    functions_of "$object" | grep -v _GLOBAL__N_ >>"$work/lists/elsewhere" || true
  done
  # Allowed: the owner's functions, but not the shared ones (inline functions and templates)
  # that other objects define too: the linker keeps one copy, maybe this one, for all callers.
  # Names in an anonymous namespace are each object's own, even where they repeat.
  sort -u "$work/lists/elsewhere" -o "$work/lists/elsewhere"
  functions_of "$work/objects/$owner" | comm -23 - "$work/lists/elsewhere" >"$work/lists/allowed-$owner"
  [ -s "$work/lists/allowed-$owner" ] || { echo "no functions found in $owner"; status=1; }
}
check_executables() {
  name=$1 pattern=$2 owner=$3
  for exe in $executables; do
    functions_using "$pattern" "$exe" >"$work/lists/used"
    [ -s "$work/lists/used" ] || { echo "$exe: no $name kernels found"; status=1; }
    outside=$(comm -23 "$work/lists/used" "$work/lists/allowed-$owner")
    if [ -n "$outside" ]; then
      echo "$exe uses $name instructions outside the $name kernels:"; echo "$outside"; status=1
    fi
  done
}
executables="$*"
check_objects AVX "$avx" kernels_avx2.cpp.obj
check_objects SSSE3/SSE4.1 "$ssse3" kernels_ssse3.cpp.obj
check_executables AVX "$avx" kernels_avx2.cpp.obj
check_executables SSSE3/SSE4.1 "$ssse3" kernels_ssse3.cpp.obj
[ "$status" -eq 0 ] && echo "AVX instructions only in the AVX2 kernels, SSSE3/SSE4.1 only in the SSSE3 kernels"
exit "$status"
