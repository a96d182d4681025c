"""Writes a skinned, animated glTF file for the import benchmark.

A column of RINGS rings of SIDES vertices (two triangles per quad), skinned
to a chain of BONES joints, each vertex weighted to the two joints nearest
it; every joint turns back and forth about its own axis, with one LINEAR key
per frame, FRAMES keys at 30 a second.

Usage: python3 bench/make_skinned_glb.py OUT.glb [FRAMES] [RINGS] [SIDES] [BONES]
"""
import json
import math
import struct
import sys


def main():
    out = sys.argv[1]
    frames, rings, sides, bones = (int(a) for a in (sys.argv[2:] + ["700", "64", "32", "8"][len(sys.argv) - 2:])[:4])
    height = 4.0
    pos, uv, joints, weights, idx = [], [], [], [], []
    for r in range(rings):
        z = height * r / (rings - 1)
        at = z / height * (bones - 1)
        j0 = min(int(at), bones - 2)
        t = at - j0
        for s in range(sides):
            a = 2 * math.pi * s / sides
            pos += [0.5 * math.cos(a), z, 0.5 * math.sin(a)]
            uv += [s / sides, r / (rings - 1)]
            joints += [j0, j0 + 1, 0, 0]
            weights += [1 - t, t, 0, 0]
    for r in range(rings - 1):
        for s in range(sides):
            a, b = r * sides + s, r * sides + (s + 1) % sides
            idx += [a, b, b + sides, a, b + sides, a + sides]
    n = rings * sides
    times = [f / 30 for f in range(frames)]
    rotations = []
    for b in range(bones):
        for f in range(frames):
            angle = 0.3 * math.sin(2 * math.pi * f / 60 + b)
            rotations += [math.sin(angle / 2), 0, 0, math.cos(angle / 2)]
    ibm = []
    for b in range(bones):
        y = height * b / (bones - 1)
        ibm += [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, -y, 0, 1]

    blobs = [
        struct.pack("<%df" % len(pos), *pos),
        struct.pack("<%df" % len(uv), *uv),
        struct.pack("<%dH" % len(joints), *joints),
        struct.pack("<%df" % len(weights), *weights),
        struct.pack("<%dI" % len(idx), *idx),
        struct.pack("<%df" % len(ibm), *ibm),
        struct.pack("<%df" % len(times), *times),
        struct.pack("<%df" % len(rotations), *rotations),
    ]
    views, offset = [], 0
    for blob in blobs:
        views.append({"buffer": 0, "byteOffset": offset, "byteLength": len(blob)})
        offset += len(blob)
    accessors = [
        {"bufferView": 0, "componentType": 5126, "count": n, "type": "VEC3"},
        {"bufferView": 1, "componentType": 5126, "count": n, "type": "VEC2"},
        {"bufferView": 2, "componentType": 5123, "count": n, "type": "VEC4"},
        {"bufferView": 3, "componentType": 5126, "count": n, "type": "VEC4"},
        {"bufferView": 4, "componentType": 5125, "count": len(idx), "type": "SCALAR"},
        {"bufferView": 5, "componentType": 5126, "count": bones, "type": "MAT4"},
        {"bufferView": 6, "componentType": 5126, "count": frames, "type": "SCALAR",
         "min": [times[0]], "max": [times[-1]]},
    ]
    channels, samplers = [], []
    for b in range(bones):
        accessors.append({"bufferView": 7, "byteOffset": b * frames * 16, "componentType": 5126,
                          "count": frames, "type": "VEC4"})
        samplers.append({"input": 6, "output": len(accessors) - 1, "interpolation": "LINEAR"})
        channels.append({"sampler": b, "target": {"node": b + 1, "path": "rotation"}})
    nodes = [{"mesh": 0, "skin": 0}]
    for b in range(bones):
        node = {"translation": [0, 0 if b == 0 else height / (bones - 1), 0]}
        if b + 1 < bones:
            node["children"] = [b + 2]
        nodes.append(node)
    gltf = {
        "asset": {"version": "2.0"},
        "scene": 0,
        "scenes": [{"nodes": [0, 1]}],
        "nodes": nodes,
        "meshes": [{"primitives": [{"attributes": {"POSITION": 0, "TEXCOORD_0": 1, "JOINTS_0": 2,
                                                   "WEIGHTS_0": 3}, "indices": 4}]}],
        "skins": [{"joints": list(range(1, bones + 1)), "inverseBindMatrices": 5}],
        "animations": [{"name": "Sway", "channels": channels, "samplers": samplers}],
        "buffers": [{"byteLength": offset}],
        "bufferViews": views,
        "accessors": accessors,
    }
    text = json.dumps(gltf).encode()
    text += b" " * (-len(text) % 4)
    binary = b"".join(blobs)
    binary += b"\0" * (-len(binary) % 4)
    total = 12 + 8 + len(text) + 8 + len(binary)
    with open(out, "wb") as f:
        f.write(struct.pack("<4sII", b"glTF", 2, total))
        f.write(struct.pack("<I4s", len(text), b"JSON") + text)
        f.write(struct.pack("<I4s", len(binary), b"BIN\0") + binary)


main()
