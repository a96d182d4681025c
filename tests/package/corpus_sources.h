// The meshes of the real packages whose source files lie beside them in ../shared/corpus-ue1,
// and those files read: the table the package reader's corpus tests and the package folder's
// tests share.
#pragma once

#include "meshfold/package/package.h"
#include "support.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

namespace meshfold::package::corpus {

using meshfold::test::Bytes;
namespace fs = std::filesystem;

// Source files: `_a.3d` (packed words) and `_d.3d` (16-byte triangles).

struct SourceMesh {
    std::uint32_t frames = 0, verts = 0;
    std::vector<std::uint32_t> words; // frame-major
    struct Tri {
        std::array<std::uint16_t, 3> v;
        std::uint8_t type, texture;
        std::array<std::uint8_t, 6> uv;
    };
    std::vector<Tri> tris;
};

inline std::uint32_t le32(const Bytes& b, std::size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}
inline std::uint16_t le16(const Bytes& b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}

inline SourceMesh readSource(const fs::path& base) {
    SourceMesh s;
    const Bytes a = test::readFile(fs::path(base.string() + "_a.3d"));
    const Bytes d = test::readFile(fs::path(base.string() + "_d.3d"));
    s.frames = le16(a, 0);
    s.verts = le16(a, 2) / 4u;
    for (std::size_t i = 0; i < std::size_t{s.frames} * s.verts; ++i) {
        s.words.push_back(le32(a, 4 + 4 * i));
    }
    const std::uint16_t polys = le16(d, 0);
    for (std::size_t i = 0; i < polys; ++i) {
        const std::size_t at = 48 + 16 * i;
        SourceMesh::Tri t{};
        for (std::size_t k = 0; k < 3; ++k) {
            t.v[k] = le16(d, at + 2 * k);
        }
        t.type = d[at + 6];
        std::copy_n(d.begin() + static_cast<std::ptrdiff_t>(at + 8), 6, t.uv.begin());
        t.texture = d[at + 14];
        s.tris.push_back(t);
    }
    return s;
}

// A triangle as a comparable key: each corner's vertex (by `vertexKey`) and coordinates, the
// corners rotated so that the smallest comes first (winding kept), then texture and type.
using Corner = std::tuple<std::uint64_t, std::uint8_t, std::uint8_t>;
using TriKey = std::tuple<std::array<Corner, 3>, int, int>;

inline TriKey triKey(std::array<Corner, 3> c, int texture, int type) {
    const auto first = std::min_element(c.begin(), c.end());
    std::rotate(c.begin(), first, c.end());
    return {c, texture, type};
}

// Each vertex's key: its index (when the orders agree) or its words over all frames.
struct VertexKeys {
    std::vector<std::uint64_t> source, stored;
};

inline std::uint64_t trajectory(const std::vector<std::uint32_t>& words, std::uint32_t verts,
                         std::uint32_t frames, std::uint32_t k) {
    std::uint64_t h = 1469598103934665603ull;
    for (std::uint32_t f = 0; f < frames; ++f) {
        h = (h ^ words[std::size_t{f} * verts + k]) * 1099511628211ull;
    }
    return h;
}

struct Sourced {
    const char* package;
    const char* mesh;
    const char* source; // the `_a.3d` / `_d.3d` base, beside the corpus folder
    const char* script; // empty when the mesh has none
    bool sameOrder;     // the package keeps the source's vertex order (the remapped meshes)
};

inline std::vector<Sourced> sourcedMeshes() {
    std::vector<Sourced> out = {
        {"1337GameDev_Ut99Mods/System/HeadHunter.u", "Skull",
         "1337GameDev_Ut99Mods/HeadHunter/Models/Skull/Skull",
         "1337GameDev_Ut99Mods/HeadHunter/Classes/SkullItem.uc", false},
        {"1337GameDev_Ut99Mods/System/KillConfirmed.u", "dogTag",
         "1337GameDev_Ut99Mods/KillConfirmed/Models/DogTags/Tags",
         "1337GameDev_Ut99Mods/KillConfirmed/Classes/DogTagItemVisuals.uc", false},
        {"SnakieJakie_Jazz-Jackrabbit-3D-Archive/Builds/227/System/Jazz3.u", "Jazz",
         "SnakieJakie_Jazz-Jackrabbit-3D-Archive/Builds/227/Jazz3/Models/Jazz",
         "SnakieJakie_Jazz-Jackrabbit-3D-Archive/Builds/227/Jazz3/Classes/jazz.uc", true},
    };
    static const char* const kDecorations[] = {
        "BlueFlower", "RedFlower", "Shortpine1", "Willtree1", "YellowFlower", "crabgrass1",
        "flower1a",   "flower1b",  "flower1open", "lightbulb", "palmtree1", "plant1",
        "plant2",     "plant3",    "shrub1a",    "shrub1b",   "shrub1c",   "tree1",
        "tree2"};
    // The paths, made once: the table's pointers stay valid for the whole run.
    static const std::vector<std::string> keep = [] {
        std::vector<std::string> k;
        for (const char* d : kDecorations) {
            const std::string root = "SnakieJakie_Jazz-Jackrabbit-3D-Archive/Builds/227/JazzDecoration/";
            k.push_back(root + "Models/" + d);
            const std::string script = root + "Classes/" + d + ".uc";
            k.push_back(fs::exists(meshfold::test::corpusUe1Dir() / script) ? script : std::string());
        }
        return k;
    }();
    for (std::size_t i = 0; i < std::size(kDecorations); ++i) {
        out.push_back({"SnakieJakie_Jazz-Jackrabbit-3D-Archive/Builds/227/System/JazzDecoration.u",
                       kDecorations[i], keep[2 * i].c_str(), keep[2 * i + 1].c_str(), true});
    }
    return out;
}

} // namespace meshfold::package::corpus
