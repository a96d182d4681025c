#!/usr/bin/env python3
# Writes the bundled example cube's skin, examples/Textures/CubeTex.pcx: a
# 64 x 64 texture of our own making, drawn here from numbers alone. Eight by
# eight squares, each square's colour running from a warm to a cool tone
# across the texture and the squares alternating light and dark, with a dark
# frame around the edge so that each face of the cube shows where its
# texture begins. Written as the engines' importers read textures: PCX
# version 5, RLE, 8 bits in one plane, the 256-colour palette at the end.
# Palette index 0 (black) is the frame: imported masked, it would be cut out.
#   python3 tools/make_example_texture.py [OUT.pcx]
import struct
import sys

SIDE = 64
SQUARE = 8


def palette():
    colours = [(0, 0, 0)]
    # 1..128: light squares, 129..255: dark squares, each a ramp from warm
    # (orange) to cool (teal) by the square's position.
    for shade, scale in ((0, 1.0), (1, 0.55)):
        count = 128 if shade == 0 else 127
        for i in range(count):
            t = i / (count - 1)
            r = (230 * (1 - t) + 40 * t) * scale
            g = (140 * (1 - t) + 190 * t) * scale
            b = (40 * (1 - t) + 200 * t) * scale
            colours.append((round(r), round(g), round(b)))
    return colours


def index(x, y):
    if x == 0 or y == 0 or x == SIDE - 1 or y == SIDE - 1:
        return 0
    t = (x + y) / (2 * (SIDE - 1))  # 0 at the top left, 1 at the bottom right
    light = (x // SQUARE + y // SQUARE) % 2 == 0
    return 1 + round(t * 127) if light else 129 + round(t * 126)


def rle(line):
    out = bytearray()
    i = 0
    while i < len(line):
        run = 1
        while i + run < len(line) and line[i + run] == line[i] and run < 63:
            run += 1
        if run > 1 or line[i] >= 0xC0:
            out += bytes((0xC0 | run, line[i]))
        else:
            out.append(line[i])
        i += run
    return out


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "examples/Textures/CubeTex.pcx"
    header = struct.pack("<BBBBHHHHHH48sBBHHHH54s", 0x0A, 5, 1, 8, 0, 0, SIDE - 1, SIDE - 1, 72, 72,
                         bytes(48), 0, 1, SIDE, 1, 0, 0, bytes(54))
    body = bytearray()
    for y in range(SIDE):
        body += rle(bytes(index(x, y) for x in range(SIDE)))
    pal = bytearray(b"\x0c")
    for c in palette():
        pal += bytes(c)
    with open(out, "wb") as f:
        f.write(header + body + pal)


main()
