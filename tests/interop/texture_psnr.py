"""Reads, with Pillow, the textures meshfold wrote for a .glb (NAMETexN.pcx,
N each material's index) against the glTF file's own images resized by
Pillow to the same size, and prints for each, one line: the texture number,
width, height, the colours it uses, the pixels hidden (palette index 0 where
the material is masked, else 0) and those the source's alpha hides but the
texture shows or the reverse, and the PSNR in dB over the pixels shown.
Exits 2 when Pillow is missing. Usage: texture_psnr.py FILE.glb NAME"""
import io
import json
import math
import struct
import sys

try:
    from PIL import Image
except ImportError:
    sys.exit(2)

glb = open(sys.argv[1], "rb").read()
length = struct.unpack("<I", glb[12:16])[0]
doc = json.loads(glb[20:20 + length])
binary = glb[20 + length + 8:]
for number, material in enumerate(doc["materials"]):
    texture = material["pbrMetallicRoughness"]["baseColorTexture"]["index"]
    view = doc["bufferViews"][doc["images"][doc["textures"][texture]["source"]]["bufferView"]]
    start = view.get("byteOffset", 0)
    source = Image.open(io.BytesIO(binary[start:start + view["byteLength"]])).convert("RGBA")
    pcx = Image.open("%sTex%d.pcx" % (sys.argv[2], number))
    pcx.load()
    masked = material.get("alphaMode") == "MASK"
    indices = pcx.tobytes()
    shown = pcx.convert("RGB").tobytes()
    want = source.resize(pcx.size, Image.LANCZOS).tobytes()
    squared, count, hidden, wrong = 0.0, 0, 0, 0
    for i in range(pcx.width * pcx.height):
        is_hidden = masked and indices[i] == 0
        hidden += is_hidden
        wrong += masked and is_hidden != (want[4 * i + 3] < 128)
        if not is_hidden:
            squared += sum((want[4 * i + c] - shown[3 * i + c]) ** 2 for c in range(3))
            count += 3
    psnr = 100.0 if squared == 0 else 10 * math.log10(255.0 ** 2 * count / squared)
    print(number, pcx.width, pcx.height, len(pcx.getcolors(256) or []), hidden, wrong, "%.2f" % psnr)
