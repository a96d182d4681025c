// cli: the command line: the entry point, the switches, the names, and the
// driver that takes each mesh through its steps.
// Rule: the top of the house: it may include every layer, and nothing
// includes it.
// May include: common, platform, image, game, package, gltf, gltf/read, gltf/write, bridge,
// commit.
//
// Contents (contracts in include/meshfold/cli/, the rest here):
//   main.cpp         the entry point
//   options.h        switches and names parsed
//   options.cpp
//   names.h          from the names given to the meshes of a run
//   names.cpp
//   run.h            one run, from the arguments to the exit status
//   run.cpp          the driver: the table of kinds, the steps in order,
//                    groups, the exit status
//   run_steps.h      what the steps share: the session, one mesh's record,
//   run_steps.cpp    the row of steps of a kind of mesh
//   game_steps.h     the steps of a conversion of the game's own files
//   game_steps.cpp
//   gltf_steps.h     the export and import steps
//   gltf_steps.cpp
#pragma once
