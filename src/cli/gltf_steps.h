// The steps of a run that read or write glTF: the export of a mesh that
// inspection accepted as NAME.glb (--to-gltf), and a game mesh made from a
// glTF file, its two files (and with --uc the import script, NAME.uc) written
// into temporary files and committed with the rest of its group.
#pragma once

#include "cli/run_steps.h"

#include <span>

namespace meshfold {

// Writes NAME.glb into a temporary file beside it; in a dry run only sizes it.
Failure writeGltf(Session& io, Conversion& c);

// A mesh made from a glTF file, once its leftovers are recovered: the read,
// the limits and the checks. The mesh it makes stays in c.imported, and
// c.newFiles counts the files writeImport() will write.
Failure prepareImport(Session& io, Conversion& c);

// Both game files of that mesh (and with --uc the script and each texture)
// in temporary files, committed together like the two files of a -ms
// conversion. Its temporary files are gone again when it fails. Called
// again, it writes them anew (the mesh written again on its own).
Failure writeImport(Session& io, Conversion& c);

// The import script of a mesh made from a glTF file is flushed to disk with
// the game files, before any of them is moved: a script that cannot be
// written fails the mesh while every file is still as it was.
void flushScripts(std::span<Conversion> group);

// Moves each texture of a mesh made from a glTF file into place (flushed,
// then moved one by one, the folder synced), before its game files are: the
// script, moved after them, never names a texture that is not there. A
// texture that cannot be moved fails the mesh; those moved before it stay
// (each texture is the old file or the whole new one), its game files and
// script are left as they were.
void commitTextures(std::span<Conversion> group);

// Moves the script into place once the game files are. Only its move can
// fail here, after the game files moved: the failure then names the script
// alone. A folder that then fails to flush has met an error of the disk after
// the move, and the script is in place, as the commit treats the game files.
void commitScript(Conversion& c);

} // namespace meshfold
