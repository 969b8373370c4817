"""Tiles the last output frame of every mode of pixelwell-filter into one labelled picture."""
import subprocess
import sys

from PIL import Image, ImageDraw

TOOLS, OUT = sys.argv[1], sys.argv[2]
W, H, FRAMES, COLUMNS = 320, 240, 12, 6


def modes():
    listing = subprocess.run([f"{TOOLS}/pixelwell-filter", "--list-modes"], check=True,
                             capture_output=True, text=True).stdout
    return [(int(line.split()[0]), line.split()[1]) for line in listing.splitlines()]


def last_frame(raw, channels, mode):
    frame = raw[-W * H * channels:]
    return Image.frombytes("RGB", (W, H), frame, "raw", mode)


clip = subprocess.run([f"{TOOLS}/pixelwell-clip", "--width", str(W), "--height", str(H),
                       "--frames", str(FRAMES), "--top-down"], check=True, capture_output=True).stdout
tiles = [("picture", last_frame(clip, 3, "BGR"))]
for ident, name in modes():
    if ident == 1400:
        continue
    # The reference modes take frame 0 as their reference; the rest run from the start.
    out = subprocess.run([f"{TOOLS}/pixelwell-filter", "--size", f"{W}x{H}", "--top-down",
                          "--mode", name], input=clip, check=True, capture_output=True).stdout
    tiles.append((f"{ident} {name}", last_frame(out, 4, "BGRX")))

label = 18
rows = (len(tiles) + COLUMNS - 1) // COLUMNS
sheet = Image.new("RGB", (COLUMNS * W, rows * (H + label)), (24, 24, 24))
draw = ImageDraw.Draw(sheet)
for k, (caption, tile) in enumerate(tiles):
    x, y = (k % COLUMNS) * W, (k // COLUMNS) * (H + label)
    sheet.paste(tile, (x, y + label))
    draw.text((x + 4, y + 3), caption, fill=(235, 235, 235))
sheet.save(OUT, optimize=True)
print(f"wrote {OUT}")
