// Mesh and LodMesh native data, field by field, and the checks that make the records safe to use.
#include "meshfold/package/mesh.h"

#include "package/mesh_check.h"
#include "package/object.h"


namespace meshfold::package {

namespace {

using detail::Cursor;

// Texture LOD: one float at version 65, an array of them from 66 on, absent below.
inline constexpr std::uint16_t kTextureLodFloatVersion = 65;
inline constexpr std::uint16_t kTextureLodArrayVersion = 66;
// Smallest encodings, for the checks before a loop or an allocation.
inline constexpr std::uint64_t kMinSequenceSize = 1 + 1 + 4 + 4 + 1 + 4;
inline constexpr std::uint64_t kMinNotifySize = 4 + 1;
inline constexpr std::uint64_t kSphereSizeNoRadius = 12;
inline constexpr std::uint64_t kSphereSizeRadius = 16;

Vector3 readVector(Cursor& c) {
    Vector3 v;
    v.x = c.f32();
    v.y = c.f32();
    v.z = c.f32();
    return v;
}

Box readBox(Cursor& c) {
    Box b;
    b.min = readVector(c);
    b.max = readVector(c);
    b.valid = c.u8();
    return b;
}

Sphere readSphere(Cursor& c, std::uint16_t version) {
    Sphere s;
    s.centre = readVector(c);
    if (version >= kSphereRadiusVersion) {
        s.radius = c.f32();
    }
    return s;
}

std::uint64_t sphereSize(std::uint16_t version) {
    return version >= kSphereRadiusVersion ? kSphereSizeRadius : kSphereSizeNoRadius;
}

std::int32_t readName(const Package& p, Cursor& c) {
    const std::uint64_t at = c.pos();
    const std::int32_t n = c.compact();
    if (c.ok() && (n < 0 || static_cast<std::size_t>(n) >= p.names.size())) {
        c.fail(FailureKind::NameOutOfRange, at, n, static_cast<std::int64_t>(p.names.size()));
    }
    return n;
}

ObjectRef readRef(const Package& p, Cursor& c) {
    const std::uint64_t at = c.pos();
    const ObjectRef r{c.compact()};
    const bool inRange = r.isNone() || (r.isExport() && r.exportIndex() < p.exports.size()) ||
                         (r.isImport() && r.importIndex() < p.imports.size());
    if (c.ok() && !inRange) {
        c.fail(FailureKind::ObjectRefOutOfRange, at, r.raw,
               static_cast<std::int64_t>(r.isExport() ? p.exports.size() : p.imports.size()));
    }
    return r;
}

// An array of fixed-size items, each read by `one`.
template <typename T, typename ReadOne>
std::vector<T> readArray(Cursor& c, std::uint64_t minItemSize, ReadOne one) {
    const std::uint32_t n = c.count(minItemSize);
    std::vector<T> items;
    items.reserve(n); // checked against the bytes left by count()
    for (std::uint32_t i = 0; i < n && c.ok(); ++i) {
        items.push_back(one(c));
    }
    return items;
}

std::vector<std::uint16_t> readWords(Cursor& c) {
    return readArray<std::uint16_t>(c, 2, [](Cursor& k) { return k.u16(); });
}

// Field 3. The item size comes from the array's own end offset: 4 bytes a vertex for packed
// words, 8 for Deus Ex's; an empty array says nothing, and then only a clue from the package
// (its version, or imports of Deus Ex's packages) tells.
void readVerts(const Package& p, Cursor& c, Mesh& m) {
    const std::uint16_t version = p.header.version;
    const detail::LazyHead h = detail::readLazyHead(c, version, kPackedVertexBytes);
    if (!c.ok()) {
        return;
    }
    m.vertCount = h.count;
    std::uint64_t itemSize = kPackedVertexBytes;
    if (h.statedEnd >= 0) {
        const std::uint64_t span = static_cast<std::uint64_t>(h.statedEnd) - h.items;
        if (h.count == 0) {
            const bool wide = version == kGenerationsVersion && importsDeusExPackage(p);
            const bool packed = version != kGenerationsVersion;
            if (span != 0 || (!wide && !packed)) {
                c.fail(span != 0 ? FailureKind::LazyArrayEnd : FailureKind::UnknownVertexForm,
                       h.at, h.statedEnd, static_cast<std::int64_t>(h.items));
                return;
            }
            itemSize = wide ? kWideVertexBytes : kPackedVertexBytes;
        } else if (span == std::uint64_t{h.count} * kWideVertexBytes) {
            itemSize = kWideVertexBytes;
        } else if (span != std::uint64_t{h.count} * kPackedVertexBytes) {
            c.fail(FailureKind::UnknownVertexForm, h.at, static_cast<std::int64_t>(span / h.count),
                   static_cast<std::int64_t>(span));
            return;
        }
    }
    m.form = itemSize == kWideVertexBytes ? VertexForm::Wide : VertexForm::Packed;
    m.verts = c.take(std::uint64_t{h.count} * itemSize);
    detail::checkLazyEnd(c, h);
}

MeshTri readMeshTri(Cursor& c) {
    MeshTri t;
    for (auto& v : t.vertex) {
        v = c.u16();
    }
    for (std::size_t k = 0; k < 3; ++k) {
        t.u[k] = c.u8();
        t.v[k] = c.u8();
    }
    t.polyFlags = c.u32();
    t.textureIndex = c.i32();
    return t;
}

void readTris(const Package& p, Cursor& c, Mesh& m) {
    const detail::LazyHead h = detail::readLazyHead(c, p.header.version, kMeshTriSize);
    m.tris.reserve(h.count); // checked against the bytes left
    for (std::uint32_t i = 0; i < h.count && c.ok(); ++i) {
        m.tris.push_back(readMeshTri(c));
    }
    detail::checkLazyEnd(c, h);
}

Sequence readSequence(const Package& p, Cursor& c) {
    Sequence s;
    s.name = readName(p, c);
    s.group = readName(p, c);
    s.startFrame = c.i32();
    s.frameCount = c.i32();
    s.notifies = readArray<Notify>(c, kMinNotifySize, [&p](Cursor& k) {
        Notify n;
        n.time = k.f32();
        n.function = readName(p, k);
        return n;
    });
    s.rate = c.f32();
    return s;
}

// Field 9. A triangle's texture number is a byte in a `_d.3d` file, so no mesh has more than
// 256 slots; the limit keeps a damaged count from costing a record per byte of the object.
inline constexpr std::uint32_t kMaxTextureSlots = 256;

void readTextureSlots(const Package& p, Cursor& c, Mesh& m) {
    const std::uint64_t at = c.pos();
    const std::uint32_t n = c.count(1);
    if (c.ok() && n > kMaxTextureSlots) {
        c.fail(FailureKind::MeshCounts, at, n, kMaxTextureSlots);
        return;
    }
    m.textures.reserve(n);
    for (std::uint32_t i = 0; i < n && c.ok(); ++i) {
        const ObjectRef r = readRef(p, c);
        if (c.ok()) { // a reference out of range is not looked up
            m.textures.push_back(linkOf(p, r));
        }
    }
}

// Fields 1 to 18.
void readMeshFields(const Package& p, Cursor& c, Mesh& m) {
    const std::uint16_t version = p.header.version;
    m.bounds = readBox(c);
    m.sphere = readSphere(c, version);
    readVerts(p, c, m);
    readTris(p, c, m);
    m.sequences = readArray<Sequence>(c, kMinSequenceSize,
                                      [&p](Cursor& k) { return readSequence(p, k); });
    m.connects = detail::readLazyItems(c, version, 8, m.connectCount);
    m.bounds2 = readBox(c);
    m.sphere2 = readSphere(c, version);
    m.vertLinks = detail::readLazyItems(c, version, 4, m.vertLinkCount);
    readTextureSlots(p, c, m);
    m.frameBoxes = readArray<Box>(c, kBoxSize, readBox);
    m.frameSpheres = readArray<Sphere>(c, sphereSize(version),
                                       [version](Cursor& k) { return readSphere(k, version); });
    m.frameVerts = c.i32();
    m.frameCount = c.i32();
    m.andFlags = c.u32();
    m.orFlags = c.u32();
    m.scale = readVector(c);
    m.origin = readVector(c);
    m.rotation.pitch = c.i32();
    m.rotation.yaw = c.i32();
    m.rotation.roll = c.i32();
    m.currentPoly = c.i32();
    m.currentVertex = c.i32();
    if (version == kTextureLodFloatVersion) {
        m.textureLod.push_back(c.f32());
    } else if (version >= kTextureLodArrayVersion) {
        m.textureLod = readArray<float>(c, 4, [](Cursor& k) { return k.f32(); });
    }
}

// Fields 19 to 31.
void readLodFields(Cursor& c, LodData& d) {
    d.collapsePoints = readWords(c);
    d.faceLevels = readWords(c);
    d.faces = readArray<LodFace>(c, kLodFaceSize, [](Cursor& k) {
        LodFace f;
        for (auto& w : f.wedge) {
            w = k.u16();
        }
        f.material = k.u16();
        return f;
    });
    d.collapseWedges = readWords(c);
    d.wedges = readArray<LodWedge>(c, kLodWedgeSize, [](Cursor& k) {
        LodWedge w;
        w.vertex = k.u16();
        w.u = k.u8();
        w.v = k.u8();
        return w;
    });
    d.materials = readArray<LodMaterial>(c, kLodMaterialSize, [](Cursor& k) {
        LodMaterial mat;
        mat.polyFlags = k.u32();
        mat.textureIndex = k.i32();
        return mat;
    });
    d.specialFaces = readArray<LodSpecialFace>(c, kLodSpecialFaceSize, [](Cursor& k) {
        LodSpecialFace f;
        for (auto& v : f.vertex) {
            v = k.u16();
        }
        f.fourth = k.u16();
        return f;
    });
    d.modelVerts = c.i32();
    d.specialVerts = c.i32();
    d.maxScale = c.f32();
    d.lodHysteresis = c.f32();
    d.lodStrength = c.f32();
    d.lodMinVerts = c.i32();
    d.lodMorph = c.f32();
    d.lodZDisp = c.f32();
    d.remapAnimVerts = readWords(c);
    d.oldFrameVerts = c.i32();
}

} // namespace

MeshClass meshClassOf(std::string_view name) {
    if (sameName(name, "Mesh")) {
        return MeshClass::Mesh;
    }
    if (sameName(name, "LodMesh")) {
        return MeshClass::LodMesh;
    }
    if (sameName(name, "SkeletalMesh") || sameName(name, "StaticMesh") ||
        sameName(name, "SkeletalMeshInstance") || sameName(name, "LodMeshInstance")) {
        return MeshClass::NotAVertexMesh;
    }
    return MeshClass::NotAMesh;
}

MeshRead readMesh(const Package& p, std::size_t exportIndex) {
    MeshRead r;
    const ObjectRef self = exportRef(exportIndex);
    const std::string cls = className(p, self);
    const MeshClass kind = meshClassOf(cls);
    if (kind != MeshClass::Mesh && kind != MeshClass::LodMesh) {
        r.failure = detail::namedFailure(p, exportIndex,
                                         Failure{FailureKind::NotAVertexMesh, {}, 0, 0, 0, cls});
        return r;
    }
    if (p.header.licensee == kLicensee227) {
        r.failure = detail::namedFailure(
            p, exportIndex, Failure{FailureKind::Licensee227Mesh, {}, 4, p.header.licensee, 0, {}});
        return r;
    }
    Cursor c({}, 0, 0);
    if (std::optional<Failure> f = detail::openObject(p, exportIndex, c)) {
        r.failure = std::move(f);
        return r;
    }
    Mesh m;
    m.exportIndex = exportIndex;
    m.name = objectName(p, self);
    m.fullName = fullName(p, self);
    m.lod = kind == MeshClass::LodMesh;
    m.properties = detail::readProperties(p, c);
    readMeshFields(p, c, m);
    if (m.lod) {
        m.lodData.emplace();
        readLodFields(c, *m.lodData);
    }
    detail::checkAtEnd(c);
    if ((r.failure = detail::failureOf(p, exportIndex, c))) {
        return r;
    }
    if (std::optional<Failure> f = detail::checkMesh(m)) {
        r.failure = detail::namedFailure(p, exportIndex, *f);
        return r;
    }
    r.mesh = std::move(m);
    return r;
}

} // namespace meshfold::package
