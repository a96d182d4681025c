// package: the games' compiled packages (.u, .utx; Unreal, UT99 and its
// patches, Deus Ex) read into records: every mesh, texture and palette, and
// the objects they name.
// Rule: pure (the package's bytes in, records out, referring to those bytes;
// no file access, nothing printed); a package is untrusted: every count and
// offset is checked before it is used.
// May include: common.
//
// Contents (contracts in include/meshfold/package/, the rest here):
//   package.h          the container: header, names, imports, exports, outer chains
//   container.cpp
//   cursor.h           a bounds-checked little-endian reader, compact indices
//   properties.h       an object's tagged properties and their defaults
//   object.h           an export's bytes: window, properties, lazy arrays, end check
//   object.cpp
//   mesh.h             Mesh and LodMesh, every field of their native data
//   mesh.cpp
//   mesh_check.h       counts and indices checked before a mesh is handed on
//   triangles.cpp      a mesh's triangles rebuilt as a _d.3d holds them
//   polygon_flags.h    stored polygon flags to and from a _d.3d type byte: the table
//   polygon_flags.cpp
//   texture.h          Texture and Palette: settings, mips, colours
//   texture.cpp
//   inventory.h        every mesh, texture and palette of a package at once
//   inventory.cpp
#pragma once
