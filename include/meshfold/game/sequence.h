// An animation sequence of a mesh, as a MESH SEQUENCE line gives it and a
// glTF animation shows it.
#pragma once

#include <cstdint>
#include <string>

namespace meshfold {

// `count` frames from `first`, at `rate` frames a second.
struct MeshSequence {
    std::string name;
    std::uint32_t first = 0;
    std::uint32_t count = 0;
    double rate = 30; // above 0
};

} // namespace meshfold
