// Loading: the file and its resources through tinygltf, and every accessor
// read from the bytes really there.
//
// tinygltf's implementation is compiled in this one file: gltf_reader.h
// includes tiny_gltf.h whole with TINYGLTF_IMPLEMENTATION defined. Without a
// file system (TINYGLTF_NO_FS) it leaves out <fstream>, which its writer
// (never called here) still needs.
#include <fstream>
#define TINYGLTF_IMPLEMENTATION
#include "gltf/read/gltf_reader.h"

#include <nlohmann/json.hpp>

#include "meshfold/game/format.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>

namespace meshfold::gltf {

// --- accessors, each checked against the bytes really there

namespace {

// An accessor without a buffer view is all zeros; none may claim more values
// than any game mesh could use.
constexpr std::uint64_t kMaxUnbackedValues = std::uint64_t{1} << 22;

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

} // namespace

// The component types an index may have: unsigned integers.
bool isIndexType(int type) {
    return type == TINYGLTF_COMPONENT_TYPE_UNSIGNED_BYTE ||
           type == TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT ||
           type == TINYGLTF_COMPONENT_TYPE_UNSIGNED_INT;
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

namespace {

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

// Images are not decoded here (gltf_material.cpp decodes those it needs):
// the bytes of a data: URI, which tinygltf does not keep, are kept as they
// are in image.image; those of a buffer view stay in their buffer.
bool keepImageBytes(tinygltf::Image* image, const int, std::string*, std::string*, int, int,
                    const unsigned char* bytes, int size, void*) {
    if (image->bufferView < 0 && bytes != nullptr && size > 0) {
        image->image.assign(bytes, bytes + size);
    }
    return true;
}

// Extensions a file may require: none of them moves a vertex.
bool harmlessExtension(const std::string& name) {
    return name == "KHR_mesh_quantization" || name == "KHR_texture_transform" ||
           name == "KHR_lights_punctual" || name == "KHR_texture_basisu" ||
           name == "EXT_texture_webp" || name == "KHR_materials_emissive_strength" ||
           name.rfind("KHR_materials_", 0) == 0;
}

} // namespace

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
    loader.SetImageLoader(&keepImageBytes, nullptr);
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

} // namespace meshfold::gltf

namespace meshfold {

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

} // namespace meshfold
