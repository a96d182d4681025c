// gltf/read: a glTF 2.0 file (.glb, or .gltf with its resources) read into the
// flat record a game mesh is written from.
// Rule: pure (bytes in, one record out); tinygltf is compiled in
// gltf_load.cpp alone; never includes the writer.
// May include: common, image, game, gltf.
// Libraries: tiny_gltf.h, nlohmann/json.hpp.
//
// Contents (the contract in include/meshfold/gltf/read/, the rest here):
//   gltf_read.h          the reader's contract
//   gltf_reader.h        the records the reader's files share, and what each offers
//   gltf_math.h          matrices, quaternions, slerp
//   gltf_load.cpp        the file, its resources, checked accessors
//   gltf_scene.cpp       nodes, instances, geometry, skins, a pose
//   gltf_animation.cpp   samplers, sampling, frame times
//   gltf_material.cpp    each texture number's image and polygon type
//   gltf_restore.cpp     a file --to-gltf wrote, from its extras
//   gltf_read.cpp        readGltf(): the steps in order, and the vertex merge
#pragma once
