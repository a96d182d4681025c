// The writer's steps, in the order the caller takes them (see
// meshfold/gltf/write/gltf_write.h): planGltf() lays out the triangles, scanGltfFrame()
// gathers each frame's bounds, writeGltfHead() writes the GLB header, the
// JSON chunk and the binary chunk up to the positions, writeGltfFrame() each
// frame's positions, flushGltf() what is left. The files gltf_writer.h lists
// hold the rest.
#include "gltf/write/gltf_writer.h"

#include "meshfold/game/format.h"

#include <algorithm>
#include <numeric>
#include <unordered_map>

namespace meshfold {

using namespace glb;

namespace {

// GLB container.
constexpr std::uint32_t kGlbMagic = 0x46546C67; // "glTF"
constexpr std::uint32_t kGlbVersion = 2;
constexpr std::uint32_t kChunkJson = 0x4E4F534A; // "JSON"
constexpr std::uint32_t kChunkBin = 0x004E4942;  // "BIN\0"
constexpr std::size_t kGlbHeaderSize = 12;
constexpr std::size_t kChunkHeaderSize = 8;

// A signed field `bits` wide at `shift` of a packed word.
int packedField(std::uint32_t word, unsigned shift, unsigned bits) {
    const int v = static_cast<int>((word >> shift) & ((1u << bits) - 1));
    return v >= (1 << (bits - 1)) ? v - (1 << bits) : v;
}

// ---- layout ----

// The glTF vertex for a corner: mesh vertex v with texture bytes (u, w).
struct VertexList {
    GltfLayout& l;
    std::vector<bool> used;
    std::unordered_map<std::uint32_t, std::uint32_t> extra;

    std::uint32_t of(std::uint16_t v, std::uint8_t u, std::uint8_t w) {
        const std::array<std::uint8_t, 2> uv = {u, w};
        if (!used[v]) {
            used[v] = true;
            l.uv[v] = uv;
            return v;
        }
        if (l.uv[v] == uv) {
            return v;
        }
        const std::uint32_t key = std::uint32_t{v} << 16 | std::uint32_t{u} << 8 | w;
        const auto [it, fresh] = extra.try_emplace(key, static_cast<std::uint32_t>(l.vertexOf.size()));
        if (fresh) {
            l.vertexOf.push_back(v);
            l.uv.push_back(uv);
        }
        return it->second;
    }
};

} // namespace

GltfPlan planGltf(const GltfSource& source) {
    GltfPlan plan;
    plan.source = source;
    GltfLayout& l = plan.layout;
    l.polygonCount = readLe16(source.data.data());
    l.vertexCount = readLe16(source.data.data() + 2);
    l.vertexOf.resize(l.vertexCount);
    std::iota(l.vertexOf.begin(), l.vertexOf.end(), std::uint16_t{0});
    l.uv.assign(l.vertexCount, {0, 0});
    VertexList list{l, std::vector<bool>(l.vertexCount, false), {}};
    std::unordered_map<std::uint16_t, std::uint16_t> primitiveOf; // texture << 8 | type
    l.triangleExtras.resize(std::size_t{l.polygonCount} * 4);
    for (std::size_t i = 0; i < l.polygonCount; ++i) {
        const std::uint8_t* rec = source.data.data() + kDataHeaderSize + i * kTriangleRecordSize;
        const TriangleRecord t = decodeTriangle(rec);
        std::uint8_t* extra = l.triangleExtras.data() + 4 * i;
        extra[2] = t.attr1;
        extra[3] = t.attr3;
        if (std::any_of(t.vertex.begin(), t.vertex.end(), [&](std::uint16_t v) { return v >= l.vertexCount; })) {
            writeLe16(extra, kLooseTriangle);
            l.looseTriangles.insert(l.looseTriangles.end(), rec, rec + kTriangleRecordSize);
            continue;
        }
        const auto key = static_cast<std::uint16_t>(t.attr2 << 8 | t.attr0);
        const auto [it, fresh] = primitiveOf.try_emplace(key, static_cast<std::uint16_t>(l.materials.size()));
        if (fresh) {
            l.materials.push_back({t.attr2, t.attr0});
            l.indices.emplace_back();
        }
        writeLe16(extra, it->second);
        std::array<std::uint32_t, 3> corner{};
        for (std::size_t c = 0; c < 3; ++c) {
            corner[c] = list.of(t.vertex[c], t.u[c], t.v[c]);
        }
        std::vector<std::uint32_t>& indices = l.indices[it->second];
        indices.insert(indices.end(), {corner[0], corner[2], corner[1]});
    }
    return plan;
}

std::size_t gltfFrameVertexBytes(const GltfPlan& plan) {
    return std::size_t{plan.layout.vertexCount} *
           (plan.source.deusEx ? kWideVertexSize : kPackedVertexSize);
}

void gltfPositions(bool deusEx, const std::uint8_t* bytes, std::size_t count, float* xyz) {
    for (std::size_t i = 0; i < count; ++i) {
        float x, y, z;
        if (deusEx) {
            const std::uint8_t* p = bytes + i * kWideVertexSize;
            x = static_cast<std::int16_t>(readLe16(p)) / 256.0f;
            y = static_cast<std::int16_t>(readLe16(p + 2)) / 256.0f;
            z = static_cast<std::int16_t>(readLe16(p + 4)) / 256.0f;
        } else {
            const std::uint32_t w = readLe32(bytes + i * kPackedVertexSize);
            x = packedField(w, kPackedXShift, kPackedXBits) / 8.0f;
            y = packedField(w, kPackedYShift, kPackedYBits) / 8.0f;
            z = packedField(w, kPackedZShift, kPackedZBits) / 4.0f;
        }
        // glTF is Y-up: the mesh's Z is its height.
        xyz[3 * i] = x;
        xyz[3 * i + 1] = z;
        xyz[3 * i + 2] = y;
    }
}

void scanGltfFrame(GltfPlan& plan, std::span<const std::uint8_t> vertices) {
    const std::size_t n = plan.layout.vertexCount;
    std::vector<float> xyz(3 * n);
    gltfPositions(plan.source.deusEx, vertices.data(), n, xyz.data());
    const bool first = plan.bounds.empty();
    if (first) {
        plan.base = xyz;
    } else {
        for (std::size_t i = 0; i < xyz.size(); ++i) {
            xyz[i] -= plan.base[i];
        }
    }
    GltfBounds b;
    if (n > 0) {
        b.min = {xyz[0], xyz[1], xyz[2]};
        b.max = b.min;
    }
    for (std::size_t i = 3; i < xyz.size(); i += 3) {
        for (std::size_t c = 0; c < 3; ++c) {
            b.min[c] = xyz[i + c] < b.min[c] ? xyz[i + c] : b.min[c];
            b.max[c] = xyz[i + c] > b.max[c] ? xyz[i + c] : b.max[c];
        }
    }
    plan.bounds.push_back(b);
    if (!first) {
        return;
    }
    for (const std::uint16_t v : plan.layout.vertexOf) {
        for (std::size_t c = 0; c < 3; ++c) {
            plan.check.addLe32(floatBits(plan.base[3 * v + c]));
        }
    }
    for (const std::vector<std::uint32_t>& p : plan.layout.indices) {
        for (const std::uint32_t i : p) {
            plan.check.addLe32(i);
        }
    }
}

std::uint64_t gltfJsonLength(const GltfPlan& plan) {
    GltfOut counter;
    writeJson(plan, counter);
    return counter.written;
}

namespace {

// The size of a GLB file of a JSON chunk of `json` bytes (before its
// padding) and a binary chunk of `bin` bytes.
std::uint64_t glbSize(std::uint64_t json, std::uint64_t bin) {
    return kGlbHeaderSize + kChunkHeaderSize + padded4(json) + kChunkHeaderSize + bin;
}

} // namespace

std::uint64_t gltfFileSize(const GltfPlan& plan) {
    return glbSize(gltfJsonLength(plan), binLayout(plan).total);
}

bool writeGltfHead(const GltfPlan& plan, GltfOut& out) {
    const std::uint64_t json = gltfJsonLength(plan);
    const BinLayout b = binLayout(plan);
    const std::uint64_t total = glbSize(json, b.total); // the JSON is not written a third time to count it
    putLe32(out, kGlbMagic);
    putLe32(out, kGlbVersion);
    putLe32(out, static_cast<std::uint32_t>(total));
    putLe32(out, static_cast<std::uint32_t>(padded4(json)));
    putLe32(out, kChunkJson);
    writeJson(plan, out);
    put(out, "   ", static_cast<std::size_t>(padded4(json) - json)); // JSON pads with spaces
    putLe32(out, static_cast<std::uint32_t>(b.total));
    putLe32(out, kChunkBin);
    std::uint64_t indexBytes = 0;
    for (const std::vector<std::uint32_t>& p : plan.layout.indices) {
        for (const std::uint32_t i : p) {
            if (b.indexSize == 2) {
                std::uint8_t v[2];
                writeLe16(v, static_cast<std::uint16_t>(i));
                put(out, v, 2);
            } else {
                putLe32(out, i);
            }
            indexBytes += b.indexSize;
        }
    }
    putZeros(out, static_cast<std::size_t>(b.indicesBytes - indexBytes));
    for (const std::array<std::uint8_t, 2>& uv : plan.layout.uv) {
        putFloat(out, uv[0] / 256.0f);
        putFloat(out, uv[1] / 256.0f);
    }
    const std::uint32_t targets = targetCount(plan);
    for (const MeshSequence& c : clipsOf(plan)) {
        for (std::uint32_t k = 0; k < c.count; ++k) {
            putFloat(out, keyTime(c, k));
        }
        // Key k shows frame f = first + k: target f - 1 weighs 1 (frame 0 none).
        const std::uint32_t skip = c.first == 0 ? 1 : 0;
        if (weighted(c) == 0) {
            putLe32(out, 0);
            putFloat(out, 0.0f);
        }
        for (std::uint32_t k = skip; k < c.count; ++k) {
            putLe32(out, k * targets + (c.first + k - 1));
        }
        for (std::uint32_t k = skip; k < c.count; ++k) {
            putFloat(out, 1.0f);
        }
    }
    for (const GltfImage& image : plan.images) {
        put(out, image.png.data(), image.png.size());
        putZeros(out, static_cast<std::size_t>(padded4(image.png.size()) - image.png.size()));
    }
    return out.ok;
}

bool writeGltfFrame(const GltfPlan& plan, std::span<const std::uint8_t> vertices,
                    std::uint32_t frame, GltfOut& out) {
    const std::size_t n = plan.layout.vertexCount;
    std::vector<float> xyz(3 * n);
    gltfPositions(plan.source.deusEx, vertices.data(), n, xyz.data());
    if (frame > 0) {
        for (std::size_t i = 0; i < xyz.size(); ++i) {
            xyz[i] -= plan.base[i];
        }
    }
    std::vector<std::uint8_t> bytes(plan.layout.vertexOf.size() * kPositionSize);
    std::uint8_t* p = bytes.data();
    for (const std::uint16_t v : plan.layout.vertexOf) {
        for (std::size_t c = 0; c < 3; ++c, p += 4) {
            writeLe32(p, floatBits(xyz[3 * v + c]));
        }
    }
    put(out, bytes.data(), bytes.size());
    return out.ok;
}

bool flushGltf(GltfOut& out) {
    if (out.ok && out.sink && !out.pending.empty()) {
        out.ok = out.sink(out.pending.data(), out.pending.size());
        out.written += out.pending.size();
        out.pending.clear();
    }
    return out.ok;
}

} // namespace meshfold
