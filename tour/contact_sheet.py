#!/usr/bin/python3
"""Contact sheet of the guided tour: the camera preview and the 23 operations side by side.

usage: contact_sheet.py TOURDIR [--docs DOCSDIR]

Reads TOURDIR/tour.log (window rectangles printed by pixelwell-drive before each screenshot)
and the screenshots, writes TOURDIR/contact-sheet.png. With --docs, also writes the cropped
pictures that the README shows: viewer.png, operations.png, format-error.png, menu.png.
"""
import argparse
import os
import re
import sys

from PIL import Image, ImageDraw, ImageFont

# Menu order, with the menu's own labels.
OPERATIONS = [
    (1401, "通常表示", "normal"), (1409, "グレイ表示", "gray"), (1451, "二値化", "binarise"),
    (1402, "反転表示", "invert"), (1403, "2フレーム加算", "average of 2"),
    (1404, "4フレーム加算", "average of 4"), (1405, "8フレーム加算", "average of 8"),
    (1406, "フレーム差分", "frame difference"), (1407, "単純差分表示", "simple difference"),
    (1408, "差分表示", "difference"), (1411, "ラプラシアン A", "Laplacian A"),
    (1412, "ラプラシアン B", "Laplacian B"), (1413, "ラプラシアン C", "Laplacian C"),
    (1421, "ゾーベル X方向", "Sobel X"), (1422, "ゾーベル Y方向", "Sobel Y"),
    (1431, "ローパスフィルタ 3", "low-pass 3x3"), (1432, "ハイパスフィルタ 3", "high-pass 3x3"),
    (1433, "ローパスフィルタ 5", "low-pass 5x5"), (1434, "ハイパスフィルタ 5", "high-pass 5x5"),
    (1441, "最小値 3x3", "minimum"), (1442, "最大値 3x3", "maximum"),
    (1443, "中間値 3x3", "median"), (1444, "平均値 3x3", "mean"),
]
FONTS = ["/usr/share/fonts/opentype/ipafont-gothic/ipagp.ttf",
         "/usr/share/fonts/truetype/fonts-japanese-gothic.ttf"]
TILE_W = 320
COLUMNS = 6


def font(size):
    for f in FONTS:
        if os.path.exists(f):
            return ImageFont.truetype(f, size)
    return ImageFont.load_default()


def fields(line):
    return {k: v.strip('"') for k, v in re.findall(r'(\w+)=("[^"]*"|\S+)', line)}


def rect(f):
    return int(f["x"]), int(f["y"]), int(f["w"]), int(f["h"])


def client_box(f):
    """The client area in desktop coordinates: frames are equal left, right and bottom."""
    x, y, w, h = rect(f)
    cw, ch = (int(v) for v in f["client"].split("x"))
    border = (w - cw) // 2
    left, top = x + border, y + h - border - ch
    return left, top, left + cw, top + ch


def read_log(tourdir):
    """Each screenshot with the window and box lines printed since the one before."""
    shots, pending = {}, []
    with open(os.path.join(tourdir, "tour.log"), encoding="utf-8") as log:
        for line in log:
            line = line.rstrip("\n")
            if line.startswith("shot "):
                shots[line[5:]] = pending
                pending = []
            else:
                pending.append(line)
    return shots


def find_shot(shots, suffix):
    for name, lines in shots.items():
        if name.endswith(suffix):
            return name, lines
    return None, []


def window(lines, cls):
    found = None
    for line in lines:
        if "window class=" + cls + " " in line:
            found = fields(line[line.index("window "):])
    return found


def tile(img, label1, label2, f1, f2):
    scale = TILE_W / img.width
    img = img.resize((TILE_W, max(1, round(img.height * scale))), Image.LANCZOS)
    t = Image.new("RGB", (TILE_W, img.height + 46), (250, 250, 250))
    t.paste(img, (0, 0))
    d = ImageDraw.Draw(t)
    d.text((6, img.height + 4), label1, font=f1, fill=(20, 20, 20))
    d.text((6, img.height + 26), label2, font=f2, fill=(90, 90, 90))
    return t


def contact_sheet(tourdir, shots):
    f1, f2 = font(17), font(13)
    tiles = []
    for op, ja, en in OPERATIONS:
        name, lines = find_shot(shots, "op-%d.png" % op)
        res = window(lines, "Processing")
        if not name or not res:
            print("contact sheet: no picture of %d" % op, file=sys.stderr)
            continue
        shot = Image.open(os.path.join(tourdir, name)).convert("RGB")
        if not tiles:   # the preview first, from the same moment as the first operation
            ctl = window(lines, "Pixelwell")
            tiles.append(tile(shot.crop(client_box(ctl)), "プレビュー", "camera preview", f1, f2))
        tiles.append(tile(shot.crop(client_box(res)), ja, "%d  %s" % (op, en), f1, f2))
    if not tiles:
        return None
    gap = 6
    th = max(t.height for t in tiles)
    rows = (len(tiles) + COLUMNS - 1) // COLUMNS
    sheet = Image.new("RGB", (COLUMNS * (TILE_W + gap) + gap, rows * (th + gap) + gap), (200, 200, 200))
    for i, t in enumerate(tiles):
        sheet.paste(t, (gap + (i % COLUMNS) * (TILE_W + gap), gap + (i // COLUMNS) * (th + gap)))
    return sheet


def union(*boxes):
    boxes = [b for b in boxes if b]
    return (min(b[0] for b in boxes), min(b[1] for b in boxes),
            max(b[2] for b in boxes), max(b[3] for b in boxes))


def outer(f, pad=0):
    x, y, w, h = rect(f)
    return max(0, x - pad), max(0, y - pad), x + w + pad, y + h + pad


def docs_pictures(tourdir, shots, sheet, docs):
    os.makedirs(docs, exist_ok=True)
    saved = []

    def save(img, name):
        # 256 colours, dithered so that the gradients do not band: a third of the bytes.
        palette = img.quantize(colors=256, method=Image.Quantize.MEDIANCUT)
        img = img.quantize(palette=palette, dither=Image.Dither.FLOYDSTEINBERG)
        img.save(os.path.join(docs, name), optimize=True)
        saved.append(name)

    name, lines = find_shot(shots, "op-1402.png")
    ctl, res = window(lines, "Pixelwell"), window(lines, "Processing")
    if name and ctl and res:
        img = Image.open(os.path.join(tourdir, name)).convert("RGB")
        save(img.crop(union(outer(ctl, 8), outer(res, 8))), "viewer.png")
    name, lines = find_shot(shots, "menu-processing.png")
    ctl = window(shots.get(find_shot(shots, "start.png")[0], []), "Pixelwell")
    if name and ctl:
        img = Image.open(os.path.join(tourdir, name)).convert("RGB")
        save(img.crop((0, 0, int(ctl["w"]) + 8, int(ctl["h"]) + 8)), "menu.png")
    name, lines = find_shot(shots, "refused-rgb16-box.png")
    ctl = window(lines, "Pixelwell") or window(shots.get(name, []), "Pixelwell")
    box = None
    # The box line is printed when the box is closed, right after its screenshot.
    names = list(shots)
    if name and names.index(name) + 1 < len(names):
        for line in shots[names[names.index(name) + 1]]:
            if line.startswith("box "):
                box = fields(line)
    if name and box:
        img = Image.open(os.path.join(tourdir, name)).convert("RGB")
        save(img.crop(outer(box, 24)), "format-error.png")
    if sheet:
        w = 1200
        save(sheet.resize((w, round(sheet.height * w / sheet.width)), Image.LANCZOS), "operations.png")
    return saved


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("tourdir")
    ap.add_argument("--docs")
    a = ap.parse_args()
    shots = read_log(a.tourdir)
    sheet = contact_sheet(a.tourdir, shots)
    if sheet:
        sheet.save(os.path.join(a.tourdir, "contact-sheet.png"), optimize=True)
    if a.docs:
        print("docs: " + ", ".join(docs_pictures(a.tourdir, shots, sheet, a.docs)))
    return 0 if sheet else 1


if __name__ == "__main__":
    sys.exit(main())
