// gltf: what the glTF reader and writer agree on: how a triangle's polygon
// type and texture number travel in a material's name and the extras.
// Rule: pure; read/ and write/ are layers of their own, and neither includes
// the other.
// May include: common, game.
//
// Contents (the contract in include/meshfold/gltf/):
//   gltf_common.h
//   gltf_common.cpp
#pragma once
