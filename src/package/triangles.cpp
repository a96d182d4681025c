// A mesh's counts and indices checked, its vertices in the triangles' order, and its triangles
// rebuilt as a `_d.3d` holds them.
#include "meshfold/package/mesh.h"
#include "meshfold/package/polygon_flags.h"

#include "package/mesh_check.h"


namespace meshfold::package {

namespace {

Failure countsFailure(const char* what, std::int64_t value, std::int64_t limit) {
    return Failure{FailureKind::MeshCounts, {}, 0, value, limit, what};
}

Failure indexFailure(const char* what, std::int64_t value, std::int64_t limit) {
    return Failure{FailureKind::MeshIndexOutOfRange, {}, 0, value, limit, what};
}

std::uint64_t itemSize(const Mesh& m) {
    return m.form == VertexForm::Wide ? kWideVertexBytes : kPackedVertexBytes;
}

std::optional<Failure> checkTris(const Mesh& m) {
    for (const MeshTri& t : m.tris) {
        for (std::uint16_t v : t.vertex) {
            if (v >= m.frameVerts) {
                return indexFailure("triangle vertex", v, m.frameVerts);
            }
        }
    }
    return std::nullopt;
}

std::optional<Failure> checkLod(const Mesh& m, const LodData& d) {
    if (d.modelVerts < 0 || d.specialVerts < 0 ||
        std::int64_t{d.modelVerts} + d.specialVerts != m.frameVerts) {
        return countsFailure("model and special vertices",
                             std::int64_t{d.modelVerts} + d.specialVerts, m.frameVerts);
    }
    for (const LodFace& f : d.faces) {
        for (std::uint16_t w : f.wedge) {
            if (w >= d.wedges.size()) {
                return indexFailure("face wedge", w, static_cast<std::int64_t>(d.wedges.size()));
            }
        }
        if (f.material >= d.materials.size()) {
            return indexFailure("face material", f.material,
                                static_cast<std::int64_t>(d.materials.size()));
        }
    }
    for (const LodWedge& w : d.wedges) {
        if (w.vertex >= d.modelVerts) {
            return indexFailure("wedge vertex", w.vertex, d.modelVerts);
        }
    }
    for (const LodSpecialFace& f : d.specialFaces) {
        for (std::uint16_t v : f.vertex) {
            if (v >= d.specialVerts) {
                return indexFailure("special face vertex", v, d.specialVerts);
            }
        }
    }
    if (!d.remapAnimVerts.empty() &&
        d.remapAnimVerts.size() != static_cast<std::size_t>(m.frameVerts)) {
        return countsFailure("remap of animation vertices",
                             static_cast<std::int64_t>(d.remapAnimVerts.size()), m.frameVerts);
    }
    for (std::uint16_t r : d.remapAnimVerts) {
        if (r >= m.frameVerts) {
            return indexFailure("remapped vertex", r, m.frameVerts);
        }
    }
    return std::nullopt;
}

} // namespace

namespace detail {

std::optional<Failure> checkMesh(const Mesh& m) {
    if (m.frameVerts < 0 || m.frameCount < 0 ||
        std::int64_t{m.frameVerts} * m.frameCount != m.vertCount) {
        return countsFailure("vertices", m.vertCount, std::int64_t{m.frameVerts} * m.frameCount);
    }
    // Without frames, vertices per frame could be any number: none is the only safe one.
    if (m.frameCount == 0 && m.frameVerts != 0) {
        return countsFailure("vertices per frame without frames", m.frameVerts, 0);
    }
    if (std::optional<Failure> f = checkTris(m)) {
        return f;
    }
    if (m.lodData) {
        return checkLod(m, *m.lodData);
    }
    return std::nullopt;
}

} // namespace detail

Bytes vertexBytes(const Mesh& m, std::uint32_t frame, std::uint32_t k) {
    const std::uint64_t size = itemSize(m);
    const std::uint64_t item = std::uint64_t{frame} * static_cast<std::uint64_t>(m.frameVerts) + k;
    return m.verts.subspan(static_cast<std::size_t>(item * size), static_cast<std::size_t>(size));
}

namespace {

std::int32_t signExtend(std::uint32_t bits, unsigned count) {
    const std::uint32_t sign = 1u << (count - 1);
    return static_cast<std::int32_t>((bits ^ sign)) - static_cast<std::int32_t>(sign);
}

} // namespace

VertexValues vertexValues(const Mesh& m, std::uint32_t frame, std::uint32_t k) {
    const Bytes b = vertexBytes(m, frame, k);
    VertexValues v;
    if (m.form == VertexForm::Wide) {
        auto word = [&b](std::size_t at) {
            return static_cast<std::int16_t>(b[at] | (b[at + 1] << 8));
        };
        v.x = word(0);
        v.y = word(2);
        v.z = word(4);
        v.word = static_cast<std::uint16_t>(word(6));
        return v;
    }
    v.word = static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
             (static_cast<std::uint32_t>(b[2]) << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
    v.x = signExtend(v.word & ((1u << kPackedXBitCount) - 1), kPackedXBitCount);
    v.y = signExtend(v.word >> kPackedXBitCount & ((1u << kPackedYBitCount) - 1), kPackedYBitCount);
    v.z = signExtend(v.word >> (kPackedXBitCount + kPackedYBitCount), kPackedZBitCount);
    return v;
}

namespace {

void addFlags(Triangle& t, std::size_t index, const Mesh& m, TrianglesRead& out) {
    const PolygonType type = polygonTypeOf(t.polyFlags);
    t.typeByte = type.typeByte;
    if (type.unmappedBits != 0) {
        out.warnings.push_back(Warning{WarningKind::UnmappedPolygonFlags, m.fullName, index,
                                       t.polyFlags, type.unmappedBits, {}});
    }
}

void rebuildLod(const Mesh& m, const LodData& d, TrianglesRead& out) {
    const auto special = static_cast<std::uint32_t>(d.specialVerts);
    auto stored = [&d](std::uint32_t corner) -> std::uint32_t {
        return d.remapAnimVerts.empty() ? corner : d.remapAnimVerts[corner];
    };
    for (std::size_t i = 0; i < d.faces.size(); ++i) {
        const LodFace& f = d.faces[i];
        Triangle t;
        for (std::size_t k = 0; k < 3; ++k) {
            const LodWedge& w = d.wedges[f.wedge[k]];
            t.corner[k] = stored(w.vertex + special);
            t.u[k] = w.u;
            t.v[k] = w.v;
        }
        const LodMaterial& mat = d.materials[f.material];
        t.textureNumber = mat.textureIndex;
        t.polyFlags = mat.polyFlags;
        addFlags(t, i, m, out);
        out.triangles.push_back(t);
    }
    for (const LodSpecialFace& f : d.specialFaces) {
        Triangle t;
        for (std::size_t k = 0; k < 3; ++k) {
            t.corner[k] = stored(f.vertex[k]);
        }
        t.polyFlags = polygonFlagsOf(kWeaponTypeByte);
        t.typeByte = kWeaponTypeByte;
        t.hasCoordinates = false;
        out.triangles.push_back(t);
    }
}

} // namespace

TrianglesRead rebuildTriangles(const Mesh& m) {
    TrianglesRead out;
    if (m.lodData) {
        out.triangles.reserve(m.lodData->faces.size() + m.lodData->specialFaces.size());
        rebuildLod(m, *m.lodData, out);
        return out;
    }
    out.triangles.reserve(m.tris.size());
    for (std::size_t i = 0; i < m.tris.size(); ++i) {
        const MeshTri& s = m.tris[i];
        Triangle t;
        for (std::size_t k = 0; k < 3; ++k) {
            t.corner[k] = s.vertex[k];
        }
        t.u = s.u;
        t.v = s.v;
        t.textureNumber = s.textureIndex;
        t.polyFlags = s.polyFlags;
        addFlags(t, i, m, out);
        out.triangles.push_back(t);
    }
    return out;
}

} // namespace meshfold::package
