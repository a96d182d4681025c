# Builds two animated scenes in Blender and exports each with Blender's own
# glTF exporter, beside a JSON of Blender's own evaluated vertex positions at
# every frame (world coordinates, Blender's Z-up axes), for the import tests.
#
#   env -u PYTHONPATH -u PYTHONHOME /usr/bin/blender -b --factory-startup \
#       --python-exit-code 1 -P tools/make_gltf_samples.py -- tests/data/gltf
#
#   shapekeys.glb  a subdivided cube whose shape key "Bulge" rises and falls
#   skinned.glb    a column of rings skinned to a two-bone armature that bends
#   textured.glb   four quads, each with a material of its own image: a
#                  photo-like 512 x 512 image of gradients and soft shapes, a
#                  leaf whose alpha cuts it out (alphaMode MASK), 256 x 64
#                  stripes, and a 1000 x 600 image; no JSON of positions
# Names after the folder build only those scenes (... -- tests/data/gltf textured).
# The shape key's keys are Bezier curves (the exporter writes CUBICSPLINE
# weights), the bone's linear (LINEAR rotations).
import json
import math
import os
import sys

import numpy

# Blender 3.4's glTF add-on still uses an alias that numpy 1.24 removed.
if not hasattr(numpy, "bool"):
    numpy.bool = bool

import bpy  # noqa: E402

FPS = 30


def clear_scene():
    bpy.ops.wm.read_factory_settings(use_empty=True)
    scene = bpy.context.scene
    scene.render.fps = FPS
    scene.frame_start = 0
    return scene


def evaluated_frames(scene, obj, frames):
    out = []
    for f in frames:
        scene.frame_set(f)
        depsgraph = bpy.context.evaluated_depsgraph_get()
        evaluated = obj.evaluated_get(depsgraph)
        mesh = evaluated.to_mesh()
        world = obj.matrix_world
        out.append([[round(c, 6) for c in (world @ v.co)] for v in mesh.vertices])
        evaluated.to_mesh_clear()
    return out


def export(path):
    bpy.ops.export_scene.gltf(filepath=path, export_format="GLB", export_animations=True,
                              export_skins=True, export_morph=True, export_morph_normal=False,
                              export_normals=False, export_texcoords=True, export_yup=True,
                              export_force_sampling=False, export_apply=False)


def shape_keys(out_dir):
    scene = clear_scene()
    bpy.ops.mesh.primitive_cube_add(size=2.0, location=(0.0, 0.0, 1.0))
    cube = bpy.context.active_object
    cube.name = "Blob"
    bpy.ops.object.mode_set(mode="EDIT")
    bpy.ops.mesh.subdivide(number_cuts=1)
    bpy.ops.object.mode_set(mode="OBJECT")
    cube.shape_key_add(name="Basis")
    bulge = cube.shape_key_add(name="Bulge")
    for i, v in enumerate(cube.data.vertices):
        co = v.co
        bulge.data[i].co = (co.x * 1.5, co.y * 1.5, co.z + (0.75 if co.z > 0.5 else 0.0))
    bulge.value = 0.0
    bulge.keyframe_insert("value", frame=0)
    bulge.value = 1.0
    bulge.keyframe_insert("value", frame=12)
    bulge.value = 0.25
    bulge.keyframe_insert("value", frame=20)
    scene.frame_end = 20
    export(os.path.join(out_dir, "shapekeys.glb"))
    return {"object": cube.name, "fps": FPS,
            "frames": evaluated_frames(scene, cube, range(0, 21))}


def skinned(out_dir):
    scene = clear_scene()
    # A column of rings, 8 vertices each, from z = 0 to z = 4.
    verts = []
    faces = []
    rings, sides = 9, 8
    for r in range(rings):
        for s in range(sides):
            a = 2 * math.pi * s / sides
            verts.append((0.5 * math.cos(a), 0.5 * math.sin(a), 0.5 * r))
    for r in range(rings - 1):
        for s in range(sides):
            a, b = r * sides + s, r * sides + (s + 1) % sides
            faces.append((a, b, b + sides, a + sides))
    mesh = bpy.data.meshes.new("Column")
    mesh.from_pydata(verts, [], faces)
    mesh.update()
    mesh.uv_layers.new(name="UVMap")
    column = bpy.data.objects.new("Column", mesh)
    scene.collection.objects.link(column)

    arm_data = bpy.data.armatures.new("Rig")
    rig = bpy.data.objects.new("Rig", arm_data)
    scene.collection.objects.link(rig)
    bpy.context.view_layer.objects.active = rig
    bpy.ops.object.mode_set(mode="EDIT")
    lower = arm_data.edit_bones.new("Lower")
    lower.head, lower.tail = (0, 0, 0), (0, 0, 2)
    upper = arm_data.edit_bones.new("Upper")
    upper.head, upper.tail = (0, 0, 2), (0, 0, 4)
    upper.parent = lower
    upper.use_connect = True
    bpy.ops.object.mode_set(mode="OBJECT")

    lower_group = column.vertex_groups.new(name="Lower")
    upper_group = column.vertex_groups.new(name="Upper")
    for i, v in enumerate(mesh.vertices):
        t = min(max((v.co.z - 1.5) / 1.0, 0.0), 1.0)  # a soft joint from z 1.5 to 2.5
        if t < 1.0:
            lower_group.add([i], 1.0 - t, "REPLACE")
        if t > 0.0:
            upper_group.add([i], t, "REPLACE")
    column.parent = rig
    modifier = column.modifiers.new("Armature", "ARMATURE")
    modifier.object = rig

    bone = rig.pose.bones["Upper"]
    bone.rotation_mode = "XYZ"
    for frame, angle in ((0, 0.0), (15, 70.0), (30, 20.0)):
        bone.rotation_euler = (math.radians(angle), 0.0, 0.0)
        bone.keyframe_insert("rotation_euler", frame=frame)
    # Linear keys: about one axis, turning the Euler angle at an even rate is
    # exactly the spherical interpolation glTF's LINEAR rotations ask for.
    for curve in rig.animation_data.action.fcurves:
        for key in curve.keyframe_points:
            key.interpolation = "LINEAR"
    scene.frame_end = 30
    export(os.path.join(out_dir, "skinned.glb"))
    return {"object": column.name, "fps": FPS,
            "frames": evaluated_frames(scene, column, range(0, 31))}


def image(name, width, height, rgba):
    """A Blender image of `rgba` (height x width x 4 floats, rows from the top)."""
    img = bpy.data.images.new(name, width, height, alpha=True)
    img.file_format = "PNG"
    img.pixels.foreach_set(numpy.flipud(rgba).astype(numpy.float32).ravel())
    img.pack()
    return img


def photo_like(width, height, seed):
    rng = numpy.random.default_rng(seed)
    y, x = numpy.mgrid[0:height, 0:width] / numpy.array([height, width]).reshape(2, 1, 1)
    rgb = numpy.stack([0.2 + 0.6 * x, 0.3 + 0.5 * y * (1 - x), 0.5 + 0.4 * numpy.sin(6 * x + 3 * y)], axis=-1)
    for _ in range(6):  # soft shaded discs
        cx, cy, r = rng.uniform(0.1, 0.9), rng.uniform(0.1, 0.9), rng.uniform(0.05, 0.25)
        d = numpy.clip(1 - ((x - cx) ** 2 + (y - cy) ** 2) / r ** 2, 0, 1)[..., None]
        rgb = rgb * (1 - 0.6 * d) + 0.6 * d * rng.uniform(0, 1, 3)
    rgb += rng.normal(0, 0.01, rgb.shape)  # grain
    alpha = numpy.ones((height, width, 1))
    return numpy.concatenate([numpy.clip(rgb, 0, 1), alpha], axis=-1)


def leaf(size):
    y, x = numpy.mgrid[0:size, 0:size] / size - 0.5
    inside = (x / 0.45) ** 2 + (y / 0.25) ** 2 < 1
    rgb = numpy.stack([0.15 + 0.3 * (x + 0.5), 0.45 + 0.4 * (0.5 - abs(y)), 0.1 + 0 * x], axis=-1)
    return numpy.concatenate([rgb, inside[..., None].astype(float)], axis=-1)


def stripes(width, height):
    x = numpy.arange(width) // 16 % 2
    rgb = numpy.where(x[None, :, None] == 1, [0.9, 0.8, 0.1], [0.1, 0.2, 0.7]) * numpy.ones((height, 1, 1))
    return numpy.concatenate([rgb, numpy.ones((height, width, 1))], axis=-1)


def textured_material(name, img, masked=False):
    mat = bpy.data.materials.new(name)
    mat.use_nodes = True
    bsdf = mat.node_tree.nodes["Principled BSDF"]
    node = mat.node_tree.nodes.new("ShaderNodeTexImage")
    node.image = img
    mat.node_tree.links.new(node.outputs["Color"], bsdf.inputs["Base Color"])
    if masked:
        mat.node_tree.links.new(node.outputs["Alpha"], bsdf.inputs["Alpha"])
        mat.blend_method = "CLIP"
        mat.alpha_threshold = 0.5
    return mat


def textured(out_dir):
    clear_scene()
    images = [("Photo", 512, 512, photo_like(512, 512, 1), False), ("Leaf", 128, 128, leaf(128), True),
              ("Stripes", 256, 64, stripes(256, 64), False), ("Wide", 1000, 600, photo_like(1000, 600, 2), False)]
    verts, faces = [], []
    for i in range(len(images)):
        verts += [(2 * i, 0, 0), (2 * i + 1, 0, 0), (2 * i + 1, 0, 1), (2 * i, 0, 1)]
        faces.append((4 * i, 4 * i + 1, 4 * i + 2, 4 * i + 3))
    mesh = bpy.data.meshes.new("Panels")
    mesh.from_pydata(verts, [], faces)
    uv = mesh.uv_layers.new(name="UVMap")
    for poly in mesh.polygons:
        for k, loop in enumerate(poly.loop_indices):
            uv.data[loop].uv = [(0, 0), (1, 0), (1, 1), (0, 1)][k]
    obj = bpy.data.objects.new("Panels", mesh)
    bpy.context.scene.collection.objects.link(obj)
    for i, (name, w, h, rgba, masked) in enumerate(images):
        obj.data.materials.append(textured_material(name, image(name, w, h, rgba), masked))
        mesh.polygons[i].material_index = i
    export(os.path.join(out_dir, "textured.glb"))
    return {"images": [{"name": n, "width": w, "height": h, "masked": m} for n, w, h, _, m in images]}


def main():
    args = sys.argv[sys.argv.index("--") + 1:]
    out_dir = args[0]
    os.makedirs(out_dir, exist_ok=True)
    for name, build in (("shapekeys", shape_keys), ("skinned", skinned), ("textured", textured)):
        if len(args) > 1 and name not in args[1:]:
            continue
        record = build(out_dir)
        with open(os.path.join(out_dir, name + ".json"), "w") as f:
            json.dump(record, f, separators=(",", ":"))


main()
