"""Reads PCX files with Pillow, an image library nobody on this project wrote,
and prints for each: width, height, mode, the palette's 768 bytes and the
pixels' bytes (both in hex), one line a file. Exits 2 when Pillow is missing.
Usage: pcx_read.py FILE..."""
import sys

try:
    from PIL import Image
except ImportError:
    sys.exit(2)

for name in sys.argv[1:]:
    with Image.open(name) as image:
        image.load()
        palette = bytes(image.getpalette() or [])
        palette += bytes(768 - len(palette))
        print(image.format, image.width, image.height, image.mode, palette.hex(),
              image.tobytes().hex())
