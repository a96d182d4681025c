#include "meshfold/gltf_write.h"

#include "meshfold/format.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <span>
#include <string_view>
#include <unordered_map>

namespace meshfold {

namespace {

// GLB container.
constexpr std::uint32_t kGlbMagic = 0x46546C67; // "glTF"
constexpr std::uint32_t kGlbVersion = 2;
constexpr std::uint32_t kChunkJson = 0x4E4F534A; // "JSON"
constexpr std::uint32_t kChunkBin = 0x004E4942;  // "BIN\0"
constexpr std::size_t kGlbHeaderSize = 12;
constexpr std::size_t kChunkHeaderSize = 8;

// glTF enumerations.
constexpr unsigned kUnsignedShort = 5123;
constexpr unsigned kUnsignedInt = 5125;
constexpr unsigned kFloat = 5126;
constexpr unsigned kArrayBuffer = 34962;
constexpr unsigned kElementArrayBuffer = 34963;

constexpr std::size_t kPositionSize = 12; // three float32
constexpr std::size_t kTexcoordSize = 8;  // two float32
constexpr std::size_t kPendingLimit = std::size_t{1} << 16;

std::uint32_t floatBits(float f) {
    return std::bit_cast<std::uint32_t>(f);
}

std::uint64_t padded4(std::uint64_t n) {
    return (n + 3) & ~std::uint64_t{3};
}

// A signed field `bits` wide at `shift` of a packed word.
int packedField(std::uint32_t word, unsigned shift, unsigned bits) {
    const int v = static_cast<int>((word >> shift) & ((1u << bits) - 1));
    return v >= (1 << (bits - 1)) ? v - (1 << bits) : v;
}

// Where everything lies in the binary chunk.
struct BinLayout {
    unsigned indexType = kUnsignedShort;
    std::size_t indexSize = 2;
    std::vector<std::uint64_t> primitiveOffset;
    std::uint64_t indicesBytes = 0; // padded to 4
    std::uint64_t texcoordOffset = 0;
    std::uint64_t animationOffset = 0; // where the first animation's times start
    std::vector<std::uint64_t> imageOffset; // each image's PNG
    std::uint64_t positionOffset = 0;
    std::uint64_t frameBytes = 0; // positions of one frame
    std::uint64_t total = 0;
};

std::uint32_t targetCount(const GltfPlan& plan) {
    return plan.source.frames - 1;
}

// The animations written: the source's clips, cut to the frames there are
// (a clip past the last frame is left out), or one of every frame. None for
// a mesh of one frame.
std::vector<GltfClip> clipsOf(const GltfPlan& plan) {
    const GltfSource& s = plan.source;
    std::vector<GltfClip> clips;
    if (targetCount(plan) == 0) {
        return clips;
    }
    for (GltfClip c : s.clips) {
        if (c.first < s.frames && c.count > 0 && c.rate > 0) {
            c.count = std::min(c.count, s.frames - c.first);
            clips.push_back(c);
        }
    }
    if (clips.empty()) {
        clips.push_back({s.name, 0, s.frames, s.fps});
    }
    return clips;
}

// The frames of a clip that weigh a target (every frame but frame 0).
std::uint32_t weighted(const GltfClip& c) {
    return c.count - (c.first == 0 ? 1 : 0);
}

// The sparse weights stored for a clip: one per weighted frame, or for a
// clip of frame 0 alone one weight of 0 (an accessor of no view and no
// sparse values is all zeros too, but importers such as assimp refuse it).
std::uint32_t sparseCount(const GltfClip& c) {
    return std::max<std::uint32_t>(weighted(c), 1);
}

// Where one animation's data lies in the binary chunk.
struct ClipBin {
    std::uint64_t times = 0;
    std::uint64_t indices = 0; // sparse indices, then values
    std::uint64_t values = 0;
    std::uint64_t end = 0;
};

std::vector<ClipBin> clipBins(const std::vector<GltfClip>& clips, std::uint64_t at) {
    std::vector<ClipBin> bins;
    for (const GltfClip& c : clips) {
        ClipBin b;
        b.times = at;
        b.indices = b.times + std::uint64_t{c.count} * 4;
        b.values = b.indices + std::uint64_t{sparseCount(c)} * 4;
        b.end = b.values + std::uint64_t{sparseCount(c)} * 4;
        at = b.end;
        bins.push_back(b);
    }
    return bins;
}

BinLayout binLayout(const GltfPlan& plan) {
    const GltfLayout& l = plan.layout;
    BinLayout b;
    // 0xFFFF is the restart value of uint16 indices, which glTF forbids.
    if (l.vertexOf.size() >= 0xFFFF) {
        b.indexType = kUnsignedInt;
        b.indexSize = 4;
    }
    std::uint64_t at = 0;
    for (const std::vector<std::uint32_t>& p : l.indices) {
        b.primitiveOffset.push_back(at);
        at += p.size() * b.indexSize;
    }
    // Never empty: a view holds at least one byte.
    b.indicesBytes = std::max<std::uint64_t>(padded4(at), 4);
    b.texcoordOffset = b.indicesBytes;
    b.animationOffset = b.texcoordOffset + l.vertexOf.size() * kTexcoordSize;
    const std::vector<ClipBin> bins = clipBins(clipsOf(plan), b.animationOffset);
    at = bins.empty() ? b.animationOffset : bins.back().end;
    for (const GltfImage& image : plan.images) {
        b.imageOffset.push_back(at);
        at += padded4(image.png.size());
    }
    b.positionOffset = at;
    b.frameBytes = l.vertexOf.size() * kPositionSize;
    b.total = b.positionOffset + b.frameBytes * plan.source.frames;
    return b;
}

float keyTime(const GltfClip& clip, std::uint32_t key) {
    return static_cast<float>(key / clip.rate);
}

// ---- output ----

void put(GltfOut& out, const void* bytes, std::size_t size) {
    if (!out.ok) {
        return;
    }
    if (!out.sink) {
        out.written += size;
        return;
    }
    const auto* p = static_cast<const std::uint8_t*>(bytes);
    if (size >= kPendingLimit) {
        // A frame's positions go to the sink as they are, not copied first.
        if (flushGltf(out)) {
            out.ok = out.sink(p, size);
            out.written += size;
        }
        return;
    }
    out.pending.insert(out.pending.end(), p, p + size);
    if (out.pending.size() >= kPendingLimit) {
        flushGltf(out);
    }
}

void put(GltfOut& out, std::string_view text) {
    put(out, text.data(), text.size());
}

void putLe32(GltfOut& out, std::uint32_t v) {
    std::uint8_t b[4];
    writeLe32(b, v);
    put(out, b, sizeof b);
}

void putFloat(GltfOut& out, float f) {
    putLe32(out, floatBits(f));
}

void putZeros(GltfOut& out, std::size_t count) {
    static constexpr std::uint8_t kZeros[4] = {};
    put(out, kZeros, count);
}

// ---- JSON ----

void jsonUint(GltfOut& out, std::uint64_t v) {
    char buf[24];
    const std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, v);
    put(out, buf, static_cast<std::size_t>(r.ptr - buf));
}

// The shortest text that reads back as the same float32 (positions and
// times are float32 in the file): what a reader parses is exactly the value
// stored, and the text is the same on every system. Every value written is
// finite.
void jsonNumber(GltfOut& out, float v) {
    char buf[32];
    const std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, v);
    put(out, buf, static_cast<std::size_t>(r.ptr - buf));
}

// The frame rate as given, which need not be a float32.
void jsonNumber(GltfOut& out, double v) {
    char buf[32];
    const std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, v);
    put(out, buf, static_cast<std::size_t>(r.ptr - buf));
}

// The length of a valid UTF-8 sequence starting at s[i], or 0.
std::size_t utf8Length(std::string_view s, std::size_t i) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t n = 0;
    std::uint32_t cp = 0;
    if (c < 0x80) {
        return 1;
    } else if ((c & 0xE0) == 0xC0) {
        n = 2;
        cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        n = 3;
        cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        n = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (i + n > s.size()) {
        return 0;
    }
    for (std::size_t k = 1; k < n; ++k) {
        const auto d = static_cast<unsigned char>(s[i + k]);
        if ((d & 0xC0) != 0x80) {
            return 0;
        }
        cp = cp << 6 | (d & 0x3F);
    }
    const bool overlong = (n == 2 && cp < 0x80) || (n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000);
    const bool invalid = cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF);
    return overlong || invalid ? 0 : n;
}

// A JSON string. A file name need not be UTF-8 on every system: a byte that
// starts no valid sequence becomes U+FFFD, so the file stays valid JSON.
void jsonString(GltfOut& out, std::string_view s) {
    put(out, "\"");
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        const std::size_t n = utf8Length(s, i);
        if (c == '"' || c == '\\') {
            const char esc[2] = {'\\', static_cast<char>(c)};
            put(out, esc, 2);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            put(out, buf, 6);
        } else if (n == 0) {
            put(out, "\\ufffd");
        } else {
            put(out, s.data() + i, n);
        }
        i += n == 0 ? 1 : n;
    }
    put(out, "\"");
}

void jsonVec3(GltfOut& out, const std::array<float, 3>& v) {
    for (int i = 0; i < 3; ++i) {
        put(out, i == 0 ? "[" : ",");
        jsonNumber(out, v[i]);
    }
    put(out, "]");
}

// Accessor indices, in the order the JSON lists them.
struct AccessorIds {
    std::uint64_t texcoord = 0;
    std::uint64_t firstPosition = 0;
    std::uint64_t times = 0;
    std::uint64_t weights = 0;
};

AccessorIds accessorIds(const GltfPlan& plan) {
    AccessorIds a;
    a.texcoord = plan.layout.indices.size();
    a.firstPosition = a.texcoord + 1;
    a.times = a.firstPosition + plan.source.frames; // of the first animation; 2 each
    a.weights = a.times + 1;
    return a;
}

// The buffer views of animation i: its times (view 3 + 3i), its sparse
// indices and its sparse values.
std::uint64_t clipView(std::size_t i) {
    return 3 + 3 * std::uint64_t{i};
}

void jsonBufferViews(const GltfPlan& plan, const BinLayout& b, GltfOut& out) {
    // A view; `stride` and `target` are left out when 0.
    const auto view = [&](std::uint64_t offset, std::uint64_t length, unsigned stride, unsigned target) {
        put(out, "{\"buffer\":0,\"byteOffset\":");
        jsonUint(out, offset);
        put(out, ",\"byteLength\":");
        jsonUint(out, length);
        if (stride != 0) {
            put(out, ",\"byteStride\":");
            jsonUint(out, stride);
        }
        if (target != 0) {
            put(out, ",\"target\":");
            jsonUint(out, target);
        }
        put(out, "}");
    };
    put(out, ",\"bufferViews\":[");
    // 0 indices, 1 texture coordinates, 2 positions (one accessor a frame,
    // so the stride is given); then each animation's times, sparse indices
    // and sparse values (see clipView); then one view for each image.
    view(0, b.indicesBytes, 0, kElementArrayBuffer);
    put(out, ",");
    view(b.texcoordOffset, b.animationOffset - b.texcoordOffset, 0, kArrayBuffer);
    put(out, ",");
    view(b.positionOffset, b.total - b.positionOffset, kPositionSize, kArrayBuffer);
    const std::vector<GltfClip> clips = clipsOf(plan);
    const std::vector<ClipBin> bins = clipBins(clips, b.animationOffset);
    for (std::size_t i = 0; i < clips.size(); ++i) {
        put(out, ",");
        view(bins[i].times, bins[i].indices - bins[i].times, 0, 0);
        put(out, ",");
        view(bins[i].indices, bins[i].values - bins[i].indices, 0, 0);
        put(out, ",");
        view(bins[i].values, bins[i].end - bins[i].values, 0, 0);
    }
    for (std::size_t i = 0; i < plan.images.size(); ++i) {
        put(out, ",");
        view(b.imageOffset[i], plan.images[i].png.size(), 0, 0);
    }
    put(out, "]");
}

void jsonAccessors(const GltfPlan& plan, const BinLayout& b, GltfOut& out) {
    put(out, ",\"accessors\":[");
    const GltfLayout& l = plan.layout;
    for (std::size_t p = 0; p < l.indices.size(); ++p) {
        put(out, "{\"bufferView\":0,\"byteOffset\":");
        jsonUint(out, b.primitiveOffset[p]);
        put(out, ",\"componentType\":");
        jsonUint(out, b.indexType);
        put(out, ",\"count\":");
        jsonUint(out, l.indices[p].size());
        put(out, ",\"type\":\"SCALAR\"},");
    }
    put(out, "{\"bufferView\":1,\"componentType\":");
    jsonUint(out, kFloat);
    put(out, ",\"count\":");
    jsonUint(out, l.vertexOf.size());
    put(out, ",\"type\":\"VEC2\"}");
    for (std::uint32_t k = 0; k < plan.source.frames; ++k) {
        put(out, ",{\"bufferView\":2,\"byteOffset\":");
        jsonUint(out, k * b.frameBytes);
        put(out, ",\"componentType\":");
        jsonUint(out, kFloat);
        put(out, ",\"count\":");
        jsonUint(out, l.vertexOf.size());
        put(out, ",\"type\":\"VEC3\",\"min\":");
        jsonVec3(out, plan.bounds[k].min);
        put(out, ",\"max\":");
        jsonVec3(out, plan.bounds[k].max);
        put(out, "}");
    }
    const std::uint32_t targets = targetCount(plan);
    const std::vector<GltfClip> clips = clipsOf(plan);
    for (std::size_t i = 0; i < clips.size(); ++i) {
        const GltfClip& c = clips[i];
        put(out, ",{\"bufferView\":");
        jsonUint(out, clipView(i));
        put(out, ",\"componentType\":");
        jsonUint(out, kFloat);
        put(out, ",\"count\":");
        jsonUint(out, c.count);
        put(out, ",\"type\":\"SCALAR\",\"min\":[0],\"max\":[");
        jsonNumber(out, keyTime(c, c.count - 1));
        // The weights: no view, so every value is 0 but the sparse ones.
        put(out, "]},{\"componentType\":");
        jsonUint(out, kFloat);
        put(out, ",\"count\":");
        jsonUint(out, std::uint64_t{c.count} * targets);
        put(out, ",\"type\":\"SCALAR\",\"sparse\":{\"count\":");
        jsonUint(out, sparseCount(c));
        put(out, ",\"indices\":{\"bufferView\":");
        jsonUint(out, clipView(i) + 1);
        put(out, ",\"componentType\":");
        jsonUint(out, kUnsignedInt);
        put(out, "},\"values\":{\"bufferView\":");
        jsonUint(out, clipView(i) + 2);
        put(out, "}}}");
    }
    put(out, "]");
}

// The glTF textures the materials use: one for each pair of image and
// sampler, in order of first use, and the samplers in order of first use
// (linear with mip maps, or nearest for _NOSMOOTH).
struct TextureTable {
    std::vector<std::pair<std::int32_t, std::size_t>> textures; // image, sampler
    std::vector<std::int64_t> ofMaterial;                       // -1: none
    std::vector<bool> samplers;                                 // nearest?
};

TextureTable textureTable(const GltfPlan& plan) {
    TextureTable t;
    for (const GltfMaterial& m : plan.layout.materials) {
        if (m.image < 0) {
            t.ofMaterial.push_back(-1);
            continue;
        }
        const bool nearest = (m.type & kPolyFlagNoSmooth) != 0;
        auto s = std::find(t.samplers.begin(), t.samplers.end(), nearest);
        if (s == t.samplers.end()) {
            s = t.samplers.insert(s, nearest);
        }
        const std::pair<std::int32_t, std::size_t> key{m.image, static_cast<std::size_t>(s - t.samplers.begin())};
        auto k = std::find(t.textures.begin(), t.textures.end(), key);
        if (k == t.textures.end()) {
            k = t.textures.insert(k, key);
        }
        t.ofMaterial.push_back(k - t.textures.begin());
    }
    return t;
}

bool anyUnlitTexture(const GltfPlan& plan) {
    return std::any_of(plan.layout.materials.begin(), plan.layout.materials.end(), [](const GltfMaterial& m) {
        return m.image >= 0 && (m.type & kPolyFlagUnlit) != 0;
    });
}

// The texture a slot's lines give, or null.
const GltfSlotTexture* slotTexture(const GltfPlan& plan, std::uint8_t slot) {
    for (const GltfSlotTexture& t : plan.source.textures) {
        if (t.slot == slot) {
            return &t;
        }
    }
    return nullptr;
}

void jsonMaterialExtras(const GltfPlan& plan, const GltfMaterial& m, GltfOut& out) {
    put(out, ",\"extras\":{\"meshfold\":{\"texture\":");
    jsonUint(out, m.texture);
    put(out, ",\"type\":");
    jsonUint(out, m.type);
    if (const GltfSlotTexture* t = slotTexture(plan, m.texture)) {
        put(out, ",\"textureName\":");
        jsonString(out, t->name);
        if (!t->file.empty()) {
            put(out, ",\"textureFile\":");
            jsonString(out, t->file);
            if (!t->group.empty()) {
                put(out, ",\"textureGroup\":");
                jsonString(out, t->group);
            }
            put(out, ",\"textureFlags\":");
            jsonUint(out, t->flags);
        }
    }
    put(out, "}}");
}

void jsonMaterials(const GltfPlan& plan, GltfOut& out) {
    if (plan.layout.materials.empty()) {
        return;
    }
    const TextureTable table = textureTable(plan);
    put(out, ",\"materials\":[");
    for (std::size_t i = 0; i < plan.layout.materials.size(); ++i) {
        const GltfMaterial& m = plan.layout.materials[i];
        put(out, i == 0 ? "{\"name\":" : ",{\"name\":");
        jsonString(out, materialName(m.texture, m.type, plan.source.name));
        // Not metallic: with no environment to reflect, a metallic surface
        // shows black in most viewers.
        put(out, ",\"pbrMetallicRoughness\":{");
        if (table.ofMaterial[i] >= 0) {
            put(out, "\"baseColorTexture\":{\"index\":");
            jsonUint(out, static_cast<std::uint64_t>(table.ofMaterial[i]));
            put(out, "},");
        }
        put(out, "\"metallicFactor\":0}");
        if (table.ofMaterial[i] >= 0 && m.alpha != GltfAlpha::Opaque) {
            put(out, m.alpha == GltfAlpha::Mask ? ",\"alphaMode\":\"MASK\"" : ",\"alphaMode\":\"BLEND\"");
        }
        if (isDoubleSided(m.type)) {
            put(out, ",\"doubleSided\":true");
        }
        if (m.image >= 0 && (m.type & kPolyFlagUnlit) != 0) {
            put(out, ",\"extensions\":{\"KHR_materials_unlit\":{}}");
        }
        jsonMaterialExtras(plan, m, out);
        put(out, "}");
    }
    put(out, "]");
}

// glTF sampler filters.
constexpr unsigned kNearest = 9728;
constexpr unsigned kLinear = 9729;
constexpr unsigned kLinearMipmapLinear = 9987;

void jsonTextures(const GltfPlan& plan, GltfOut& out) {
    const TextureTable table = textureTable(plan);
    if (table.textures.empty()) {
        return;
    }
    put(out, ",\"textures\":[");
    for (std::size_t i = 0; i < table.textures.size(); ++i) {
        put(out, i == 0 ? "{\"sampler\":" : ",{\"sampler\":");
        jsonUint(out, table.textures[i].second);
        put(out, ",\"source\":");
        jsonUint(out, static_cast<std::uint64_t>(table.textures[i].first));
        put(out, "}");
    }
    put(out, "],\"samplers\":[");
    for (std::size_t i = 0; i < table.samplers.size(); ++i) {
        put(out, i == 0 ? "{\"magFilter\":" : ",{\"magFilter\":");
        jsonUint(out, table.samplers[i] ? kNearest : kLinear);
        put(out, ",\"minFilter\":");
        jsonUint(out, table.samplers[i] ? kNearest : kLinearMipmapLinear);
        put(out, "}");
    }
    put(out, "],\"images\":[");
    const std::uint64_t firstView = clipView(clipsOf(plan).size());
    for (std::size_t i = 0; i < plan.images.size(); ++i) {
        put(out, i == 0 ? "{\"name\":" : ",{\"name\":");
        jsonString(out, plan.images[i].name);
        put(out, ",\"bufferView\":");
        jsonUint(out, firstView + i);
        put(out, ",\"mimeType\":\"image/png\"}");
    }
    put(out, "]");
}

void jsonPrimitive(const GltfPlan& plan, const AccessorIds& a, std::size_t p, GltfOut& out) {
    put(out, "{\"attributes\":{\"POSITION\":");
    jsonUint(out, a.firstPosition);
    put(out, ",\"TEXCOORD_0\":");
    jsonUint(out, a.texcoord);
    put(out, "}");
    if (plan.layout.indices.empty()) {
        // Every triangle names a vertex the mesh does not have: the vertices
        // alone, as points.
        put(out, ",\"mode\":0");
    } else {
        put(out, ",\"indices\":");
        jsonUint(out, p);
        put(out, ",\"material\":");
        jsonUint(out, p);
    }
    const std::uint32_t targets = targetCount(plan);
    if (targets > 0) {
        put(out, ",\"targets\":[");
        for (std::uint32_t t = 0; t < targets; ++t) {
            put(out, t == 0 ? "{\"POSITION\":" : ",{\"POSITION\":");
            jsonUint(out, a.firstPosition + 1 + t);
            put(out, "}");
        }
        put(out, "]");
    }
    put(out, "}");
}

void jsonMeshExtras(const GltfPlan& plan, GltfOut& out) {
    const GltfSource& s = plan.source;
    const GltfLayout& l = plan.layout;
    put(out, ",\"extras\":{\"targetNames\":[");
    for (std::uint32_t t = 0; t < targetCount(plan); ++t) {
        put(out, t == 0 ? "\"Frame " : ",\"Frame ");
        jsonUint(out, t + 1);
        put(out, "\"");
    }
    put(out, "],\"meshfold\":{\"form\":");
    put(out, s.deusEx ? "\"deusex\"" : "\"unreal\"");
    put(out, ",\"frameSize\":");
    jsonUint(out, s.frameSize);
    put(out, ",\"vertexCount\":");
    jsonUint(out, l.vertexCount);
    put(out, ",\"polygonCount\":");
    jsonUint(out, l.polygonCount);
    put(out, ",\"fps\":");
    jsonNumber(out, s.fps);
    put(out, ",\"dataHeaderTail\":\"");
    put(out, toHex(s.data.subspan(kDataCountsSize, kDataHeaderTailSize)));
    put(out, "\",\"dataTrailer\":\"");
    put(out, toHex(s.data.subspan(kDataHeaderSize + std::size_t{l.polygonCount} * kTriangleRecordSize)));
    put(out, "\",\"triangles\":\"");
    put(out, toHex(l.triangleExtras));
    put(out, "\",\"looseTriangles\":\"");
    put(out, toHex(l.looseTriangles));
    put(out, "\",\"vertexOf\":\"");
    std::vector<std::uint8_t> extra((l.vertexOf.size() - l.vertexCount) * 2);
    for (std::size_t i = l.vertexCount; i < l.vertexOf.size(); ++i) {
        writeLe16(extra.data() + 2 * (i - l.vertexCount), l.vertexOf[i]);
    }
    put(out, toHex(extra));
    put(out, "\",\"check\":\"");
    put(out, checksumHex(plan.check));
    put(out, "\"}}");
}

void jsonMesh(const GltfPlan& plan, GltfOut& out) {
    const AccessorIds a = accessorIds(plan);
    put(out, ",\"meshes\":[{\"name\":");
    jsonString(out, plan.source.name);
    put(out, ",\"primitives\":[");
    const std::size_t primitives = std::max<std::size_t>(plan.layout.indices.size(), 1);
    for (std::size_t p = 0; p < primitives; ++p) {
        if (p > 0) {
            put(out, ",");
        }
        jsonPrimitive(plan, a, p, out);
    }
    put(out, "]");
    jsonMeshExtras(plan, out);
    put(out, "}]");
}

void jsonAnimation(const GltfPlan& plan, GltfOut& out) {
    const std::vector<GltfClip> clips = clipsOf(plan);
    if (clips.empty()) {
        return;
    }
    const AccessorIds a = accessorIds(plan);
    put(out, ",\"animations\":[");
    for (std::size_t i = 0; i < clips.size(); ++i) {
        put(out, i == 0 ? "{\"name\":" : ",{\"name\":");
        jsonString(out, clips[i].name);
        put(out, ",\"channels\":[{\"sampler\":0,\"target\":{\"node\":0,\"path\":\"weights\"}}],"
                 "\"samplers\":[{\"input\":");
        jsonUint(out, a.times + 2 * i);
        put(out, ",\"output\":");
        jsonUint(out, a.weights + 2 * i);
        put(out, ",\"interpolation\":\"LINEAR\"}]}");
    }
    put(out, "]");
}

void writeJson(const GltfPlan& plan, GltfOut& out) {
    const BinLayout b = binLayout(plan);
    put(out, "{\"asset\":{\"version\":\"2.0\",\"generator\":\"meshfold\"},");
    if (anyUnlitTexture(plan)) {
        put(out, "\"extensionsUsed\":[\"KHR_materials_unlit\"],");
    }
    put(out, "\"scene\":0,\"scenes\":[{\"nodes\":[0]}],\"nodes\":[{\"name\":");
    jsonString(out, plan.source.name);
    put(out, ",\"mesh\":0}]");
    jsonMesh(plan, out);
    jsonMaterials(plan, out);
    jsonTextures(plan, out);
    jsonAnimation(plan, out);
    jsonAccessors(plan, b, out);
    jsonBufferViews(plan, b, out);
    put(out, ",\"buffers\":[{\"byteLength\":");
    jsonUint(out, b.total);
    put(out, "}]}");
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
    for (const GltfClip& c : clipsOf(plan)) {
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

bool gltfMasksIndexZero(std::uint8_t type, std::uint32_t textureFlags, bool paletted) {
    const bool masked = (textureFlags & kTextureFlagMasked) != 0 || (type & kPolyTypeMask) == kPolyTypeMasked;
    return masked && paletted;
}

GltfAlpha gltfAlphaOf(std::uint8_t type, bool masksIndexZero) {
    if ((type & kPolyTypeMask) == kPolyTypeTranslucent) {
        return GltfAlpha::Blend;
    }
    return masksIndexZero ? GltfAlpha::Mask : GltfAlpha::Opaque;
}

namespace {

// The alpha a material shows for a pixel of colour `rgb` and palette index
// `index` (used only where `indexed`: the image has a palette).
std::uint8_t shownAlpha(const std::uint8_t* rgb, std::size_t index, bool indexed, GltfAlpha alpha,
                        bool masksIndexZero) {
    if (indexed && masksIndexZero && index == 0) {
        return 0;
    }
    return alpha == GltfAlpha::Blend ? std::max({rgb[0], rgb[1], rgb[2]}) : std::uint8_t{255};
}

// True when the image's own palette (image.palette) holds at least
// `colours` entries and gives each index in `seen` the colour `palette`
// (four bytes an entry) has for it: the pixels then show that palette.
bool ownPaletteShowsPixels(const Image& image, std::span<const std::uint8_t> palette,
                           std::span<const bool> seen, std::size_t colours) {
    const std::size_t own = image.palette.size() / 3;
    if (own * 3 != image.palette.size() || own < colours || own > seen.size()) {
        return false;
    }
    for (std::size_t k = 0; k < colours; ++k) {
        if (seen[k] && !std::equal(palette.begin() + static_cast<std::ptrdiff_t>(4 * k),
                                   palette.begin() + static_cast<std::ptrdiff_t>(4 * k + 3),
                                   image.palette.begin() + static_cast<std::ptrdiff_t>(3 * k))) {
            return false;
        }
    }
    return true;
}

// The palette of the pixels a material shows of a paletted image, each entry
// with the material's alpha: the image's own palette whole (its 256 colours
// for an 8-bit PCX) when the pixels show it, so that a texture brought back
// from the file keeps the entries no pixel uses; else, up to the largest
// index used, each used index's colour (black and transparent for the
// others). Empty when an index stands for more than one colour: such pixels
// cannot be paletted.
std::vector<std::uint8_t> shownPalette(const Image& image, GltfAlpha alpha, bool masksIndexZero) {
    std::array<std::uint8_t, 256 * 4> palette{};
    std::array<bool, 256> seen{};
    std::size_t colours = 0;
    const std::uint8_t* pixel = image.rgba.data();
    for (const std::uint8_t k : image.indices) {
        std::uint8_t* entry = palette.data() + 4 * std::size_t{k};
        if (!seen[k]) {
            seen[k] = true;
            std::copy(pixel, pixel + 3, entry);
            colours = std::max<std::size_t>(colours, k + std::size_t{1});
        } else if (!std::equal(pixel, pixel + 3, entry)) {
            return {};
        }
        pixel += 4;
    }
    const bool own = ownPaletteShowsPixels(image, palette, seen, colours);
    if (own) {
        colours = image.palette.size() / 3;
        for (std::size_t k = 0; k < colours; ++k) {
            std::copy_n(image.palette.begin() + static_cast<std::ptrdiff_t>(3 * k), 3, palette.data() + 4 * k);
        }
    }
    for (std::size_t k = 0; k < colours; ++k) {
        std::uint8_t* entry = palette.data() + 4 * k;
        if (own || seen[k]) {
            entry[3] = shownAlpha(entry, k, true, alpha, masksIndexZero);
        }
    }
    return {palette.begin(), palette.begin() + static_cast<std::ptrdiff_t>(4 * colours)};
}

} // namespace

std::vector<std::uint8_t> gltfTexturePixels(const Image& image, GltfAlpha alpha, bool masksIndexZero) {
    std::vector<std::uint8_t> rgba = image.rgba;
    const bool indexed = image.indices.size() * 4 == rgba.size();
    for (std::size_t i = 0, p = 0; p + 3 < rgba.size(); ++i, p += 4) {
        rgba[p + 3] = shownAlpha(rgba.data() + p, indexed ? image.indices[i] : 0, indexed, alpha, masksIndexZero);
    }
    return rgba;
}

std::vector<std::uint8_t> gltfTexturePng(const Image& image, GltfAlpha alpha, bool masksIndexZero) {
    // The colours of a paletted image are checked (one colour an index) and
    // given their alpha once a palette entry, not once a pixel.
    const std::size_t pixels = image.indices.size();
    if (pixels > 0 && pixels * 4 == image.rgba.size()) {
        const std::vector<std::uint8_t> palette = shownPalette(image, alpha, masksIndexZero);
        if (!palette.empty()) {
            return encodePalettedPng(image.width, image.height, image.indices, palette);
        }
    }
    return encodePng(Image{image.width, image.height, gltfTexturePixels(image, alpha, masksIndexZero), {}, {}});
}

} // namespace meshfold
