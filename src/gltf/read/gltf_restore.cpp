// A file written by --to-gltf, restored byte for byte from the record it
// keeps in its mesh's extras while that record still describes the geometry.
#include "gltf/read/gltf_reader.h"

#include "meshfold/game/format.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>

namespace meshfold::gltf {

// --- a file written by --to-gltf, restored from its extras

const tinygltf::Value* member(const tinygltf::Value& v, const char* key) {
    return v.IsObject() && v.Has(key) ? &v.Get(key) : nullptr;
}

namespace {

std::optional<std::vector<std::uint8_t>> hexMember(const tinygltf::Value& v, const char* key) {
    const tinygltf::Value* s = member(v, key);
    if (s == nullptr || !s->IsString()) {
        return std::nullopt;
    }
    return fromHex(s->Get<std::string>());
}

} // namespace

std::optional<std::uint64_t> numberMember(const tinygltf::Value& v, const char* key) {
    const tinygltf::Value* s = member(v, key);
    if (s == nullptr || !s->IsNumber()) {
        return std::nullopt;
    }
    const double d = s->GetNumberAsDouble();
    if (!(d >= 0 && d <= 4294967295.0) || d != std::floor(d)) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(d);
}

namespace {

// The record --to-gltf keeps in mesh.extras (see gltf_common.h).
struct WrittenRecord {
    bool deusEx = false;
    std::uint64_t frameSize = 0;
    std::uint64_t vertexCount = 0; // N
    std::uint64_t polygons = 0;
    std::vector<std::uint8_t> tail, trailer, triangles, loose, vertexOf;
    std::string check;
};

std::optional<WrittenRecord> readRecord(const tinygltf::Value& x) {
    const tinygltf::Value* form = member(x, "form");
    const tinygltf::Value* check = member(x, "check");
    const auto frameSize = numberMember(x, "frameSize");
    const auto n = numberMember(x, "vertexCount");
    const auto polygons = numberMember(x, "polygonCount");
    auto tail = hexMember(x, "dataHeaderTail");
    auto trailer = hexMember(x, "dataTrailer");
    auto tris = hexMember(x, "triangles");
    auto loose = hexMember(x, "looseTriangles");
    auto vertexOf = hexMember(x, "vertexOf");
    if (form == nullptr || !form->IsString() || check == nullptr || !check->IsString() || !frameSize ||
        !n || !polygons || !tail || !trailer || !tris || !loose || !vertexOf) {
        return std::nullopt;
    }
    const std::string f = form->Get<std::string>();
    if ((f != "deusex" && f != "unreal") || *frameSize > kMaxFrameSize || *n > kMaxCount ||
        *polygons > kMaxCount || tail->size() != kDataHeaderTailSize || tris->size() != 4 * *polygons ||
        loose->size() % kTriangleRecordSize != 0 || vertexOf->size() % 2 != 0) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < vertexOf->size(); i += 2) {
        if (readLe16(vertexOf->data() + i) >= *n) {
            return std::nullopt;
        }
    }
    return WrittenRecord{f == "deusex", *frameSize,           *n,
                         *polygons,     std::move(*tail),     std::move(*trailer),
                         std::move(*tris), std::move(*loose), std::move(*vertexOf),
                         check->Get<std::string>()};
}

// positionsAndTrianglesChecksum() of the geometry as read: the base
// positions as float32, then every primitive's indices.
std::string geometryChecksum(const Model& m, const tinygltf::Mesh& mesh, const VertexSource& s) {
    Fnv1a64 sum;
    for (double d : s.base) {
        const float f = static_cast<float>(d);
        std::uint32_t bits;
        std::memcpy(&bits, &f, sizeof bits);
        sum.addLe32(bits);
    }
    for (const tinygltf::Primitive& p : mesh.primitives) {
        for (std::uint32_t i : readIndices(m, p, s.count, "the mesh")) {
            sum.addLe32(i);
        }
    }
    return checksumHex(sum);
}

} // namespace

MaterialCode writtenMaterial(const Model& m, int material) {
    MaterialCode code = materialCode(m, material);
    const tinygltf::Value* x =
        material >= 0 ? member(m.materials[static_cast<std::size_t>(material)].extras,
                               std::string(kGltfExtrasKey).c_str())
                      : nullptr;
    if (x != nullptr) {
        const std::uint64_t texture = numberMember(*x, "texture").value_or(256);
        const std::uint64_t type = numberMember(*x, "type").value_or(256);
        code.texture = texture < 256 ? static_cast<std::uint8_t>(texture) : code.texture;
        code.type = type < 256 ? static_cast<std::uint8_t>(type) : code.type;
    }
    return code;
}

namespace {

// The record of the next triangle of primitive `p`, corners (a, c, b) of
// its glTF corners, each a mesh vertex.
void writtenTriangle(const Model& m, const Primitive& p, const std::uint32_t* c, const WrittenRecord& r,
                     const std::uint8_t* entry, std::uint8_t* rec) {
    const std::uint32_t stored[3] = {c[0], c[2], c[1]};
    const MaterialCode code = writtenMaterial(m, p.material);
    std::size_t wrapped = 0;
    for (std::size_t k = 0; k < 3; ++k) {
        const std::uint32_t i = stored[k];
        writeLe16(rec + kTriVertexOffset + 2 * k,
                  static_cast<std::uint16_t>(i < r.vertexCount ? i : readLe16(r.vertexOf.data() + 2 * (i - r.vertexCount))));
        if (!p.uv.empty()) {
            rec[kTriUvOffset + 2 * k] = uvByte(p.uv[i * 2], wrapped);
            rec[kTriUvOffset + 2 * k + 1] = uvByte(p.uv[i * 2 + 1], wrapped);
        }
    }
    rec[kTriAttr0Offset] = code.type;
    rec[kTriAttr1Offset] = entry[2];
    rec[kTriAttr2Offset] = code.texture;
    rec[kTriAttr3Offset] = entry[3];
}

// The whole data file the record and the primitives describe; empty when
// its triangles do not match the primitives'.
std::vector<std::uint8_t> writtenDataFile(const Model& m, const Geometry& g, const WrittenRecord& r) {
    std::vector<std::uint8_t> data(kDataHeaderSize);
    writeLe16(data.data(), static_cast<std::uint16_t>(r.polygons));
    writeLe16(data.data() + 2, static_cast<std::uint16_t>(r.vertexCount));
    std::copy(r.tail.begin(), r.tail.end(), data.begin() + kDataCountsSize);
    std::vector<std::size_t> next(g.primitives.size(), 0);
    std::size_t looseAt = 0;
    for (std::size_t t = 0; t < r.polygons; ++t) {
        const std::uint8_t* entry = r.triangles.data() + 4 * t;
        const std::uint16_t prim = readLe16(entry);
        std::uint8_t rec[kTriangleRecordSize] = {};
        if (prim == kLooseTriangle) {
            if (looseAt + kTriangleRecordSize > r.loose.size()) {
                return {};
            }
            std::copy_n(r.loose.begin() + static_cast<std::ptrdiff_t>(looseAt), kTriangleRecordSize, rec);
            looseAt += kTriangleRecordSize;
        } else {
            if (prim >= g.primitives.size() || next[prim] + 3 > g.primitives[prim].corners.size()) {
                return {};
            }
            writtenTriangle(m, g.primitives[prim], g.primitives[prim].corners.data() + next[prim], r, entry, rec);
            next[prim] += 3;
        }
        data.insert(data.end(), rec, rec + kTriangleRecordSize);
    }
    for (std::size_t p = 0; p < next.size(); ++p) {
        if (next[p] != g.primitives[p].corners.size()) {
            return {};
        }
    }
    data.insert(data.end(), r.trailer.begin(), r.trailer.end());
    return data;
}

// Frame 0 the base positions, frame k morph target k - 1 added: the first N
// glTF vertices, which are the mesh's vertices.
std::vector<float> writtenFrames(const VertexSource& s, std::size_t frames, std::size_t n) {
    std::vector<float> positions;
    positions.reserve(frames * n * 3);
    for (std::size_t f = 0; f < frames; ++f) {
        for (std::size_t v = 0; v < n; ++v) {
            double p[3];
            for (std::size_t c = 0; c < 3; ++c) {
                p[c] = s.base[v * 3 + c] + (f == 0 ? 0.0 : s.targets[f - 1][v * 3 + c]);
            }
            positions.insert(positions.end(), {static_cast<float>(p[0]), static_cast<float>(p[2]),
                                               static_cast<float>(p[1])});
        }
    }
    return positions;
}

// The animations of a file written by --to-gltf as sequences: each shows
// its key count of frames from the frame its first key shows (the first
// sparse weight names it: index i < targets weighing 1 is target i, frame
// i + 1), at
// the rate of its keys. Empty when an animation is not of that shape.
std::vector<GltfSequence> writtenSequences(const Model& m, std::size_t frames, double fps) {
    std::vector<GltfSequence> seqs;
    const std::size_t targets = frames - 1;
    for (const tinygltf::Animation& a : m.animations) {
        if (a.channels.size() != 1 || a.samplers.size() != 1 || a.channels[0].target_path != "weights") {
            return {};
        }
        const Values times = readAccessor(m, a.samplers[0].input, {TINYGLTF_TYPE_SCALAR}, "an animation's times");
        const int out = a.samplers[0].output;
        if (times.count == 0 || out < 0 || static_cast<std::size_t>(out) >= m.accessors.size()) {
            return {};
        }
        const tinygltf::Accessor& w = m.accessors[static_cast<std::size_t>(out)];
        std::size_t first = 0;
        if (w.sparse.isSparse && w.sparse.count > 0 && w.sparse.indices.byteOffset >= 0 &&
            isIndexType(w.sparse.indices.componentType)) {
            std::vector<double> at;
            readElements(m, w.sparse.indices.bufferView, static_cast<std::size_t>(w.sparse.indices.byteOffset), 1,
                         1, w.sparse.indices.componentType, false, "an animation's weights", at);
            std::vector<double> weight;
            readElements(m, w.sparse.values.bufferView, static_cast<std::size_t>(std::max(w.sparse.values.byteOffset, 0)),
                         1, 1, w.componentType, w.normalized, "an animation's weights", weight);
            // A weight of 0 at key 0 stands in for none: the clip of frame 0 alone.
            first = at[0] < static_cast<double>(targets) && weight[0] != 0 ? static_cast<std::size_t>(at[0]) + 1 : 0;
        }
        if (first + times.count > frames) {
            return {};
        }
        const double span = times.data.back() - times.data.front();
        GltfSequence q{a.name, static_cast<std::uint32_t>(first), static_cast<std::uint32_t>(times.count)};
        q.rate = times.count > 1 && span > 0 ? static_cast<double>(times.count - 1) / span : fps;
        seqs.push_back(std::move(q));
    }
    return seqs;
}

} // namespace

// Restores a file written by --to-gltf from its record. Returns why the
// record cannot be used, or empty when it was.
std::string restore(const Model& m, const Geometry& g, double fps, GltfRead& out) {
    if (g.instances.size() != 1 || g.sources.size() != 1) {
        return "the file holds more than the one mesh they were written for";
    }
    const tinygltf::Mesh& mesh = m.meshes[static_cast<std::size_t>(g.instances[0].mesh)];
    const std::optional<WrittenRecord> r = readRecord(*member(mesh.extras, std::string(kGltfExtrasKey).c_str()));
    if (!r) {
        return "they are incomplete";
    }
    const VertexSource& s = g.sources[0];
    const std::size_t frames = s.targets.size() + 1;
    if (geometryChecksum(m, mesh, s) != r->check || s.count != r->vertexCount + r->vertexOf.size() / 2 ||
        g.primitives.size() != mesh.primitives.size() || frames > kMaxCount) {
        return "the geometry changed since they were written";
    }
    std::vector<std::uint8_t> data = writtenDataFile(m, g, *r);
    if (data.empty()) {
        return "their triangles do not match the file's";
    }
    out.frameCount = static_cast<std::uint32_t>(frames);
    out.vertexCount = static_cast<std::uint32_t>(r->vertexCount);
    out.positions = writtenFrames(s, frames, r->vertexCount);
    out.sequences = writtenSequences(m, frames, fps);
    out.restored = GltfRestored{r->deusEx, static_cast<std::uint16_t>(r->frameSize), std::move(data)};
    return {};
}

bool hasExtras(const Model& m, const Geometry& g) {
    for (const Instance& i : g.instances) {
        if (member(m.meshes[static_cast<std::size_t>(i.mesh)].extras, std::string(kGltfExtrasKey).c_str())) {
            return true;
        }
    }
    return false;
}

} // namespace meshfold::gltf
