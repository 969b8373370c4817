#!/usr/bin/env python3
"""Reads back the result view's screenshots (JSON list on stdin: file, id, width, height) and
says per shot whether its size and colours are what the operation draws."""
import json
import sys

from PIL import Image

GRAY = {1409, 1411, 1412, 1413, 1421, 1422, 1431, 1432, 1433, 1434, 1441, 1442, 1443, 1444, 1451}

for shot in json.load(sys.stdin):
    image = Image.open(shot["file"]).convert("RGB")
    problems = []
    if image.size != (shot["width"], shot["height"]):
        problems.append(f"size {image.size[0]}x{image.size[1]}")
    pixels = list(image.getdata())
    if shot["id"] in GRAY and any(r != g or g != b for r, g, b in pixels):
        problems.append("not gray")
    if shot["id"] == 1451 and any(r not in (0, 255) for r, _, _ in pixels):
        problems.append("levels other than 0 and 255")
    if shot["id"] in GRAY and shot["id"] != 1451 and len(set(pixels)) < 2:
        problems.append("one flat colour")
    what = f"screenshot of mode {shot['id']}: {shot['width']}x{shot['height']}"
    print(f"FAIL {what}: {', '.join(problems)}" if problems else f"ok {what}, as the operation draws")
