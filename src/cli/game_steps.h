// The steps of a run on the game's own files: a mesh converted to the other
// form (or taken back to the Unreal form), and the inspection, warnings and
// rewinding that the export of such a mesh (gltf_steps.h) shares. The files
// are read through the conversion kernel (game/conversion.h), which the run
// in memory shares.
#pragma once

#include "cli/run_steps.h"

#include <string>

namespace meshfold {

// Opens the animation file (kept open in c.anim until release()), then
// inspects both files through the kernel, keeping what it read in
// c.inspected; a mesh it accepts gets the warnings of its triangles and its
// scale.
Failure inspectGameFiles(Session& io, Conversion& c);

// Puts the animation file back right after its header, for the mesh's new
// files to be written again.
Failure rewindAnimation(Session& io, Conversion& c);

// The write-again step of a kind whose `write` reads the animation file
// from right after its header: the file put back there, then `write`.
template <Failure (*write)(Session&, Conversion&)>
Failure writeAgainFromHeader(Session& io, Conversion& c) {
    const Failure f = rewindAnimation(io, c);
    return f.stop == Stop::None ? write(io, c) : f;
}

// Warns, once a mesh, about an animation file with more or fewer vertex
// bytes than its frames need: it converts as it comes, but the game will
// show a garbled frame.
void warnAboutVertexBytes(Session& io, Conversion& c);

// The steps of a conversion (see MeshKind): inspection and the checks that
// the files can be replaced, its new file (two with -ms) counted; the new
// animation file (and data file) written.
Failure prepareConversion(Session& io, Conversion& c);
Failure writeConversion(Session& io, Conversion& c);

} // namespace meshfold
