#!/usr/bin/env python3
"""Writes the seed corpus of the core fuzzer (fuzz/corpus/) in the event encoding that
core_events.cpp reads. Run again after changing that encoding."""
import pathlib
import struct

MODES = [1400, 1401, 1402, 1403, 1404, 1405, 1406, 1407, 1408, 1409, 1411, 1412, 1413, 1421,
         1422, 1431, 1432, 1433, 1434, 1441, 1442, 1443, 1444, 1451]


def geometry(width, height):
    """Width and height of 1..40 each."""
    return bytes([0, 15, width - 1, height - 1])


def geometry_kind(kind, *args):
    return bytes([0, kind, *args])


def mode(identifier):
    return bytes([3, 0, MODES.index(identifier)])


def any_mode(value):
    return bytes([3, 7]) + struct.pack("<i", value)


def frame(kind=6, *args, pattern=1, seed=12345):
    return bytes([8, kind, *args, pattern]) + struct.pack("<I", seed)


def kernel(rows, divisor=1, scale=1, choose=True, refused=False):
    """The kernel mode's kernel (rows as -128..127, read as is for scale 1), chosen or only set."""
    size = len(rows)
    weights = [w for row in rows for w in row]
    data = bytes([3, 8 if choose else 9, 1 if size == 5 else 0, scale]) + bytes(w & 0xFF for w in weights)
    data += struct.pack("<H", divisor - 1)
    return data + (bytes([0 if refused else 1]) if scale == 3 else b"")


RESELECT = bytes([6])


def surface(present):
    return bytes([7, 1 if present else 0])


seeds = {
    "every-mode-7x5": geometry(7, 5) + b"".join(mode(m) + frame() + frame(pattern=2)
                                                 for m in MODES),
    "every-mode-1x1-2x2-3x3": b"".join(
        g + mode(m) + frame(pattern=p)
        for g in (geometry(1, 1), geometry_kind(8, 0, 0), geometry_kind(8, 1, 1))
        for m in MODES for p in (0, 1)),
    "bad-lengths": geometry(16, 9) + mode(1401) + frame(0) + frame(1, 0) + frame(1, 1) +
                   frame(1, 2, 0, 0, 0, 0x80) + frame(2, 0) + frame(3, 7, 0, 0, 0) + frame(4, 9) +
                   frame(5, 0, 0) + frame() + mode(1443) + frame(2, 5) + frame(4, 0),
    "bad-geometry": mode(1409) + geometry_kind(0) + frame() + geometry_kind(3, 1, 4) + frame() +
                    geometry_kind(10, 0, 9) + frame() + geometry_kind(9, 1, 3) + frame() +
                    geometry_kind(1, 3) + frame(),
    "wide-rows": geometry_kind(12, 1, 4) + mode(1434) + frame() + geometry_kind(12, 0, 2) +
                 mode(1406) + frame() + frame(),
    "reference-reselected": geometry(12, 8) + mode(1407) + frame(2, 3) + frame() + RESELECT +
                            frame() + mode(1408) + frame(0) + frame() + RESELECT + frame(4, 1) +
                            frame(),
    "no-surface": geometry(9, 9) + surface(False) + mode(1401) + frame() + mode(1433) + frame() +
                  surface(True) + frame(),
    "odd-identifiers": geometry(5, 4) + any_mode(1410) + frame() + any_mode(1452) + frame() +
                       any_mode(-1) + frame() + any_mode(1399) + frame(),
    "kernel-mode": geometry(17, 11) + kernel([[0, -1, 0], [-1, 5, -1], [0, -1, 0]]) + frame() +
                   kernel([[1, 2, 1], [2, 4, 2], [1, 2, 1]], 16, choose=False) + frame(pattern=2) +
                   kernel([[100, -127, 5, 0, 0]] * 5, 7, scale=3) + frame() +
                   kernel([[127] * 3] * 3, 3, scale=3, refused=True) + frame(pattern=2) +
                   mode(1412) + frame() + any_mode(1460) + frame() +
                   geometry(4, 4) + kernel([[1] * 5] * 5, 25) + frame(),
    "temporal": geometry(11, 6) + b"".join(frame(seed=s) for s in range(9)) + mode(1405) +
                frame() + mode(1404) + frame() + mode(1403) + frame() + mode(1406) + frame(),
}

# Full 1280x1280 frames take a good part of a second each under the sanitizers: they are
# replayed by the tests but kept out of the fuzzing seeds, whose mutations would repeat them.
big_seeds = {
    "full-size-median": geometry_kind(11, 0xA5) + mode(1443) + frame(pattern=1),
    "full-size-every-length": geometry_kind(11, 0xA5) + mode(1401) + frame(2, 0) + frame(4, 0) +
                              frame(5, 0, 0) + frame(),
}

here = pathlib.Path(__file__).resolve().parent
for directory, contents in (("corpus", seeds), ("corpus-big", big_seeds)):
    (here / directory).mkdir(exist_ok=True)
    for name, data in contents.items():
        (here / directory / name).write_bytes(data)
