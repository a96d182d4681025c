// The glTF reader: tinygltf parses, everything after it is checked here.
// readGltf() is the sequence of the files gltf_reader.h lists, and merges the
// vertices that share a position in every frame.
#include "gltf/read/gltf_reader.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <unordered_map>

namespace meshfold::gltf {

// --- the bytes of a triangle, shared with a restored file

std::uint8_t uvByte(double c, std::size_t& wrapped) {
    if (c < 0 || c > 1) {
        c -= std::floor(c);
        ++wrapped;
    }
    const double b = std::round(256 * c);
    return static_cast<std::uint8_t>(std::min(b, 255.0));
}

MaterialCode materialCode(const Model& m, int material) {
    if (material < 0) {
        return {};
    }
    const tinygltf::Material& mat = m.materials[static_cast<std::size_t>(material)];
    if (const auto code = parseMaterialName(mat.name)) {
        return *code;
    }
    return {static_cast<std::uint8_t>(std::min(material, 255)), 0};
}

namespace {

// Positions held while sampling, 12 bytes each: frames x glTF vertices, at
// most 1.5 GiB. A file that needs more (2048 glTF vertices in each of 65535
// frames) is refused as too large rather than left to exhaust memory.
constexpr std::uint64_t kMaxSampledVertices = std::uint64_t{1} << 27;

// --- vertices merged, triangles made

// Game vertex of each glTF vertex: those with the same position in every
// frame share one, numbered in order of first appearance.
std::vector<std::uint32_t> mergeVertices(const std::vector<float>& pos, std::size_t vertices,
                                         std::size_t frames, std::uint32_t& count) {
    auto same = [&](std::size_t a, std::size_t b) {
        for (std::size_t f = 0; f < frames; ++f) {
            const float* pa = pos.data() + (f * vertices + a) * 3;
            const float* pb = pos.data() + (f * vertices + b) * 3;
            if (pa[0] != pb[0] || pa[1] != pb[1] || pa[2] != pb[2]) {
                return false;
            }
        }
        return true;
    };
    std::unordered_multimap<std::uint64_t, std::size_t> firstOf; // hash of the path -> glTF vertex
    std::vector<std::uint32_t> game(vertices);
    count = 0;
    for (std::size_t v = 0; v < vertices; ++v) {
        Fnv1a64 h;
        for (std::size_t f = 0; f < frames; ++f) {
            for (int c = 0; c < 3; ++c) {
                float x = pos[(f * vertices + v) * 3 + static_cast<std::size_t>(c)];
                x = x == 0.0f ? 0.0f : x; // -0 is 0
                std::uint32_t bits;
                std::memcpy(&bits, &x, sizeof bits);
                h.addLe32(bits);
            }
        }
        bool found = false;
        const auto range = firstOf.equal_range(h.state);
        for (auto it = range.first; it != range.second; ++it) {
            if (same(it->second, v)) {
                game[v] = game[it->second];
                found = true;
                break;
            }
        }
        if (!found) {
            firstOf.emplace(h.state, v);
            game[v] = count++;
        }
    }
    return game;
}

void makeTriangles(const Model& m, const Geometry& g, const std::vector<std::uint32_t>& game,
                   const std::vector<bool>& mirrored, const std::vector<bool>& masked, GltfRead& out) {
    std::size_t wrapped = 0;
    for (const Primitive& p : g.primitives) {
        const VertexSource& s = g.sources[p.source];
        const MaterialCode code = polygonCode(m, p.material, masked);
        const bool flip = mirrored[static_cast<std::size_t>(s.instance)];
        for (std::size_t t = 0; t + 2 < p.corners.size(); t += 3) {
            // glTF (a, b, c) is stored (a, c, b); a mirroring transform turns it back.
            const std::array<std::uint32_t, 3> c = flip ? std::array{p.corners[t], p.corners[t + 1], p.corners[t + 2]}
                                                        : std::array{p.corners[t], p.corners[t + 2], p.corners[t + 1]};
            GltfTriangle tri;
            for (std::size_t k = 0; k < 3; ++k) {
                tri.vertex[k] = game[s.firstVertex + c[k]];
                if (!p.uv.empty()) {
                    tri.u[k] = uvByte(p.uv[c[k] * 2], wrapped);
                    tri.v[k] = uvByte(p.uv[c[k] * 2 + 1], wrapped);
                }
            }
            tri.attr[0] = code.type;
            tri.attr[2] = code.texture;
            out.triangles.push_back(tri);
            if (out.triangles.size() > kMaxCount) {
                refuse(GltfProblem::TooManyTriangles, num(out.triangles.size()));
            }
        }
    }
    if (wrapped > 0) {
        out.warnings.push_back(num(wrapped) +
                               " texture coordinate(s) outside 0 to 1 wrapped into it (tiling)");
    }
}

// --- the whole read

void sampleFrames(const Model& m, const Geometry& g, double fps, GltfRead& out) {
    std::vector<Animation> anims;
    std::uint64_t frames = 0;
    for (std::size_t a = 0; a < m.animations.size(); ++a) {
        anims.push_back(readAnimation(m, a, fps));
        frames += anims.back().frames;
        if (frames > kMaxCount) {
            refuse(GltfProblem::TooManyFrames, num(frames));
        }
    }
    frames = std::max<std::uint64_t>(frames, 1);
    if (frames * g.vertices > kMaxSampledVertices) {
        refuse(GltfProblem::TooLarge, num(g.vertices) + " vertices in " + num(frames) + " frames");
    }
    Scene sc{m, {}, parentsOf(m), inverseBindMatrices(m)};
    sc.order = topologicalOrder(m, sc.parent);
    std::vector<float> pos;
    pos.reserve(frames * g.vertices * 3);
    const Pose rest = restPose(m);
    if (anims.empty()) {
        evaluate(sc, g, rest, pos);
    }
    for (const Animation& a : anims) {
        GltfSequence seq{a.name, static_cast<std::uint32_t>(out.frameCount), static_cast<std::uint32_t>(a.frames), fps};
        for (std::uint64_t f = 0; f < a.frames; ++f) {
            Pose p = rest;
            const double t = f + 1 == a.frames && a.frames > 1 ? a.end : a.start + static_cast<double>(f) / fps;
            applyAnimation(a, t, p);
            evaluate(sc, g, p, pos);
        }
        out.frameCount += static_cast<std::uint32_t>(a.frames);
        out.sequences.push_back(std::move(seq));
    }
    out.frameCount = static_cast<std::uint32_t>(frames);
    out.positions = std::move(pos);
}

} // namespace

} // namespace meshfold::gltf

namespace meshfold {

using namespace gltf;

GltfRead readGltf(std::span<const std::uint8_t> file, const GltfResources& resources, double fps) {
    GltfRead out;
    fps = fps > 0 && fps <= 1000 ? fps : 30;
    try {
        const Model m = loadModel(file, resources);
        if (std::find(m.extensionsUsed.begin(), m.extensionsUsed.end(), "KHR_texture_transform") !=
            m.extensionsUsed.end()) {
            out.warnings.push_back("texture transforms (KHR_texture_transform) are not applied to the"
                                   " texture coordinates");
        }
        const std::vector<int> parent = parentsOf(m);
        const Geometry g = readGeometry(m, sceneInstances(m, parent), out.warnings);
        if (g.primitives.empty()) {
            refuse(GltfProblem::NoTriangles, {});
        }
        MaterialImages images = readMaterialImages(m, g, resources, out.warnings);
        out.textures = std::move(images.textures);
        if (hasExtras(m, g)) {
            const std::string stale = restore(m, g, fps, out);
            if (stale.empty()) {
                return out;
            }
            out.warnings.push_back("the meshfold record in the file is ignored: " + stale);
        }
        sampleFrames(m, g, fps, out);
        const std::vector<std::uint32_t> game =
            mergeVertices(out.positions, g.vertices, out.frameCount, out.vertexCount);
        // Keep one position per game vertex, frame after frame.
        std::vector<float> merged(std::size_t{out.frameCount} * out.vertexCount * 3);
        for (std::size_t f = 0; f < out.frameCount; ++f) {
            for (std::size_t v = 0; v < g.vertices; ++v) {
                std::copy_n(out.positions.begin() + static_cast<std::ptrdiff_t>((f * g.vertices + v) * 3), 3,
                            merged.begin() + static_cast<std::ptrdiff_t>((f * out.vertexCount + game[v]) * 3));
            }
        }
        out.positions = std::move(merged);
        // A transform that mirrors (at rest) turns its triangles inside out.
        Scene sc{m, {}, parent, {}};
        sc.order = topologicalOrder(m, parent);
        const std::vector<Mat4> world = worldMatrices(sc, restPose(m));
        std::vector<bool> mirrored;
        for (const Instance& i : g.instances) {
            const tinygltf::Node& node = m.nodes[static_cast<std::size_t>(i.node)];
            mirrored.push_back(node.skin < 0 && determinant3(world[static_cast<std::size_t>(i.node)]) < 0);
        }
        makeTriangles(m, g, game, mirrored, images.masked, out);
    } catch (const ReadError& e) {
        GltfRead failed;
        failed.failure = e.failure;
        failed.warnings = std::move(out.warnings);
        return failed;
    } catch (const std::bad_alloc&) {
        GltfRead failed;
        failed.failure = {GltfProblem::TooLarge, {}};
        return failed;
    }
    return out;
}

} // namespace meshfold
