// gltf/write: a mesh written as binary glTF 2.0 (.glb), frame by frame.
// Rule: pure (records and frames in, bytes out through a sink); never
// includes the reader.
// May include: common, image, game, gltf.
//
// Contents (the contract in include/meshfold/gltf/write/, the rest here):
//   gltf_write.h              the writer's contract
//   gltf_writer.h             the records the writer's files share, and what each offers
//   gltf_write_output.cpp     bytes, little-endian words, JSON text
//   gltf_write_bin.cpp        the binary chunk, its accessors and buffer views
//   gltf_write_material.cpp   materials, textures, PNG images
//   gltf_write_json.cpp       the JSON chunk in order
//   gltf_write.cpp            the steps: plan, scan, head, frames, flush
#pragma once
