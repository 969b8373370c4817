#!/bin/sh
# pixelwell-filter draws the same bytes with the scalar kernels forced (PIXELWELL_SCALAR=1),
# capped at SSE2 and at SSSE3/SSE4.1, and with the table chosen for this CPU, for every mode on
# generated clips.
# Usage: filter_tables_test.sh PIXELWELL_FILTER PIXELWELL_CLIP WORKDIR [PICTURES]
# PICTURES defaults to "shapes noise"; the sanitizer build, where each of its runs costs many
# times as much, takes "noise" alone (every size and mode still).
set -eu
filter=$1 clip=$2 work=$3 pictures=${4:-shapes noise}
mkdir -p "$work"
modes=$("$filter" --list-modes | awk '$1 != "-" && $2 != "none" { print $2 }')  # the kernel mode has tests of its own
count=$(echo "$modes" | wc -l)
[ "$count" -eq 23 ] || { echo "expected 23 modes, got $count"; exit 1; }
failed=0
for size in 174x50 37x41 639x7 3x3 1x2; do
    w=${size%x*} h=${size#*x}
    for picture in $pictures; do
        in="$work/$size-$picture.raw"
        "$clip" --width "$w" --height "$h" --frames 11 --picture "$picture" > "$in"
        for mode in $modes; do
            # Chosen at frame 3, so the ring is filled and a reference is taken mid-clip.
            PIXELWELL_SCALAR=1 "$filter" --size "$size" --mode "$mode@3" -- "$in" "$work/scalar.out"
            PIXELWELL_KERNELS=sse2 "$filter" --size "$size" --mode "$mode@3" -- "$in" "$work/sse2.out"
            PIXELWELL_KERNELS=ssse3 "$filter" --size "$size" --mode "$mode@3" -- "$in" "$work/ssse3.out"
            "$filter" --size "$size" --mode "$mode@3" -- "$in" "$work/selected.out"
            for variant in sse2 ssse3 selected; do
                if ! cmp -s "$work/scalar.out" "$work/$variant.out"; then
                    echo "DIFFERENT: $mode $size $picture ($variant vs scalar)"
                    failed=1
                fi
            done
        done
    done
done
[ "$failed" -eq 0 ] && echo "identical output for all $count modes"
exit "$failed"
