"""Writes the program icon: one 32x32 image, 24-bit colour. Usage: make_icon.py OUT.ico|OUT.png

An .ico for the Windows program, a .png for the Linux desktop entry. The picture: a camera lens (dark ring, blue glass with a highlight) on a light frame."""
import struct
import sys
import zlib

W = H = 32


def pixel(x, y):
    """(r, g, b) of the pixel at column x, row y counted from the top."""
    dx, dy = x - 15.5, y - 16.5
    d2 = dx * dx + dy * dy
    if x < 2 or x >= 30 or y < 5 or y >= 29:
        return (235, 235, 235) if 9 <= x < 17 and 2 <= y < 5 else (30, 30, 30)
    if d2 <= 3.2 ** 2 and dx < 0 and dy < 0:
        return (250, 250, 255)                     # highlight
    if d2 <= 7.5 ** 2:
        return (20, 80 + int(d2 * 2), 200)         # glass
    if d2 <= 10.5 ** 2:
        return (40, 40, 48)                        # lens ring
    return (200, 205, 215)                         # body


def write_png(out):
    def chunk(kind, data):
        return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))
    rows = b''.join(b'\0' + bytes(c for x in range(W) for c in pixel(x, y)) for y in range(H))
    with open(out, 'wb') as f:
        f.write(b'\x89PNG\r\n\x1a\n')
        f.write(chunk(b'IHDR', struct.pack('>IIBBBBB', W, H, 8, 2, 0, 0, 0)))   # 8-bit RGB
        f.write(chunk(b'IDAT', zlib.compress(rows, 9)))
        f.write(chunk(b'IEND', b''))


def main(out):
    if out.endswith('.png'):
        return write_png(out)
    xor = bytearray()
    for y in range(H - 1, -1, -1):                 # bottom-up rows, B G R
        for x in range(W):
            r, g, b = pixel(x, y)
            xor += bytes((b, g, r))
    mask = bytes(4 * H)                            # AND mask: all opaque
    header = struct.pack('<IiiHHIIiiII', 40, W, 2 * H, 1, 24, 0, len(xor) + len(mask), 0, 0, 0, 0)
    image = header + bytes(xor) + mask
    with open(out, 'wb') as f:
        f.write(struct.pack('<HHH', 0, 1, 1))
        f.write(struct.pack('<BBBBHHII', W, H, 0, 0, 1, 24, len(image), 22))
        f.write(image)


if __name__ == '__main__':
    main(sys.argv[1])
