# Renders a .glb written by meshfold --to-gltf, headless, as Blender's own
# glTF importer shows it: one frame of its animation, seen from the front
# and a little above, with Cycles on the CPU.
#   blender -b --factory-startup --python-exit-code 1 -P tools/screenshot.py -- \
#       FILE.glb FRAME OUT.png
import math
import sys

# Debian's Blender 3.4 importer uses np.bool, which numpy 1.24 removed.
import numpy as np
if "bool" not in vars(np):
    np.bool = bool

import bpy
from mathutils import Vector


def main():
    path, frame, out = sys.argv[sys.argv.index("--") + 1:][:3]
    bpy.ops.wm.read_factory_settings(use_empty=True)
    scene = bpy.context.scene
    bpy.ops.import_scene.gltf(filepath=path)
    obj = next(o for o in scene.objects if o.type == "MESH")
    scene.frame_set(int(frame))

    # Frame the object as the chosen frame shows it.
    depsgraph = bpy.context.evaluated_depsgraph_get()
    mesh = obj.evaluated_get(depsgraph).to_mesh()
    points = [obj.matrix_world @ v.co for v in mesh.vertices]
    low = Vector([min(p[i] for p in points) for i in range(3)])
    high = Vector([max(p[i] for p in points) for i in range(3)])
    centre = (low + high) / 2
    size = max((high - low).length, 1e-3)

    # Plain materials a light grey; textured ones as their image shows them.
    for m in obj.data.materials:
        m.use_nodes = True
        bsdf = m.node_tree.nodes.get("Principled BSDF")
        if bsdf is not None:
            if not bsdf.inputs["Base Color"].is_linked:
                bsdf.inputs["Base Color"].default_value = (0.62, 0.66, 0.72, 1)
            bsdf.inputs["Roughness"].default_value = 0.55

    cam = bpy.data.objects.new("camera", bpy.data.cameras.new("camera"))
    scene.collection.objects.link(cam)
    direction = Vector((1.0, -0.45, 0.3)).normalized()
    cam.location = centre + direction * size * 2.3
    cam.rotation_euler = (centre - cam.location).to_track_quat("-Z", "Y").to_euler()
    cam.data.lens = 50
    scene.camera = cam

    sun = bpy.data.objects.new("sun", bpy.data.lights.new("sun", "SUN"))
    sun.data.energy = 4
    sun.rotation_euler = (math.radians(50), math.radians(10), math.radians(30))
    scene.collection.objects.link(sun)
    world = bpy.data.worlds.new("world")
    world.use_nodes = True
    world.node_tree.nodes["Background"].inputs["Color"].default_value = (0.18, 0.2, 0.24, 1)
    world.node_tree.nodes["Background"].inputs["Strength"].default_value = 0.8
    scene.world = world

    scene.render.engine = "CYCLES"
    scene.cycles.device = "CPU"
    scene.cycles.samples = 48
    scene.cycles.use_denoising = False  # Debian builds Blender without a denoiser
    scene.render.resolution_x = 720
    scene.render.resolution_y = 540
    scene.render.filepath = out
    scene.render.image_settings.file_format = "PNG"
    bpy.ops.render.render(write_still=True)


main()
