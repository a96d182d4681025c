#!/usr/bin/python3
"""The PNGs of textured .glb files against zlib's best on the same pixels.

Usage: /usr/bin/python3 bench/png_sizes.py FILE.glb...

For each file: its images, how many are distinct, and for each image its
bytes against those of Pillow (Debian's python3-pil) saving the very same
pixels with optimize=True (zlib at its best level; a paletted image keeps its
palette and transparency, so the comparison is of the compression alone).
Prints figures; judges nothing.
"""
import hashlib
import io
import json
import struct
import sys

from PIL import Image


def chunks(glb):
    """The JSON and the binary chunk of a .glb."""
    length = struct.unpack_from("<I", glb, 12)[0]
    document = json.loads(glb[20:20 + length])
    at = 20 + length
    size = struct.unpack_from("<I", glb, at)[0]
    return document, glb[at + 8:at + 8 + size]


def pillow_best(png):
    """The bytes of Pillow's optimize=True PNG of the pixels of `png`."""
    image = Image.open(io.BytesIO(png))
    image.load()
    options = {"optimize": True}
    if "transparency" in image.info:
        options["transparency"] = image.info["transparency"]
    out = io.BytesIO()
    image.save(out, "PNG", **options)
    return image, len(out.getvalue())


def main(paths):
    images = distinct = ours = best = 0
    above = []
    for path in paths:
        document, binary = chunks(open(path, "rb").read())
        seen = set()
        for entry in document.get("images", []):
            view = document["bufferViews"][entry["bufferView"]]
            at = view.get("byteOffset", 0)
            png = binary[at:at + view["byteLength"]]
            images += 1
            digest = hashlib.sha1(png).digest()
            if digest in seen:
                print(f"   {path}: {entry['name']} again")
                continue
            seen.add(digest)
            distinct += 1
            image, size = pillow_best(png)
            ours += len(png)
            best += size
            above.append(100.0 * (len(png) - size) / size)
            print(f"   {path}: {entry['name']} {image.mode} {image.width} x {image.height}: "
                  f"{len(png)} bytes, Pillow's best {size} ({above[-1]:+.1f} %)")
    if distinct == 0:
        print("   no images")
        return
    above.sort()
    print(f"   {images} images in {len(paths)} files, {distinct} distinct within their file; "
          f"{ours} bytes against Pillow's best {best} ({100.0 * (ours - best) / best:+.1f} %); "
          f"per image {above[0]:+.1f} to {above[-1]:+.1f} %, median {above[len(above) // 2]:+.1f} %")


if __name__ == "__main__":
    main(sys.argv[1:])
