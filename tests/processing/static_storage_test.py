#!/usr/bin/python3
"""The core keeps no stream in static storage: over the members of a Release libprocessing.a,
the writable sections (.data, .bss, .tdata, .tbss and their subsections, .data.rel.ro apart,
which is read-only once loaded) add up to at most 4,096 bytes, and no symbol in them is larger.

Usage: static_storage_test.py LIBPROCESSING.a   (exit 0: within the bounds; 1: not, listed)
"""
import re
import subprocess
import sys

LIMIT = 4096
WRITABLE = re.compile(r"^\.(data|bss|tdata|tbss)(\..*)?$")


def writable(section):
    return WRITABLE.match(section) is not None and not section.startswith(".data.rel.ro")


def readelf(*args):
    return subprocess.run(["readelf", "--wide", *args], check=True, capture_output=True, text=True).stdout


def members(text):
    """Each archive member's part of readelf's output, by member name."""
    parts = re.split(r"^File: .*\((.+)\)$", text, flags=re.M)
    return dict(zip(parts[1::2], parts[2::2]))


def main(library):
    sections = members(readelf("--section-headers", library))
    symbols = members(readelf("--syms", library))
    total, found, large = 0, [], []
    for member, text in sections.items():
        names = {}
        for m in re.finditer(r"^\s*\[\s*(\d+)\]\s+(\S+)\s+\S+\s+\S+\s+\S+\s+([0-9a-f]+)", text, flags=re.M):
            index, name, size = int(m.group(1)), m.group(2), int(m.group(3), 16)
            names[index] = name
            if writable(name) and size > 0:
                total += size
                found.append(f"{member} {name} {size}")
        # Sizes of 100,000 and more are printed in hex.
        for m in re.finditer(r"^\s*\d+:\s+[0-9a-f]+\s+(0x[0-9a-f]+|\d+)\s+(OBJECT|TLS)\s+\S+\s+\S+\s+(\d+)\s+(\S+)",
                             symbols.get(member, ""), flags=re.M):
            size, index, name = int(m.group(1), 0), int(m.group(3)), m.group(4)
            if writable(names.get(index, "")) and size > LIMIT:
                large.append(f"{member} {name} ({names[index]}): {size} bytes")
    if not sections:
        print(f"{library}: no members found", file=sys.stderr)
        return 1
    ok = total <= LIMIT and not large
    print(f"{library}: {total} bytes in writable static storage over {len(sections)} members (at most {LIMIT})")
    if not ok:
        for line in found:
            print("  " + line)
        for line in large:
            print(f"  larger than {LIMIT} bytes: {line}")
    return 0 if ok else 1


if __name__ == "__main__":
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    sys.exit(main(sys.argv[1]))
