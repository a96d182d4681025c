#include "glb_reader.h"

#include <cstring>
#include <stdexcept>

namespace meshfold::test {

namespace {

std::uint32_t u32(const std::vector<std::uint8_t>& b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at] | b[at + 1] << 8 | b[at + 2] << 16) |
           static_cast<std::uint32_t>(b[at + 3]) << 24;
}

std::size_t componentsOf(const std::string& type) {
    if (type == "SCALAR") return 1;
    if (type == "VEC2") return 2;
    if (type == "VEC3") return 3;
    if (type == "VEC4") return 4;
    throw std::runtime_error("accessor type " + type);
}

std::size_t sizeOf(unsigned componentType) {
    switch (componentType) {
    case 5121: return 1;
    case 5123: return 2;
    case 5125:
    case 5126: return 4;
    }
    throw std::runtime_error("component type " + std::to_string(componentType));
}

double valueAt(const std::vector<std::uint8_t>& bin, std::size_t at, unsigned componentType) {
    switch (componentType) {
    case 5121: return bin[at];
    case 5123: return bin[at] | bin[at + 1] << 8;
    case 5125: return u32(bin, at);
    default: {
        const std::uint32_t bits = u32(bin, at);
        float f;
        std::memcpy(&f, &bits, 4);
        return f;
    }
    }
}

// `count` elements of `components` values each from buffer view `view`.
std::vector<double> readView(const Glb& glb, std::size_t view, std::size_t offset,
                             std::size_t count, std::size_t components, unsigned componentType) {
    const nlohmann::json& v = glb.json.at("bufferViews").at(view);
    const std::size_t size = sizeOf(componentType);
    const std::size_t stride = v.value("byteStride", components * size);
    const std::size_t start = v.value("byteOffset", std::size_t{0}) + offset;
    const std::size_t length = v.at("byteLength");
    if (count > 0 && (offset + (count - 1) * stride + components * size > length ||
                      start + (count - 1) * stride + components * size > glb.bin.size())) {
        throw std::runtime_error("accessor past its buffer view");
    }
    std::vector<double> out;
    out.reserve(count * components);
    for (std::size_t i = 0; i < count; ++i) {
        for (std::size_t c = 0; c < components; ++c) {
            out.push_back(valueAt(glb.bin, start + i * stride + c * size, componentType));
        }
    }
    return out;
}

} // namespace

Glb readGlb(const std::vector<std::uint8_t>& file) {
    Glb glb;
    if (file.size() < 20 || u32(file, 0) != 0x46546C67 || u32(file, 4) != 2 ||
        u32(file, 8) != file.size()) {
        glb.error = "not a GLB of version 2 and its own length";
        return glb;
    }
    const std::size_t jsonLength = u32(file, 12);
    if (u32(file, 16) != 0x4E4F534A || jsonLength % 4 != 0 || 20 + jsonLength > file.size()) {
        glb.error = "no JSON chunk first";
        return glb;
    }
    glb.json = nlohmann::json::parse(file.begin() + 20, file.begin() + 20 + static_cast<long>(jsonLength),
                                     nullptr, false);
    if (glb.json.is_discarded()) {
        glb.error = "JSON chunk does not parse";
        return glb;
    }
    const std::size_t binAt = 20 + jsonLength;
    if (binAt == file.size()) {
        return glb;
    }
    if (binAt + 8 > file.size() || u32(file, binAt + 4) != 0x004E4942 ||
        binAt + 8 + u32(file, binAt) != file.size() || u32(file, binAt) % 4 != 0) {
        glb.error = "BIN chunk does not end the file";
        return glb;
    }
    glb.bin.assign(file.begin() + static_cast<long>(binAt + 8), file.end());
    return glb;
}

std::vector<double> accessorValues(const Glb& glb, std::size_t index) {
    const nlohmann::json& a = glb.json.at("accessors").at(index);
    const std::size_t count = a.at("count");
    const std::size_t components = componentsOf(a.at("type"));
    const unsigned type = a.at("componentType");
    std::vector<double> values =
        a.contains("bufferView")
            ? readView(glb, a["bufferView"], a.value("byteOffset", std::size_t{0}), count, components, type)
            : std::vector<double>(count * components, 0.0);
    if (a.contains("sparse")) {
        const nlohmann::json& s = a["sparse"];
        const std::size_t n = s.at("count");
        const nlohmann::json& si = s.at("indices");
        const nlohmann::json& sv = s.at("values");
        const std::vector<double> at = readView(glb, si.at("bufferView"), si.value("byteOffset", std::size_t{0}),
                                                n, 1, si.at("componentType"));
        const std::vector<double> put = readView(glb, sv.at("bufferView"), sv.value("byteOffset", std::size_t{0}),
                                                 n, components, type);
        for (std::size_t i = 0; i < n; ++i) {
            const auto e = static_cast<std::size_t>(at[i]);
            if (e >= count || (i > 0 && at[i] <= at[i - 1])) {
                throw std::runtime_error("sparse index out of order or range");
            }
            for (std::size_t c = 0; c < components; ++c) {
                values[e * components + c] = put[i * components + c];
            }
        }
    }
    return values;
}

} // namespace meshfold::test
