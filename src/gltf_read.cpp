// The glTF reader: tinygltf parses, everything after it is checked here.
#include "meshfold/gltf_read.h"

#include "meshfold/format.h"
#include "meshfold/gltf_common.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <unordered_map>

#define TINYGLTF_IMPLEMENTATION
#define TINYGLTF_NO_STB_IMAGE
#define TINYGLTF_NO_STB_IMAGE_WRITE
#define TINYGLTF_NO_EXTERNAL_IMAGE
#define TINYGLTF_NO_FS
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wshadow"
#pragma GCC diagnostic ignored "-Wunused-parameter"
#pragma GCC diagnostic ignored "-Wpedantic"
#endif
#include <tiny_gltf.h>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
#include <nlohmann/json.hpp>

namespace meshfold {

namespace {

constexpr std::uint32_t kMaxCount = 65535;
// An accessor without a buffer view is all zeros; none may claim more values
// than any game mesh could use.
constexpr std::uint64_t kMaxUnbackedValues = std::uint64_t{1} << 22;
// Positions held while sampling, 12 bytes each: frames x glTF vertices, at
// most 1.5 GiB. A file that needs more (2048 glTF vertices in each of 65535
// frames) is refused as too large rather than left to exhaust memory.
constexpr std::uint64_t kMaxSampledVertices = std::uint64_t{1} << 27;
// Key times closer than this to a sample are that key.
constexpr double kKeySnap = 1e-6;

using Model = tinygltf::Model;

// --- small linear algebra: column-major 4x4 matrices, quaternions (x, y, z, w)

using Mat4 = std::array<double, 16>;
using Vec3 = std::array<double, 3>;
using Quat = std::array<double, 4>;

constexpr Mat4 kIdentity = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

Mat4 multiply(const Mat4& a, const Mat4& b) {
    Mat4 m{};
    for (int c = 0; c < 4; ++c) {
        for (int r = 0; r < 4; ++r) {
            double s = 0;
            for (int k = 0; k < 4; ++k) {
                s += a[k * 4 + r] * b[c * 4 + k];
            }
            m[c * 4 + r] = s;
        }
    }
    return m;
}

Vec3 transformPoint(const Mat4& m, const Vec3& p) {
    return {m[0] * p[0] + m[4] * p[1] + m[8] * p[2] + m[12],
            m[1] * p[0] + m[5] * p[1] + m[9] * p[2] + m[13],
            m[2] * p[0] + m[6] * p[1] + m[10] * p[2] + m[14]};
}

double determinant3(const Mat4& m) {
    return m[0] * (m[5] * m[10] - m[9] * m[6]) - m[4] * (m[1] * m[10] - m[9] * m[2]) +
           m[8] * (m[1] * m[6] - m[5] * m[2]);
}

Quat normalized(Quat q) {
    const double len = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
    if (!(len > 0) || !std::isfinite(len)) {
        return {0, 0, 0, 1};
    }
    for (double& c : q) {
        c /= len;
    }
    return q;
}

// Below this angle (radians) between two unit quaternions, linear
// interpolation differs from spherical by less than double precision holds.
constexpr double kLinearBelow = 1e-9;

// Spherical interpolation of unit quaternions, exact down to the closest
// keys: the angle comes from atan2 of the chord and its complement, which
// keeps its precision where acos of the dot product loses it.
Quat slerp(const Quat& a, Quat b, double s) {
    const double d = a[0] * b[0] + a[1] * b[1] + a[2] * b[2] + a[3] * b[3];
    if (d < 0) { // the shorter way round
        for (double& c : b) {
            c = -c;
        }
    }
    double apart = 0;
    double together = 0;
    for (int c = 0; c < 4; ++c) {
        apart += (a[c] - b[c]) * (a[c] - b[c]);
        together += (a[c] + b[c]) * (a[c] + b[c]);
    }
    const double theta = 2 * std::atan2(std::sqrt(apart), std::sqrt(together));
    double wa = 1 - s;
    double wb = s;
    if (theta >= kLinearBelow) {
        const double sinTheta = std::sin(theta);
        wa = std::sin((1 - s) * theta) / sinTheta;
        wb = std::sin(s * theta) / sinTheta;
    }
    return normalized({wa * a[0] + wb * b[0], wa * a[1] + wb * b[1], wa * a[2] + wb * b[2],
                       wa * a[3] + wb * b[3]});
}

// T * R * S.
Mat4 composeTrs(const Vec3& t, const Quat& r, const Vec3& s) {
    const double x = r[0], y = r[1], z = r[2], w = r[3];
    Mat4 m = {1 - 2 * (y * y + z * z), 2 * (x * y + z * w),     2 * (x * z - y * w),     0,
              2 * (x * y - z * w),     1 - 2 * (x * x + z * z), 2 * (y * z + x * w),     0,
              2 * (x * z + y * w),     2 * (y * z - x * w),     1 - 2 * (x * x + y * y), 0,
              t[0],                    t[1],                    t[2],                    1};
    for (int c = 0; c < 3; ++c) {
        for (int r2 = 0; r2 < 3; ++r2) {
            m[c * 4 + r2] *= s[c];
        }
    }
    return m;
}

// --- failures

struct ReadError {
    GltfFailure failure;
};

[[noreturn]] void refuse(GltfProblem problem, std::string detail) {
    throw ReadError{{problem, std::move(detail)}};
}

[[noreturn]] void damaged(std::string detail) {
    refuse(GltfProblem::Damaged, std::move(detail));
}

std::string num(std::size_t n) {
    return std::to_string(n);
}

// --- accessors, each checked against the bytes really there

// The component types an index may have: unsigned integers.
bool isIndexType(int type) {
    return type == TINYGLTF_COMPONENT_TYPE_UNSIGNED_BYTE ||
           type == TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT ||
           type == TINYGLTF_COMPONENT_TYPE_UNSIGNED_INT;
}

std::size_t componentSize(int type) {
    switch (type) {
    case TINYGLTF_COMPONENT_TYPE_BYTE:
    case TINYGLTF_COMPONENT_TYPE_UNSIGNED_BYTE:
        return 1;
    case TINYGLTF_COMPONENT_TYPE_SHORT:
    case TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT:
        return 2;
    case TINYGLTF_COMPONENT_TYPE_UNSIGNED_INT:
    case TINYGLTF_COMPONENT_TYPE_FLOAT:
        return 4;
    default:
        return 0;
    }
}

std::size_t componentCount(int type) {
    switch (type) {
    case TINYGLTF_TYPE_SCALAR:
        return 1;
    case TINYGLTF_TYPE_VEC2:
        return 2;
    case TINYGLTF_TYPE_VEC3:
        return 3;
    case TINYGLTF_TYPE_VEC4:
    case TINYGLTF_TYPE_MAT2:
        return 4;
    case TINYGLTF_TYPE_MAT3:
        return 9;
    case TINYGLTF_TYPE_MAT4:
        return 16;
    default:
        return 0;
    }
}

double decodeComponent(const std::uint8_t* p, int type, bool normalize) {
    switch (type) {
    case TINYGLTF_COMPONENT_TYPE_BYTE: {
        const double c = static_cast<std::int8_t>(p[0]);
        return normalize ? std::max(c / 127.0, -1.0) : c;
    }
    case TINYGLTF_COMPONENT_TYPE_UNSIGNED_BYTE:
        return normalize ? p[0] / 255.0 : p[0];
    case TINYGLTF_COMPONENT_TYPE_SHORT: {
        const double c = static_cast<std::int16_t>(readLe16(p));
        return normalize ? std::max(c / 32767.0, -1.0) : c;
    }
    case TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT:
        return normalize ? readLe16(p) / 65535.0 : readLe16(p);
    case TINYGLTF_COMPONENT_TYPE_UNSIGNED_INT:
        return readLe32(p);
    default: {
        const std::uint32_t bits = readLe32(p);
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return f;
    }
    }
}

// The bytes a buffer view covers, checked against its buffer.
std::span<const std::uint8_t> viewBytes(const Model& m, int index, const std::string& what) {
    if (index < 0 || static_cast<std::size_t>(index) >= m.bufferViews.size()) {
        damaged(what + " names buffer view " + std::to_string(index) + ", which does not exist");
    }
    const tinygltf::BufferView& v = m.bufferViews[static_cast<std::size_t>(index)];
    if (v.buffer < 0 || static_cast<std::size_t>(v.buffer) >= m.buffers.size()) {
        damaged("buffer view " + std::to_string(index) + " names a buffer that does not exist");
    }
    const std::vector<unsigned char>& data = m.buffers[static_cast<std::size_t>(v.buffer)].data;
    if (v.byteOffset > data.size() || v.byteLength > data.size() - v.byteOffset) {
        damaged("buffer view " + std::to_string(index) + " reaches past the end of its buffer");
    }
    return {data.data() + v.byteOffset, v.byteLength};
}

// Reads `count` elements of `components` values each from a buffer view at
// `offset`, into `out` (appending), checking every byte is there.
void readElements(const Model& m, int viewIndex, std::size_t offset, std::size_t count,
                  std::size_t components, int componentType, bool normalize,
                  const std::string& what, std::vector<double>& out) {
    const std::span<const std::uint8_t> bytes = viewBytes(m, viewIndex, what);
    const std::size_t size = componentSize(componentType);
    const std::size_t element = size * components;
    const std::size_t declared =
        static_cast<std::size_t>(m.bufferViews[static_cast<std::size_t>(viewIndex)].byteStride);
    const std::size_t stride = declared == 0 ? element : declared;
    if (element == 0) {
        // A component type glTF does not have, or elements of no values:
        // nothing to step through.
        damaged(what + " has a component type it cannot have");
    }
    if (stride < element) {
        damaged(what + ": its buffer view's stride is smaller than one element");
    }
    if (count > 0) {
        if (offset > bytes.size() || element > bytes.size() - offset ||
            count - 1 > (bytes.size() - offset - element) / stride) {
            damaged(what + " holds " + num(count) + " values, more than its buffer view has room for");
        }
    }
    out.reserve(out.size() + count * components);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* p = bytes.data() + offset + i * stride;
        for (std::size_t c = 0; c < components; ++c) {
            out.push_back(decodeComponent(p + c * size, componentType, normalize));
        }
    }
}

struct Values {
    std::size_t count = 0;      // elements
    std::size_t components = 0; // values an element
    std::vector<double> data;   // count x components
    int componentType = 0;
};

// Every value of accessor `index`, sparse substitutions applied. `types`
// lists the element types it may have.
Values readAccessor(const Model& m, int index, std::initializer_list<int> types,
                    const std::string& what) {
    if (index < 0 || static_cast<std::size_t>(index) >= m.accessors.size()) {
        damaged(what + " names accessor " + std::to_string(index) + ", which does not exist");
    }
    const tinygltf::Accessor& a = m.accessors[static_cast<std::size_t>(index)];
    const std::string name = what + " (accessor " + std::to_string(index) + ")";
    if (std::find(types.begin(), types.end(), a.type) == types.end() ||
        componentSize(a.componentType) == 0) {
        damaged(name + " has a type it cannot have");
    }
    Values v;
    v.count = a.count;
    v.components = componentCount(a.type);
    v.componentType = a.componentType;
    const bool normalize = a.normalized && a.componentType != TINYGLTF_COMPONENT_TYPE_FLOAT;
    if (a.bufferView >= 0) {
        readElements(m, a.bufferView, a.byteOffset, a.count, v.components, a.componentType,
                     normalize, name, v.data);
    } else {
        if (std::uint64_t{a.count} * v.components > kMaxUnbackedValues) {
            refuse(GltfProblem::TooLarge, name + " claims " + num(a.count * v.components) + " values");
        }
        v.data.assign(a.count * v.components, 0.0);
    }
    if (a.sparse.isSparse) {
        const auto n = static_cast<std::size_t>(std::max(a.sparse.count, 0));
        if (a.sparse.count < 1 || n > a.count || a.sparse.indices.byteOffset < 0 ||
            a.sparse.values.byteOffset < 0 || !isIndexType(a.sparse.indices.componentType)) {
            damaged(name + " has a sparse part that does not fit it");
        }
        std::vector<double> at;
        readElements(m, a.sparse.indices.bufferView,
                     static_cast<std::size_t>(a.sparse.indices.byteOffset), n, 1,
                     a.sparse.indices.componentType, false, name + "'s sparse indices", at);
        std::vector<double> values;
        readElements(m, a.sparse.values.bufferView,
                     static_cast<std::size_t>(a.sparse.values.byteOffset), n, v.components,
                     a.componentType, normalize, name + "'s sparse values", values);
        for (std::size_t i = 0; i < n; ++i) {
            if (!(at[i] >= 0 && at[i] < static_cast<double>(a.count))) {
                damaged(name + " has a sparse index past its end");
            }
            std::copy_n(values.begin() + static_cast<std::ptrdiff_t>(i * v.components), v.components,
                        v.data.begin() + static_cast<std::ptrdiff_t>(static_cast<std::size_t>(at[i]) * v.components));
        }
    }
    for (double d : v.data) {
        if (!std::isfinite(d)) {
            damaged(name + " holds a value that is not a finite number");
        }
    }
    return v;
}

// --- the file and its resources

struct LoadContext {
    const GltfResources* resources = nullptr;
    GltfFailure failure; // the first reference refused
    std::map<std::string, std::vector<std::uint8_t>> fetched;
};

std::string expandPath(const std::string& path, void*) {
    return path;
}

bool fileExists(const std::string& path, void* user) {
    auto& ctx = *static_cast<LoadContext*>(user);
    // tinygltf tries the reference as written, then "./" and the reference.
    const std::string uri = path.rfind("./", 0) == 0 ? path.substr(2) : path;
    const std::string rel = gltfResourcePath(uri);
    if (rel.empty()) {
        if (ctx.failure.problem == GltfProblem::None) {
            ctx.failure = {GltfProblem::OutsideFolder, uri};
        }
        return false;
    }
    if (ctx.fetched.count(path) != 0) {
        return true;
    }
    std::vector<std::uint8_t> bytes;
    if (!(*ctx.resources)(rel, bytes)) {
        if (ctx.failure.problem == GltfProblem::None) {
            ctx.failure = {GltfProblem::MissingResource, rel};
        }
        return false;
    }
    ctx.fetched[path] = std::move(bytes);
    return true;
}

bool readWholeFile(std::vector<unsigned char>* out, std::string*, const std::string& path, void* user) {
    auto& ctx = *static_cast<LoadContext*>(user);
    const auto it = ctx.fetched.find(path);
    if (it == ctx.fetched.end()) {
        return false;
    }
    out->assign(it->second.begin(), it->second.end());
    return true;
}

bool writeWholeFile(std::string*, const std::string&, const std::vector<unsigned char>&, void*) {
    return false;
}

bool noImages(tinygltf::Image*, const int, std::string*, std::string*, int, int,
              const unsigned char*, int, void*) {
    return true;
}

// Extensions a file may require: none of them moves a vertex.
bool harmlessExtension(const std::string& name) {
    return name == "KHR_mesh_quantization" || name == "KHR_texture_transform" ||
           name == "KHR_lights_punctual" || name == "KHR_texture_basisu" ||
           name == "EXT_texture_webp" || name == "KHR_materials_emissive_strength" ||
           name.rfind("KHR_materials_", 0) == 0;
}

// A .glb: a header (magic, version, length), then chunks of a length, a
// type and that many bytes, the first of them the JSON.
constexpr std::size_t kGlbHeaderSize = 12;
constexpr std::size_t kGlbChunkHeaderSize = 8;
constexpr std::uint32_t kGlbJsonChunk = 0x4E4F534A; // "JSON"

// The JSON of a .glb (its first chunk, when whole) or of a .gltf (the whole
// file); empty when a .glb has no whole JSON chunk.
std::span<const std::uint8_t> jsonText(std::span<const std::uint8_t> file, bool binary) {
    if (!binary) {
        return file;
    }
    if (file.size() < kGlbHeaderSize + kGlbChunkHeaderSize ||
        readLe32(file.data() + kGlbHeaderSize + 4) != kGlbJsonChunk) {
        return {};
    }
    const std::uint32_t length = readLe32(file.data() + kGlbHeaderSize);
    if (length > file.size() - kGlbHeaderSize - kGlbChunkHeaderSize) {
        return {};
    }
    return file.subspan(kGlbHeaderSize + kGlbChunkHeaderSize, length);
}

// The mesh compression extension `json` requires, or "". Asked before the
// library reads the file: compressed meshes break its checks first (Draco's
// accessors have no buffer view, meshopt's fallback buffer has no bytes),
// and the file would be called damaged for what it does on purpose.
std::string requiredCompression(std::span<const std::uint8_t> json) {
    static constexpr std::array<std::string_view, 2> kCompression = {"KHR_draco_mesh_compression",
                                                                     "EXT_meshopt_compression"};
    const std::string_view text(reinterpret_cast<const char*>(json.data()), json.size());
    if (std::none_of(kCompression.begin(), kCompression.end(),
                     [&](std::string_view name) { return text.find(name) != std::string_view::npos; })) {
        return {}; // named nowhere: no need to parse
    }
    const nlohmann::json doc = nlohmann::json::parse(text.begin(), text.end(), nullptr, false);
    const auto required = doc.is_object() ? doc.find("extensionsRequired") : doc.end();
    if (!doc.is_object() || required == doc.end() || !required->is_array()) {
        return {};
    }
    for (const nlohmann::json& e : *required) {
        for (std::string_view name : kCompression) {
            if (e.is_string() && e.get_ref<const std::string&>() == name) {
                return std::string(name);
            }
        }
    }
    return {};
}

Model loadModel(std::span<const std::uint8_t> file, const GltfResources& resources) {
    const bool binary = file.size() >= 4 && std::memcmp(file.data(), "glTF", 4) == 0;
    std::size_t start = 0;
    while (!binary && start < file.size() && std::isspace(file[start])) {
        ++start;
    }
    if (!binary && (start == file.size() || file[start] != '{')) {
        refuse(GltfProblem::NotGltf, {});
    }
    if (const std::string compression = requiredCompression(jsonText(file, binary)); !compression.empty()) {
        refuse(GltfProblem::Compressed, compression);
    }
    LoadContext ctx;
    ctx.resources = &resources;
    tinygltf::TinyGLTF loader;
    loader.SetFsCallbacks({&fileExists, &expandPath, &readWholeFile, &writeWholeFile, &ctx});
    loader.SetImageLoader(&noImages, nullptr);
    Model model;
    std::string err;
    std::string warn;
    bool ok = false;
    try {
        ok = binary ? loader.LoadBinaryFromMemory(&model, &err, &warn, file.data(),
                                                  static_cast<unsigned int>(std::min<std::size_t>(
                                                      file.size(), std::numeric_limits<unsigned int>::max())))
                    : loader.LoadASCIIFromString(&model, &err, &warn,
                                                 reinterpret_cast<const char*>(file.data()),
                                                 static_cast<unsigned int>(std::min<std::size_t>(
                                                     file.size(), std::numeric_limits<unsigned int>::max())),
                                                 "");
    } catch (const std::exception& e) {
        err = e.what();
    }
    if (ctx.failure.problem != GltfProblem::None) {
        throw ReadError{ctx.failure};
    }
    if (!ok) {
        // The library's own words, as one clause of our message: its first
        // line, without the full stop that our " !" follows.
        std::string first = err.substr(0, err.find('\n'));
        while (!first.empty() && (first.back() == '.' || first.back() == ' ' || first.back() == '\r')) {
            first.pop_back();
        }
        refuse(binary || !model.asset.version.empty() ? GltfProblem::Damaged : GltfProblem::NotGltf,
               first);
    }
    if (model.asset.version.rfind("2.", 0) != 0) {
        refuse(GltfProblem::NotGltf, "version " + model.asset.version);
    }
    for (const std::string& e : model.extensionsRequired) {
        if (!harmlessExtension(e)) {
            refuse(GltfProblem::Extension, e);
        }
    }
    return model;
}

// --- the scene's structure

struct Instance {
    int node = -1;
    int mesh = -1;
};

// Parents of every node (-1 for roots), refusing a node that is the child
// of two nodes or of itself through others.
std::vector<int> parentsOf(const Model& m) {
    std::vector<int> parent(m.nodes.size(), -1);
    for (std::size_t n = 0; n < m.nodes.size(); ++n) {
        for (int c : m.nodes[n].children) {
            if (c < 0 || static_cast<std::size_t>(c) >= m.nodes.size()) {
                damaged("node " + num(n) + " has a child that does not exist");
            }
            if (parent[static_cast<std::size_t>(c)] != -1 || static_cast<std::size_t>(c) == n) {
                damaged("node " + std::to_string(c) + " has more than one parent");
            }
            parent[static_cast<std::size_t>(c)] = static_cast<int>(n);
        }
    }
    for (std::size_t n = 0; n < m.nodes.size(); ++n) { // no cycles: every chain reaches a root
        std::size_t steps = 0;
        for (int p = parent[n]; p != -1; p = parent[static_cast<std::size_t>(p)]) {
            if (++steps > m.nodes.size()) {
                damaged("the node hierarchy has a cycle");
            }
        }
    }
    return parent;
}

// Every node, parents before children: the order world transforms are built in.
std::vector<int> topologicalOrder(const Model& m, const std::vector<int>& parent) {
    std::vector<int> order;
    order.reserve(m.nodes.size());
    std::vector<int> stack;
    for (std::size_t n = 0; n < m.nodes.size(); ++n) {
        if (parent[n] == -1) {
            stack.push_back(static_cast<int>(n));
        }
    }
    while (!stack.empty()) {
        const int n = stack.back();
        stack.pop_back();
        order.push_back(n);
        const auto& kids = m.nodes[static_cast<std::size_t>(n)].children;
        for (auto it = kids.rbegin(); it != kids.rend(); ++it) {
            stack.push_back(*it);
        }
    }
    return order;
}

// The mesh instances of the scene, in depth-first order of its nodes.
std::vector<Instance> sceneInstances(const Model& m, const std::vector<int>& parent) {
    std::vector<int> roots;
    const int scene = m.defaultScene >= 0 ? m.defaultScene : 0;
    if (!m.scenes.empty()) {
        if (static_cast<std::size_t>(scene) >= m.scenes.size()) {
            damaged("the default scene does not exist");
        }
        roots = m.scenes[static_cast<std::size_t>(scene)].nodes;
    } else {
        for (std::size_t n = 0; n < m.nodes.size(); ++n) {
            if (parent[n] == -1) {
                roots.push_back(static_cast<int>(n));
            }
        }
    }
    std::vector<Instance> out;
    std::vector<int> stack(roots.rbegin(), roots.rend());
    std::vector<bool> seen(m.nodes.size(), false);
    while (!stack.empty()) {
        const int n = stack.back();
        stack.pop_back();
        if (n < 0 || static_cast<std::size_t>(n) >= m.nodes.size()) {
            damaged("the scene names a node that does not exist");
        }
        if (seen[static_cast<std::size_t>(n)]) {
            damaged("the scene holds node " + std::to_string(n) + " twice");
        }
        seen[static_cast<std::size_t>(n)] = true;
        const tinygltf::Node& node = m.nodes[static_cast<std::size_t>(n)];
        if (node.mesh >= 0) {
            if (static_cast<std::size_t>(node.mesh) >= m.meshes.size()) {
                damaged("node " + std::to_string(n) + " names a mesh that does not exist");
            }
            out.push_back({n, node.mesh});
        }
        for (auto it = node.children.rbegin(); it != node.children.rend(); ++it) {
            stack.push_back(*it);
        }
    }
    return out;
}

// --- geometry of the instances

// The vertices one primitive (or several sharing them) draws from.
struct VertexSource {
    int instance = -1;
    std::size_t count = 0;
    std::vector<double> base;                 // count x 3
    std::vector<std::vector<double>> targets; // per morph target: count x 3 deltas
    std::vector<std::uint32_t> joints;        // count x influences
    std::vector<double> weights;              // count x influences
    std::size_t influences = 0;
    std::size_t firstVertex = 0; // its first vertex among all glTF vertices
};

struct Primitive {
    std::size_t source = 0;
    std::vector<std::uint32_t> corners; // 3 per triangle, indices into its source
    std::vector<double> uv;             // per source vertex: u, v (empty: none)
    int material = -1;
};

struct Geometry {
    std::vector<Instance> instances;
    std::vector<VertexSource> sources;
    std::vector<Primitive> primitives;
    std::size_t vertices = 0; // over every source
};

std::vector<std::uint32_t> readIndices(const Model& m, const tinygltf::Primitive& p,
                                       std::size_t vertexCount, const std::string& what) {
    std::vector<std::uint32_t> idx;
    if (p.indices < 0) {
        idx.resize(vertexCount);
        for (std::size_t i = 0; i < vertexCount; ++i) {
            idx[i] = static_cast<std::uint32_t>(i);
        }
        return idx;
    }
    const Values v = readAccessor(m, p.indices, {TINYGLTF_TYPE_SCALAR}, what + "'s indices");
    if (v.componentType == TINYGLTF_COMPONENT_TYPE_FLOAT || v.componentType == TINYGLTF_COMPONENT_TYPE_BYTE ||
        v.componentType == TINYGLTF_COMPONENT_TYPE_SHORT) {
        damaged(what + "'s indices are not unsigned integers");
    }
    idx.reserve(v.count);
    for (double d : v.data) {
        if (d >= static_cast<double>(vertexCount)) {
            damaged(what + " has an index past its last vertex");
        }
        idx.push_back(static_cast<std::uint32_t>(d));
    }
    return idx;
}

// Triangles of a list, strip or fan, as corner triples.
std::vector<std::uint32_t> triangulate(const std::vector<std::uint32_t>& idx, int mode) {
    std::vector<std::uint32_t> c;
    const std::size_t n = idx.size();
    if (mode == TINYGLTF_MODE_TRIANGLES) {
        c.assign(idx.begin(), idx.begin() + static_cast<std::ptrdiff_t>(n - n % 3));
    } else if (mode == TINYGLTF_MODE_TRIANGLE_STRIP) {
        for (std::size_t i = 0; i + 2 < n; ++i) { // every other one turned to keep its facing
            const std::size_t odd = i % 2;
            c.insert(c.end(), {idx[i], idx[i + 1 + odd], idx[i + 2 - odd]});
        }
    } else {
        for (std::size_t i = 1; i + 1 < n; ++i) {
            c.insert(c.end(), {idx[i], idx[i + 1], idx[0]});
        }
    }
    return c;
}

std::string attributeKey(const tinygltf::Primitive& p, std::size_t instance) {
    std::string key = std::to_string(instance);
    for (const auto& [name, index] : p.attributes) {
        if (name == "POSITION" || name.rfind("JOINTS_", 0) == 0 || name.rfind("WEIGHTS_", 0) == 0) {
            key += " " + name + "=" + std::to_string(index);
        }
    }
    for (const auto& t : p.targets) {
        const auto it = t.find("POSITION");
        key += " T" + std::to_string(it == t.end() ? -1 : it->second);
    }
    return key;
}

// Joints and weights of every JOINTS_n / WEIGHTS_n pair.
void readSkinAttributes(const Model& m, const tinygltf::Primitive& p, VertexSource& s,
                        const std::string& what) {
    for (std::size_t set = 0;; ++set) {
        const auto j = p.attributes.find("JOINTS_" + num(set));
        const auto w = p.attributes.find("WEIGHTS_" + num(set));
        if (j == p.attributes.end() || w == p.attributes.end()) {
            break;
        }
        const Values jv = readAccessor(m, j->second, {TINYGLTF_TYPE_VEC4}, what + "'s joints");
        const Values wv = readAccessor(m, w->second, {TINYGLTF_TYPE_VEC4}, what + "'s weights");
        if (jv.count != s.count || wv.count != s.count) {
            damaged(what + "'s joints or weights do not match its vertices");
        }
        if ((jv.componentType != TINYGLTF_COMPONENT_TYPE_UNSIGNED_BYTE &&
             jv.componentType != TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT) ||
            m.accessors[static_cast<std::size_t>(j->second)].normalized) {
            damaged(what + "'s joints are not unsigned whole numbers");
        }
        const std::size_t was = s.influences;
        s.influences += 4;
        std::vector<std::uint32_t> joints(s.count * s.influences);
        std::vector<double> weights(s.count * s.influences);
        for (std::size_t v = 0; v < s.count; ++v) {
            for (std::size_t k = 0; k < was; ++k) {
                joints[v * s.influences + k] = s.joints[v * was + k];
                weights[v * s.influences + k] = s.weights[v * was + k];
            }
            for (std::size_t k = 0; k < 4; ++k) {
                joints[v * s.influences + was + k] = static_cast<std::uint32_t>(jv.data[v * 4 + k]);
                weights[v * s.influences + was + k] = wv.data[v * 4 + k];
            }
        }
        s.joints = std::move(joints);
        s.weights = std::move(weights);
    }
}

// Skin weights mended while reading, counted for the warnings.
struct WeightMends {
    std::size_t reweighted = 0; // vertices whose weights did not add up to one
    std::size_t padded = 0;     // influences of weight zero naming a joint past the skin's last
};

// Farther from one than float rounding takes the weights of a well-made file.
constexpr double kWeightSumTolerance = 2e-3;

// Skins every vertex as viewers do: its weights divided by their sum, or,
// when they add up to nothing, wholly by the first joint it lists. An
// influence of weight zero counts for nothing whatever joint it names
// (exporters pad unused ones with the index past the skin's last joint); one
// with weight naming a joint the skin does not have is damage.
void mendWeights(VertexSource& s, std::size_t skinJoints, WeightMends& mends, const std::string& what) {
    const std::size_t n = s.influences;
    for (std::size_t v = 0; v < s.count; ++v) {
        double* w = s.weights.data() + v * n;
        const std::uint32_t* j = s.joints.data() + v * n;
        double sum = 0;
        for (std::size_t k = 0; k < n; ++k) {
            sum += w[k];
        }
        mends.reweighted += std::abs(sum - 1) > kWeightSumTolerance ? 1 : 0;
        for (std::size_t k = 0; k < n; ++k) {
            w[k] = sum > 0 ? w[k] / sum : k == 0 ? 1 : 0;
        }
        for (std::size_t k = 0; k < n; ++k) {
            if (j[k] >= skinJoints && w[k] != 0) {
                damaged(what + " names a joint its skin does not have");
            }
            mends.padded += j[k] >= skinJoints ? 1 : 0;
        }
    }
}

std::size_t addSource(const Model& m, const tinygltf::Primitive& p, std::size_t instance,
                      Geometry& g, std::map<std::string, std::size_t>& known, WeightMends& mends,
                      const std::string& what) {
    const std::string key = attributeKey(p, instance);
    if (const auto it = known.find(key); it != known.end()) {
        return it->second;
    }
    VertexSource s;
    s.instance = static_cast<int>(instance);
    const Values pos = readAccessor(m, p.attributes.at("POSITION"), {TINYGLTF_TYPE_VEC3}, what + "'s positions");
    s.count = pos.count;
    s.base = pos.data;
    for (std::size_t t = 0; t < p.targets.size(); ++t) {
        const auto it = p.targets[t].find("POSITION");
        if (it == p.targets[t].end()) {
            s.targets.emplace_back(s.count * 3, 0.0);
            continue;
        }
        Values d = readAccessor(m, it->second, {TINYGLTF_TYPE_VEC3}, what + "'s morph target " + num(t));
        if (d.count != s.count) {
            damaged(what + "'s morph target " + num(t) + " does not match its vertices");
        }
        s.targets.push_back(std::move(d.data));
    }
    const int skin = m.nodes[static_cast<std::size_t>(g.instances[instance].node)].skin;
    if (skin >= 0) {
        readSkinAttributes(m, p, s, what);
        mendWeights(s, m.skins[static_cast<std::size_t>(skin)].joints.size(), mends, what);
    }
    s.firstVertex = g.vertices;
    g.vertices += s.count;
    g.sources.push_back(std::move(s));
    known.emplace(key, g.sources.size() - 1);
    return g.sources.size() - 1;
}

Geometry readGeometry(const Model& m, const std::vector<Instance>& instances, std::vector<std::string>& warnings) {
    Geometry g;
    g.instances = instances;
    std::map<std::string, std::size_t> known;
    std::size_t skipped = 0;
    WeightMends mends;
    for (std::size_t i = 0; i < instances.size(); ++i) {
        const tinygltf::Mesh& mesh = m.meshes[static_cast<std::size_t>(instances[i].mesh)];
        const int skin = m.nodes[static_cast<std::size_t>(instances[i].node)].skin;
        if (skin >= 0 && static_cast<std::size_t>(skin) >= m.skins.size()) {
            damaged("node " + std::to_string(instances[i].node) + " names a skin that does not exist");
        }
        for (std::size_t pi = 0; pi < mesh.primitives.size(); ++pi) {
            const tinygltf::Primitive& p = mesh.primitives[pi];
            const std::string what = "mesh " + std::to_string(instances[i].mesh) + " primitive " + num(pi);
            const int mode = p.mode < 0 ? TINYGLTF_MODE_TRIANGLES : p.mode;
            if (mode != TINYGLTF_MODE_TRIANGLES && mode != TINYGLTF_MODE_TRIANGLE_STRIP &&
                mode != TINYGLTF_MODE_TRIANGLE_FAN) {
                ++skipped;
                continue;
            }
            if (p.attributes.count("POSITION") == 0) {
                damaged(what + " has no positions");
            }
            Primitive prim;
            prim.source = addSource(m, p, i, g, known, mends, what);
            const std::size_t count = g.sources[prim.source].count;
            prim.corners = triangulate(readIndices(m, p, count, what), mode);
            prim.material = p.material;
            if (p.material >= 0 && static_cast<std::size_t>(p.material) >= m.materials.size()) {
                damaged(what + " names a material that does not exist");
            }
            if (const auto uv = p.attributes.find("TEXCOORD_0"); uv != p.attributes.end()) {
                Values t = readAccessor(m, uv->second, {TINYGLTF_TYPE_VEC2}, what + "'s texture coordinates");
                if (t.count != count) {
                    damaged(what + "'s texture coordinates do not match its vertices");
                }
                prim.uv = std::move(t.data);
            }
            g.primitives.push_back(std::move(prim));
        }
    }
    if (skipped > 0) {
        warnings.push_back(num(skipped) + " primitive(s) of points or lines skipped: the game draws triangles only");
    }
    if (mends.reweighted > 0) {
        warnings.push_back(num(mends.reweighted) + " vertices have skin weights that do not add up to one:"
                           " each vertex's weights were divided by their sum (all zero: its first joint)");
    }
    if (mends.padded > 0) {
        warnings.push_back(num(mends.padded) + " skin influence(s) of weight zero name a joint the skin does"
                           " not have: ignored");
    }
    return g;
}

// --- animation

struct Sampler {
    std::vector<double> times;
    std::vector<double> values; // keys x (3 for cubic) x width
    std::size_t width = 0;
    bool rotation = false; // quaternions: LINEAR turns at an even rate (slerp)
    enum { Linear, Step, Cubic } interpolation = Linear;
};

struct Channel {
    std::size_t sampler = 0;
    int node = -1;
    enum { Translation, Rotation, Scale, Weights } path = Translation;
};

struct Animation {
    std::string name;
    std::vector<Sampler> samplers;
    std::vector<Channel> channels;
    double start = 0;
    double end = 0;
    std::uint64_t frames = 0;
};

std::size_t morphTargetCount(const Model& m, int node) {
    const int mesh = m.nodes[static_cast<std::size_t>(node)].mesh;
    if (mesh < 0 || static_cast<std::size_t>(mesh) >= m.meshes.size()) {
        return 0;
    }
    std::size_t n = 0;
    for (const auto& p : m.meshes[static_cast<std::size_t>(mesh)].primitives) {
        n = std::max(n, p.targets.size());
    }
    return n;
}

Animation readAnimation(const Model& m, std::size_t index, double fps) {
    const tinygltf::Animation& a = m.animations[index];
    Animation out;
    out.name = a.name.empty() ? "Anim" + num(index + 1) : a.name;
    const std::string what = "animation " + num(index);
    std::vector<int> samplerWidth(a.samplers.size(), -1);
    std::vector<bool> samplerRotation(a.samplers.size(), false);
    for (const tinygltf::AnimationChannel& c : a.channels) {
        if (c.sampler < 0 || static_cast<std::size_t>(c.sampler) >= a.samplers.size() ||
            c.target_node < 0 || static_cast<std::size_t>(c.target_node) >= m.nodes.size()) {
            damaged(what + " has a channel with no sampler or node");
        }
        Channel ch;
        ch.sampler = static_cast<std::size_t>(c.sampler);
        ch.node = c.target_node;
        std::size_t width = 3;
        if (c.target_path == "translation") {
            ch.path = Channel::Translation;
        } else if (c.target_path == "rotation") {
            ch.path = Channel::Rotation;
            width = 4;
        } else if (c.target_path == "scale") {
            ch.path = Channel::Scale;
        } else if (c.target_path == "weights") {
            ch.path = Channel::Weights;
            width = morphTargetCount(m, c.target_node);
            if (width == 0) {
                continue;
            }
        } else {
            continue; // nothing a vertex depends on
        }
        samplerWidth[ch.sampler] = static_cast<int>(width);
        samplerRotation[ch.sampler] = ch.path == Channel::Rotation;
        out.channels.push_back(ch);
    }
    bool any = false;
    for (std::size_t s = 0; s < a.samplers.size(); ++s) {
        Sampler smp;
        if (samplerWidth[s] < 0) {
            out.samplers.push_back(std::move(smp));
            continue;
        }
        const tinygltf::AnimationSampler& as = a.samplers[s];
        const std::string sw = what + " sampler " + num(s);
        smp.width = static_cast<std::size_t>(samplerWidth[s]);
        smp.rotation = samplerRotation[s];
        smp.interpolation = as.interpolation == "STEP"          ? Sampler::Step
                            : as.interpolation == "CUBICSPLINE" ? Sampler::Cubic
                                                                : Sampler::Linear;
        const Values in = readAccessor(m, as.input, {TINYGLTF_TYPE_SCALAR}, sw + "'s times");
        const Values val = readAccessor(m, as.output, {TINYGLTF_TYPE_SCALAR, TINYGLTF_TYPE_VEC3, TINYGLTF_TYPE_VEC4}, sw + "'s values");
        smp.times = in.data;
        smp.values = val.data;
        const std::size_t per = (smp.interpolation == Sampler::Cubic ? 3 : 1) * smp.width;
        if (smp.times.empty() || smp.values.size() != smp.times.size() * per) {
            damaged(sw + " has values that do not match its times");
        }
        if (!std::is_sorted(smp.times.begin(), smp.times.end())) {
            damaged(sw + "'s times do not increase");
        }
        out.start = any ? std::min(out.start, smp.times.front()) : smp.times.front();
        out.end = any ? std::max(out.end, smp.times.back()) : smp.times.back();
        any = true;
        out.samplers.push_back(std::move(smp));
    }
    if (!any) {
        out.frames = 1;
        return out;
    }
    const double steps = (out.end - out.start) * fps;
    if (!(steps < 2.0 * kMaxCount)) {
        refuse(GltfProblem::TooManyFrames, out.name);
    }
    out.frames = static_cast<std::uint64_t>(std::floor(steps + kKeySnap)) + 1;
    if (out.start + static_cast<double>(out.frames - 1) / fps < out.end - kKeySnap) {
        ++out.frames; // the last key is always a frame
    }
    return out;
}

// The value of a sampler at time t, `width` values into `out`.
void sample(const Sampler& s, double t, double* out) {
    const std::size_t keys = s.times.size();
    const bool cubic = s.interpolation == Sampler::Cubic;
    const std::size_t per = (cubic ? 3 : 1) * s.width;
    const std::size_t valueAt = cubic ? s.width : 0; // a cubic key: in-tangent, value, out-tangent
    auto value = [&](std::size_t k) { return s.values.data() + k * per + valueAt; };
    const auto upper = std::upper_bound(s.times.begin(), s.times.end(), t);
    if (upper == s.times.begin() || keys == 1) {
        std::copy_n(value(0), s.width, out);
        return;
    }
    if (upper == s.times.end()) {
        std::copy_n(value(keys - 1), s.width, out);
        return;
    }
    const std::size_t k = static_cast<std::size_t>(upper - s.times.begin()) - 1;
    const double dt = s.times[k + 1] - s.times[k];
    double f = dt > 0 ? (t - s.times[k]) / dt : 0;
    if (f < kKeySnap) {
        f = 0;
    } else if (f > 1 - kKeySnap) {
        f = 1;
    }
    if (s.interpolation == Sampler::Step || f == 0 || f == 1) {
        std::copy_n(value(f == 1 ? k + 1 : k), s.width, out);
        return;
    }
    if (!cubic && s.rotation) {
        const double* a = value(k);
        const double* b = value(k + 1);
        const Quat q = slerp(normalized({a[0], a[1], a[2], a[3]}), normalized({b[0], b[1], b[2], b[3]}), f);
        std::copy_n(q.begin(), 4, out);
        return;
    }
    if (!cubic) {
        for (std::size_t c = 0; c < s.width; ++c) {
            out[c] = value(k)[c] * (1 - f) + value(k + 1)[c] * f;
        }
        return;
    }
    const double f2 = f * f, f3 = f2 * f;
    const double* outTangent = s.values.data() + k * per + 2 * s.width;
    const double* inTangent = s.values.data() + (k + 1) * per;
    for (std::size_t c = 0; c < s.width; ++c) {
        out[c] = (2 * f3 - 3 * f2 + 1) * value(k)[c] + (f3 - 2 * f2 + f) * dt * outTangent[c] +
                 (-2 * f3 + 3 * f2) * value(k + 1)[c] + (f3 - f2) * dt * inTangent[c];
    }
}

// --- evaluating the scene at one moment

struct Pose {
    std::vector<Vec3> translation;
    std::vector<Quat> rotation;
    std::vector<Vec3> scale;
    std::vector<std::vector<double>> weights; // per node
};

Pose restPose(const Model& m) {
    Pose p;
    const std::size_t n = m.nodes.size();
    p.translation.assign(n, {0, 0, 0});
    p.rotation.assign(n, {0, 0, 0, 1});
    p.scale.assign(n, {1, 1, 1});
    p.weights.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        const tinygltf::Node& node = m.nodes[i];
        if (node.translation.size() == 3) {
            p.translation[i] = {node.translation[0], node.translation[1], node.translation[2]};
        }
        if (node.rotation.size() == 4) {
            p.rotation[i] = normalized({node.rotation[0], node.rotation[1], node.rotation[2], node.rotation[3]});
        }
        if (node.scale.size() == 3) {
            p.scale[i] = {node.scale[0], node.scale[1], node.scale[2]};
        }
        const std::size_t targets = morphTargetCount(m, static_cast<int>(i));
        std::vector<double> w(targets, 0.0);
        const std::vector<double>& given =
            !node.weights.empty() ? node.weights
            : node.mesh >= 0 && static_cast<std::size_t>(node.mesh) < m.meshes.size()
                ? m.meshes[static_cast<std::size_t>(node.mesh)].weights
                : node.weights;
        std::copy_n(given.begin(), std::min(given.size(), targets), w.begin());
        p.weights[i] = std::move(w);
    }
    return p;
}

void applyAnimation(const Animation& a, double t, Pose& p) {
    double v[4];
    for (const Channel& c : a.channels) {
        const Sampler& s = a.samplers[c.sampler];
        const auto n = static_cast<std::size_t>(c.node);
        if (c.path == Channel::Weights) {
            std::vector<double>& w = p.weights[n];
            std::vector<double> got(s.width);
            sample(s, t, got.data());
            std::copy_n(got.begin(), std::min(got.size(), w.size()), w.begin());
            continue;
        }
        sample(s, t, v);
        if (c.path == Channel::Translation) {
            p.translation[n] = {v[0], v[1], v[2]};
        } else if (c.path == Channel::Rotation) {
            p.rotation[n] = normalized({v[0], v[1], v[2], v[3]});
        } else {
            p.scale[n] = {v[0], v[1], v[2]};
        }
    }
}

struct Scene {
    const Model& model;
    std::vector<int> order; // parents first
    std::vector<int> parent;
    std::vector<std::vector<Mat4>> inverseBind; // per skin, per joint
};

std::vector<Mat4> worldMatrices(const Scene& sc, const Pose& p) {
    std::vector<Mat4> world(sc.model.nodes.size(), kIdentity);
    for (int n : sc.order) {
        const auto i = static_cast<std::size_t>(n);
        const tinygltf::Node& node = sc.model.nodes[i];
        Mat4 local;
        if (node.matrix.size() == 16) {
            std::copy_n(node.matrix.begin(), 16, local.begin());
        } else {
            local = composeTrs(p.translation[i], p.rotation[i], p.scale[i]);
        }
        world[i] = sc.parent[i] < 0 ? local : multiply(world[static_cast<std::size_t>(sc.parent[i])], local);
    }
    return world;
}

// The positions of every glTF vertex, in the mesh's axes, appended to `out`.
void evaluate(const Scene& sc, const Geometry& g, const Pose& p, std::vector<float>& out) {
    const std::vector<Mat4> world = worldMatrices(sc, p);
    std::vector<Mat4> jointMatrices;
    for (const VertexSource& s : g.sources) {
        const Instance& inst = g.instances[static_cast<std::size_t>(s.instance)];
        const tinygltf::Node& node = sc.model.nodes[static_cast<std::size_t>(inst.node)];
        const std::vector<double>& w = p.weights[static_cast<std::size_t>(inst.node)];
        const bool skinned = node.skin >= 0 && s.influences > 0;
        if (skinned) {
            const tinygltf::Skin& skin = sc.model.skins[static_cast<std::size_t>(node.skin)];
            jointMatrices.resize(skin.joints.size());
            for (std::size_t j = 0; j < skin.joints.size(); ++j) {
                jointMatrices[j] = multiply(world[static_cast<std::size_t>(skin.joints[j])],
                                            sc.inverseBind[static_cast<std::size_t>(node.skin)][j]);
            }
        }
        const Mat4& nodeWorld = world[static_cast<std::size_t>(inst.node)];
        for (std::size_t v = 0; v < s.count; ++v) {
            Vec3 pos = {s.base[v * 3], s.base[v * 3 + 1], s.base[v * 3 + 2]};
            for (std::size_t t = 0; t < s.targets.size() && t < w.size(); ++t) {
                if (w[t] != 0) {
                    for (int c = 0; c < 3; ++c) {
                        pos[static_cast<std::size_t>(c)] += w[t] * s.targets[t][v * 3 + static_cast<std::size_t>(c)];
                    }
                }
            }
            Vec3 r = {0, 0, 0};
            if (skinned) {
                for (std::size_t k = 0; k < s.influences; ++k) {
                    const double wk = s.weights[v * s.influences + k];
                    if (wk != 0) {
                        const Vec3 q = transformPoint(jointMatrices[s.joints[v * s.influences + k]], pos);
                        for (int c = 0; c < 3; ++c) {
                            r[static_cast<std::size_t>(c)] += wk * q[static_cast<std::size_t>(c)];
                        }
                    }
                }
            } else {
                r = transformPoint(nodeWorld, pos);
            }
            out.push_back(static_cast<float>(r[0])); // X = x
            out.push_back(static_cast<float>(r[2])); // Y = z
            out.push_back(static_cast<float>(r[1])); // Z = y
        }
    }
}

std::vector<std::vector<Mat4>> inverseBindMatrices(const Model& m) {
    std::vector<std::vector<Mat4>> all;
    for (std::size_t s = 0; s < m.skins.size(); ++s) {
        const tinygltf::Skin& skin = m.skins[s];
        for (int j : skin.joints) {
            if (j < 0 || static_cast<std::size_t>(j) >= m.nodes.size()) {
                damaged("skin " + num(s) + " names a joint that does not exist");
            }
        }
        std::vector<Mat4> mats(skin.joints.size(), kIdentity);
        if (skin.inverseBindMatrices >= 0) {
            const Values v = readAccessor(m, skin.inverseBindMatrices, {TINYGLTF_TYPE_MAT4},
                                          "skin " + num(s) + "'s inverse bind matrices");
            if (v.count < skin.joints.size()) {
                damaged("skin " + num(s) + " has fewer inverse bind matrices than joints");
            }
            for (std::size_t j = 0; j < mats.size(); ++j) {
                std::copy_n(v.data.begin() + static_cast<std::ptrdiff_t>(j * 16), 16, mats[j].begin());
            }
        }
        all.push_back(std::move(mats));
    }
    return all;
}

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

void makeTriangles(const Model& m, const Geometry& g, const std::vector<std::uint32_t>& game,
                   const std::vector<bool>& mirrored, GltfRead& out) {
    std::size_t wrapped = 0;
    for (const Primitive& p : g.primitives) {
        const VertexSource& s = g.sources[p.source];
        const MaterialCode code = materialCode(m, p.material);
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

// --- a file written by --to-gltf, restored from its extras

const tinygltf::Value* member(const tinygltf::Value& v, const char* key) {
    return v.IsObject() && v.Has(key) ? &v.Get(key) : nullptr;
}

std::optional<std::vector<std::uint8_t>> hexMember(const tinygltf::Value& v, const char* key) {
    const tinygltf::Value* s = member(v, key);
    if (s == nullptr || !s->IsString()) {
        return std::nullopt;
    }
    return fromHex(s->Get<std::string>());
}

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

// The texture number and polygon type the material of a primitive keeps in
// its extras, where given, else those of its name.
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

std::string gltfResourcePath(const std::string& uri) {
    // A scheme is letters, digits, "+", "-", "." before a ":"; a Windows drive
    // letter looks the same and is refused with it.
    const std::size_t colon = uri.find(':');
    const std::size_t slash = uri.find_first_of("/\\");
    if (uri.empty() || (colon != std::string::npos && (slash == std::string::npos || colon < slash)) ||
        uri[0] == '/' || uri[0] == '\\') {
        return {};
    }
    std::string path;
    for (std::size_t i = 0; i < uri.size(); ++i) {
        const auto hex = [](char c) -> int {
            return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        };
        if (uri[i] == '%' && i + 2 < uri.size() + 0 && hex(uri[i + 1]) >= 0 && hex(uri[i + 2]) >= 0) {
            path += static_cast<char>(hex(uri[i + 1]) * 16 + hex(uri[i + 2]));
            i += 2;
        } else {
            path += uri[i];
        }
    }
    if (path.find('\0') != std::string::npos || path[0] == '/' || path[0] == '\\' ||
        path.find(':') != std::string::npos) {
        return {};
    }
    // No part may be "..": the file stays in its folder or below it.
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find_first_of("/\\", start), path.size());
        if (path.compare(start, end - start, "..") == 0 && end - start == 2) {
            return {};
        }
        start = end + 1;
    }
    return path;
}

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
        makeTriangles(m, g, game, mirrored, out);
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
