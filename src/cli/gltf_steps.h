// The steps of a run that read or write glTF: a mesh that inspection
// accepted exported as NAME.glb (--to-gltf), and a game mesh made from a glTF
// file, its two files (and with --uc the import script, NAME.uc, and its
// textures) written into temporary files and committed with the rest of its
// group (see commit.h for the order).
#pragma once

#include "cli/run_steps.h"

#include <string>

namespace meshfold {

// The steps of an export (see MeshKind): inspection and the check that
// NAME.glb can be made or replaced; NAME.glb written into a temporary file
// beside it (in a dry run only sized); the lines that say what it wrote.
Failure prepareExport(Session& io, Conversion& c);
Failure writeExport(Session& io, Conversion& c);
std::string exportDone(const Session& io, const Conversion& c);

// A mesh made from a glTF file, once its leftovers are recovered: the read,
// the limits and the checks. The mesh it makes stays in c.imported, and
// c.newFiles counts the files writeImport() will write.
Failure prepareImport(Session& io, Conversion& c);

// Both game files of that mesh (and with --uc the script and each texture)
// in temporary files, committed together like the two files of a -ms
// conversion. Its temporary files are gone again when it fails. Called
// again, it writes them anew (the mesh written again on its own).
Failure writeImport(Session& io, Conversion& c);

} // namespace meshfold
