# Imports .glb files written by meshfold --to-gltf with Blender's own glTF
# importer, headless, and checks every shape key against the mesh's frames,
# decoded here from the .3d files independently of meshfold:
#   blender -b --factory-startup --python-exit-code 1 -P blender_check.py -- \
#       FOLDER NAME...
# For each NAME, FOLDER/NAME.glb is compared with FOLDER/NAME_a.3d and
# FOLDER/NAME_d.3d: one shape key a frame after the first ("Frame 1", ...),
# and for every frame the triangles Blender shows, each as its three corner
# positions in Blender's order (so a flipped face is a mismatch), equal to
# the data file's triangles with corners (v0, v2, v1), a triangle that
# repeats another's vertices once (Blender keeps one face per set of corners).
# Prints one line a mesh; exits 1 (through --python-exit-code) on the first mismatch.
#
#   blender ... -P blender_check.py -- --textures FILE.glb...
# imports each textured file written by --to-gltf --uc and checks that every
# material with a baseColorTexture shows, through an image texture node, an
# image Blender loaded at the size its PNG gives, with the blend mode its
# alphaMode asks for.
import json
import os
import struct
import sys

# Debian's Blender 3.4 importer uses np.bool, which numpy 1.24 removed.
import numpy as np
if "bool" not in vars(np):
    np.bool = bool

import bpy


def frames_of(folder, name):
    anim = open(os.path.join(folder, name + "_a.3d"), "rb").read()
    data = open(os.path.join(folder, name + "_d.3d"), "rb").read()
    frame_count, frame_size = struct.unpack_from("<HH", anim, 0)
    polys, verts = struct.unpack_from("<HH", data, 0)
    # The form, as meshfold tells it: 8 bytes a vertex when a frame holds N
    # of them with a zero fourth word, else packed words.
    wide = frame_size >= 8 * verts and all(
        struct.unpack_from("<H", anim, 4 + 8 * i + 6)[0] == 0 for i in range(verts))
    frames = []
    for k in range(frame_count):
        at = 4 + k * frame_size
        pos = []
        for i in range(verts):
            if wide:
                x, y, z = struct.unpack_from("<hhh", anim, at + 8 * i)
                X, Y, Z = x / 256.0, y / 256.0, z / 256.0
            else:
                (w,) = struct.unpack_from("<I", anim, at + 4 * i)
                sx = lambda v, b: v - (1 << b) if v >= 1 << (b - 1) else v
                X = sx(w & 0x7FF, 11) / 8.0
                Y = sx((w >> 11) & 0x7FF, 11) / 8.0
                Z = sx(w >> 22, 10) / 4.0
            # glTF (X, Z, Y), which Blender's importer turns Z-up: (X, -Y, Z).
            pos.append((X, -Y, Z))
        frames.append(pos)
    tris = []
    for t in range(polys):
        a, b, c = struct.unpack_from("<HHH", data, 48 + 16 * t)
        if max(a, b, c) < verts:
            tris.append((a, c, b))
    return frames, tris


def canonical(corners):
    # The same triangle whichever corner a face starts at, but not mirrored.
    r = [tuple(round(v, 4) for v in p) for p in corners]
    return min(r[i:] + r[:i] for i in range(3))


def check(folder, name):
    bpy.ops.wm.read_factory_settings(use_empty=True)
    bpy.ops.import_scene.gltf(filepath=os.path.join(folder, name + ".glb"))
    meshes = [o for o in bpy.context.scene.objects if o.type == "MESH"]
    if len(meshes) != 1:
        return "%d mesh objects" % len(meshes), 0
    mesh = meshes[0].data
    frames, tris = frames_of(folder, name)
    keys = mesh.shape_keys.key_blocks if mesh.shape_keys else []
    if len(frames) > 1:
        names = [k.name for k in keys][1:]
        if names != ["Frame %d" % k for k in range(1, len(frames))]:
            return "shape keys %s..." % names[:3], 0
        action = mesh.shape_keys.animation_data and mesh.shape_keys.animation_data.action
        if not action or len(action.fcurves) != len(frames) - 1:
            return "no animation of every shape key", 0
    elif keys:
        return "shape keys on a one-frame mesh", 0
    # Blender's mesh holds one face per set of corners: a triangle that
    # repeats another on the same vertices (Deus Ex's Sink1 has two) is
    # imported once.
    distinct = []
    seen = set()
    for t in tris:
        if frozenset(t) not in seen:
            seen.add(frozenset(t))
            distinct.append(t)
    if len(mesh.polygons) != len(distinct):
        return "%d faces for %d triangles (%d distinct)" % (len(mesh.polygons), len(tris), len(distinct)), 0
    for k, frame in enumerate(frames):
        co = [v.co for v in (keys[k].data if keys else mesh.vertices)]
        shown = sorted(canonical([co[i] for i in p.vertices]) for p in mesh.polygons)
        wanted = sorted(canonical([frame[i] for i in t]) for t in distinct)
        if shown != wanted:
            return "frame %d differs" % k, 0
    return None, len(tris) - len(distinct)


def glb_parts(path):
    data = open(path, "rb").read()
    length = struct.unpack_from("<I", data, 12)[0]
    gltf = json.loads(data[20:20 + length])
    bin_at = 20 + length + 8
    return gltf, data[bin_at:]


# The reason a textured file does not load as written, or None; and how many
# textured materials it showed.
def check_textures(path):
    gltf, binary = glb_parts(path)
    bpy.ops.wm.read_factory_settings(use_empty=True)
    bpy.ops.import_scene.gltf(filepath=path)
    shown = 0
    for m in gltf.get("materials", []):
        texture = m["pbrMetallicRoughness"].get("baseColorTexture")
        if texture is None:
            continue
        image = gltf["images"][gltf["textures"][texture["index"]]["source"]]
        view = gltf["bufferViews"][image["bufferView"]]
        png = binary[view.get("byteOffset", 0):view.get("byteOffset", 0) + view["byteLength"]]
        width, height = struct.unpack_from(">II", png, 16)  # the IHDR chunk
        material = bpy.data.materials.get(m["name"])
        if material is None or not material.use_nodes:
            return "material %s not imported" % m["name"], 0
        images = [n.image for n in material.node_tree.nodes if n.type == "TEX_IMAGE" and n.image]
        if not images:
            return "material %s has no image" % m["name"], 0
        if tuple(images[0].size) != (width, height) or len(images[0].pixels) != width * height * 4:
            return "material %s shows an image of %s, not %dx%d" % (
                m["name"], tuple(images[0].size), width, height), 0
        want = {"BLEND": "BLEND", "MASK": "CLIP"}.get(m.get("alphaMode"), "OPAQUE")
        if material.blend_method != want:
            return "material %s blends %s, not %s" % (m["name"], material.blend_method, want), 0
        shown += 1
    return None, shown


def main():
    args = sys.argv[sys.argv.index("--") + 1:]
    failed = 0
    if args[0] == "--textures":
        # Files without a texture of the package's own are fine; not all of them.
        total = 0
        for path in args[1:]:
            why, shown = check_textures(path)
            total += shown
            print("%s: %s" % (os.path.basename(path)[:-4], why or "%d textured materials" % shown))
            failed += why is not None
        if total == 0:
            print("no textured material in any file")
            failed += 1
    else:
        folder, names = args[0], args[1:]
        for name in names:
            why, repeated = check(folder, name)
            print("%s: %s" % (name, why or ("ok, %d repeated triangles shown once" % repeated if repeated else "ok")))
            failed += why is not None
    sys.stdout.flush()
    if failed:
        raise SystemExit(1)


main()
