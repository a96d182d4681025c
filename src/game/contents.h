// game: the game's own files: the two forms of NAME_a.3d, NAME_d.3d, and the
// #exec lines of a package's scripts.
// Rule: pure (bytes and text in, records and bytes out; no file access).
// May include: common.
// Libraries: emmintrin.h.
//
// Contents (contracts in include/meshfold/game/):
//   format.h       the byte layout of NAME_a.3d and NAME_d.3d
//   format.cpp
//   frames.h       where an animation file's vertices lie, in which form
//   frames.cpp
//   inspect.h      the two headers read, the mesh accepted or refused
//   inspect.cpp
//   convert.h      packed words to wide vertices, and the coordinate ranges
//   convert.cpp
//   reverse.h      wide vertices back to packed words
//   reverse.cpp
//   conversion.h   one mesh's conversion, the kernel that the run on the
//   conversion.cpp files and the run in memory share
//   memory_run.h   a whole conversion of files held in memory
//   memory_run.cpp
//   script.h       the #exec lines of a package's scripts
//   script.cpp
//   sequence.h     an animation sequence of a mesh
#pragma once
