#!/usr/bin/python3
"""Checks a tour screenshot without eyes: is a window's client area painted with a gray picture?

usage: check_picture.py SHOT.png "window class=Processing ... x=.. y=.. w=.. h=.. client=WxH" gray

Exit 0 when at least 95% of the client's pixels have R == G == B and the picture is not flat
(a window left white, or painted in one colour, fails).
"""
import re
import sys

from PIL import Image


def main():
    shot, line, kind = sys.argv[1], sys.argv[2], sys.argv[3]
    f = dict(re.findall(r"(\w+)=(\S+)", line))
    x, y, w, h = (int(f[k]) for k in ("x", "y", "w", "h"))
    cw, ch = (int(v) for v in f["client"].split("x"))
    border = (w - cw) // 2
    left, top = x + border, y + h - border - ch
    img = Image.open(shot).convert("RGB").crop((left, top, left + cw, top + ch))
    pixels = list(img.getdata())
    gray = sum(1 for r, g, b in pixels if r == g == b) / len(pixels)
    levels = len(set(r for r, _, _ in pixels))
    print("%s: %dx%d at %d,%d, %.1f%% gray pixels, %d levels" % (kind, cw, ch, left, top, 100 * gray, levels))
    return 0 if kind == "gray" and gray >= 0.95 and levels >= 16 else 1


if __name__ == "__main__":
    sys.exit(main())
