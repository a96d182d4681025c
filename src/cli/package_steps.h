// The steps of a run on a compiled package (.u, .utx): the package taken
// apart into its folder beside it, PKG/Classes/PKG.uc, PKG/Models/NAME_a.3d
// and NAME_d.3d, PKG/Textures/TEX.pcx (or with --to-gltf PKG/Models/NAME.glb
// alone), or its listing (--list).
//
// A package is one name of the run and several of its meshes (see
// MeshKind::parts): its first part reads the package whole (opened for
// reading only) and every object in it, makes every file of the folder once,
// one at a time, and compares each with the file that may be there already.
// A damaged package, a mesh that cannot be written in the form asked for, a
// name of --mesh that no mesh has, or a file there already with other bytes
// (the user's edit) fails the package as a whole before anything is written.
// Each part after it writes a few of the files, through the group commit:
// each texture, each mesh's two files, then, once every other part is in
// place, the script (--to-gltf: each .glb, then a last part that only
// reports). A file there already with the same bytes is left as it is, so
// that taking the same package apart again changes nothing. Memory: the
// package's bytes and records, the files of one part, and at most
// kKeptFileBytes of the files the first part made, kept for the parts
// rather than made again.
#pragma once

#include "cli/run_steps.h"

#include <cstddef>
#include <string>

namespace meshfold {

// The package file of a package's name.
const std::string& packageSource(const RunOptions& o);

// The steps of each part (see MeshKind).
Failure preparePackagePart(Session& io, Conversion& c);
Failure writePackagePart(Session& io, Conversion& c);
std::string packagePartDone(const Session& io, const Conversion& c);
std::size_t packageParts(const Session& io, const Conversion& first);

} // namespace meshfold
