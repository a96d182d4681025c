// glTF files built byte by byte in the tests: the JSON written by hand, one
// binary buffer, and a quad to hang materials and frames on.
#pragma once

#include "meshfold/common/bytes.h"
#include "meshfold/gltf/read/gltf_read.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace meshfold {

// A .glb built in the test: JSON written by hand, one binary buffer.
struct Glb {
    std::vector<std::uint8_t> bin;
    std::string views;     // JSON objects, comma separated
    std::string accessors; // likewise
    std::string buffers;   // likewise; empty: the binary chunk's alone
    int viewCount = 0;
    int accessorCount = 0;

    // Adds floats as an accessor of `type` ("SCALAR", "VEC3"...); its index.
    int floats(const std::vector<float>& v, const char* type, int perElement) {
        const std::size_t at = bin.size();
        for (float f : v) {
            std::uint8_t b[4];
            std::memcpy(b, &f, 4);
            bin.insert(bin.end(), b, b + 4);
        }
        return addAccessor(at, v.size() * 4, 5126, v.size() / static_cast<std::size_t>(perElement), type);
    }
    int indices(const std::vector<std::uint16_t>& v) {
        const std::size_t at = bin.size();
        for (std::uint16_t i : v) {
            bin.push_back(static_cast<std::uint8_t>(i));
            bin.push_back(static_cast<std::uint8_t>(i >> 8));
        }
        while (bin.size() % 4 != 0) {
            bin.push_back(0);
        }
        return addAccessor(at, v.size() * 2, 5123, v.size(), "SCALAR");
    }
    // Unsigned bytes (5121) or shorts (5123) as an accessor of `type`; its index.
    int integers(const std::vector<std::uint32_t>& v, int componentType, const char* type, int perElement,
                 bool normalized = false) {
        const std::size_t at = bin.size();
        for (std::uint32_t i : v) {
            bin.push_back(static_cast<std::uint8_t>(i));
            if (componentType == 5123) {
                bin.push_back(static_cast<std::uint8_t>(i >> 8));
            }
        }
        const std::size_t length = bin.size() - at;
        while (bin.size() % 4 != 0) {
            bin.push_back(0);
        }
        return addAccessor(at, length, componentType, v.size() / static_cast<std::size_t>(perElement), type,
                           normalized);
    }
    // Raw bytes (an image) in a buffer view of their own; its index.
    int view(const std::vector<std::uint8_t>& bytes) {
        const std::size_t at = bin.size();
        bin.insert(bin.end(), bytes.begin(), bytes.end());
        while (bin.size() % 4 != 0) {
            bin.push_back(0);
        }
        views += std::string(viewCount ? "," : "") + "{\"buffer\":0,\"byteOffset\":" + std::to_string(at) +
                 ",\"byteLength\":" + std::to_string(bytes.size()) + "}";
        return viewCount++;
    }
    int addAccessor(std::size_t at, std::size_t length, int componentType, std::size_t count,
                    const char* type, bool normalized = false) {
        views += std::string(viewCount ? "," : "") + "{\"buffer\":0,\"byteOffset\":" + std::to_string(at) +
                 ",\"byteLength\":" + std::to_string(length) + "}";
        accessors += std::string(accessorCount ? "," : "") + "{\"bufferView\":" + std::to_string(viewCount) +
                     ",\"componentType\":" + std::to_string(componentType) + ",\"count\":" +
                     std::to_string(count) + ",\"type\":\"" + type + "\"" +
                     (normalized ? ",\"normalized\":true}" : "}");
        ++viewCount;
        return accessorCount++;
    }
    // The whole file; `rest` holds the other top-level members (with a
    // leading comma).
    std::vector<std::uint8_t> file(const std::string& rest) const {
        std::string json = "{\"asset\":{\"version\":\"2.0\"},\"buffers\":[" +
                           (buffers.empty() ? "{\"byteLength\":" + std::to_string(bin.size()) + "}" : buffers) +
                           "],\"bufferViews\":[" + views +
                           "],\"accessors\":[" + accessors + "]" + rest + "}";
        while (json.size() % 4 != 0) {
            json += ' ';
        }
        std::vector<std::uint8_t> out(12);
        auto le32 = [&](std::uint32_t v) {
            for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        };
        le32(static_cast<std::uint32_t>(json.size()));
        le32(0x4E4F534A);
        out.insert(out.end(), json.begin(), json.end());
        le32(static_cast<std::uint32_t>(bin.size()));
        le32(0x004E4942);
        out.insert(out.end(), bin.begin(), bin.end());
        std::memcpy(out.data(), "glTF", 4);
        writeLe32(out.data() + 4, 2);
        writeLe32(out.data() + 8, static_cast<std::uint32_t>(out.size()));
        return out;
    }
};

inline const GltfResources kNoFiles = [](const std::string&, std::vector<std::uint8_t>&) { return false; };

inline GltfRead read(const std::vector<std::uint8_t>& file, unsigned fps = 30) {
    return readGltf(file, kNoFiles, fps);
}

// One quad (0,0,0) (1,0,0) (0,1,0) (1,1,0) in glTF axes, two triangles.
struct Quad {
    Glb g;
    int pos, idx, uv;
    Quad() {
        pos = g.floats({0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 1, 0}, "VEC3", 3);
        idx = g.indices({0, 1, 2, 2, 1, 3});
        uv = g.floats({0, 0, 1, 0, 0.5f, 1, 1.25f, -0.25f}, "VEC2", 2);
    }
    std::string mesh(const std::string& material = "0", const std::string& extra = "") const {
        return ",\"scene\":0,\"scenes\":[{\"nodes\":[0]}],\"nodes\":[{\"mesh\":0" + extra +
               "}],\"meshes\":[{\"primitives\":[{\"attributes\":{\"POSITION\":" + std::to_string(pos) +
               ",\"TEXCOORD_0\":" + std::to_string(uv) + "},\"indices\":" + std::to_string(idx) +
               ",\"material\":" + material + "}]}]";
    }
};

inline std::array<float, 3> at(const GltfRead& r, std::size_t frame, std::size_t vertex) {
    const float* p = r.positions.data() + (frame * r.vertexCount + vertex) * 3;
    return {p[0], p[1], p[2]};
}

} // namespace meshfold
