// bridge: the game's files and today's formats meet: a mesh written as glTF
// with its package's textures, a glTF file made into game files, textures and
// an import script, the package folder found on disk, and a compiled
// package's meshes and textures made into the files of a package folder.
// Rule: reads files through the platform layer; writes nothing itself (the
// driver's steps write what it makes).
// May include: common, platform, image, game, package, gltf, gltf/read, gltf/write.
//
// Contents (contracts in include/meshfold/bridge/, the rest here):
//   game_mesh.h          the game files and import script made from a glTF file
//   game_mesh.cpp
//   game_texture.h       a glTF file's images as 8-bit PCX game textures
//   game_texture.cpp
//   gltf_export.h        a mesh and its package's textures as NAME.glb
//   gltf_export.cpp
//   gltf_import.h        a glTF file and its resources read from its folder
//   gltf_import.cpp
//   package_folder.h     a mesh's package folder, its scripts and the files they name
//   package_folder.cpp
//   package_extract.h    a compiled package's meshes, textures and import lines as a
//                        package folder's files, and its listing
//   package_extract.cpp  the meshes' two files in either form, and the whole folder
//   package_parts.h      what the package folder's three files share: names, numbers
//   package_parts.cpp
//   package_script.cpp   the import lines, the listing, the reader's refusals in words
//   package_textures.cpp the textures as 8-bit PCX files
#pragma once
