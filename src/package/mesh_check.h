// The checks of a mesh read whole, before any record is handed on: counts that must agree and
// indices that must lie in range, so that rebuilding triangles and reading vertices need none.
#pragma once

#include "meshfold/package/mesh.h"

#include <optional>

namespace meshfold::package::detail {

// A failure (without the object's name) when vertices disagree with frames x vertices per
// frame, model and special vertices with vertices per frame, or the remap's length with a
// frame; or when a triangle's corner, a face's wedge or material, a wedge's vertex, a special
// face's vertex or a remapped vertex lies out of range.
std::optional<Failure> checkMesh(const Mesh& m);

} // namespace meshfold::package::detail
