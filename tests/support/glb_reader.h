// A small reader of the .glb files meshfold writes, for the tests: the JSON
// chunk parsed, and accessors read from the binary chunk by the rules of
// glTF 2.0 (byte offsets, strides, sparse values), independently of the
// writer's code.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace meshfold::test {

struct Glb {
    nlohmann::json json;
    std::vector<std::uint8_t> bin;
    std::string error; // empty when the container was read completely
};

// Reads the GLB container: 12-byte header ("glTF", version 2, the file's
// length), the JSON chunk, then the BIN chunk; anything amiss sets `error`.
Glb readGlb(const std::vector<std::uint8_t>& file);

// The values of accessor `index`, every component as a double, element after
// element (count x components), sparse values applied. Throws
// std::runtime_error when the accessor does not fit its buffer view.
std::vector<double> accessorValues(const Glb& glb, std::size_t index);

} // namespace meshfold::test
