// Materials: the image each texture number shows (a PNG or JPEG in a buffer
// view, a data: URI or a file beside the .gltf, decoded by the image layer),
// times the material's base colour factor, and what a material says of its
// triangles' polygon type.
#include "gltf/read/gltf_reader.h"

#include "meshfold/common/ascii.h"

#include <algorithm>
#include <cmath>

namespace meshfold::gltf {

namespace {

// Every image is read with these, whatever the file calls it: a cutoff at
// half alpha when BLEND has pixels below it.
constexpr double kDefaultAlphaCutoff = 0.5;
constexpr std::uint8_t kHalfAlpha = 128;

const tinygltf::Material* materialAt(const Model& m, int material) {
    return material >= 0 && static_cast<std::size_t>(material) < m.materials.size()
               ? &m.materials[static_cast<std::size_t>(material)]
               : nullptr;
}

// The glTF texture of the material's base colour, or -1.
int baseColorTexture(const Model& m, int material) {
    const tinygltf::Material* mat = materialAt(m, material);
    const int t = mat != nullptr ? mat->pbrMetallicRoughness.baseColorTexture.index : -1;
    return t >= 0 && static_cast<std::size_t>(t) < m.textures.size() ? t : -1;
}

// The encoded bytes of image `index`; empty with `why` set when they cannot
// be had.
std::vector<std::uint8_t> imageFile(const Model& m, int index, const GltfResources& resources, std::string& why) {
    const tinygltf::Image& img = m.images[static_cast<std::size_t>(index)];
    std::vector<std::uint8_t> bytes;
    if (img.bufferView >= 0) {
        if (static_cast<std::size_t>(img.bufferView) >= m.bufferViews.size()) {
            why = "its buffer view does not exist";
            return {};
        }
        const tinygltf::BufferView& v = m.bufferViews[static_cast<std::size_t>(img.bufferView)];
        const std::vector<unsigned char>* data =
            v.buffer >= 0 && static_cast<std::size_t>(v.buffer) < m.buffers.size()
                ? &m.buffers[static_cast<std::size_t>(v.buffer)].data
                : nullptr;
        if (data == nullptr || v.byteOffset > data->size() || v.byteLength > data->size() - v.byteOffset) {
            why = "its buffer view is outside its buffer";
            return {};
        }
        const auto from = data->begin() + static_cast<std::ptrdiff_t>(v.byteOffset);
        return {from, from + static_cast<std::ptrdiff_t>(v.byteLength)};
    }
    if (!img.image.empty()) { // a data: URI, decoded by tinygltf
        return img.image;
    }
    if (img.uri.rfind("data:", 0) == 0) {
        why = "its data URI is of a kind not read (" + img.uri.substr(0, img.uri.find(',')) + ")";
        return {};
    }
    const std::string path = gltfResourcePath(img.uri);
    if (path.empty()) {
        why = "it refers to a file outside the glTF file's folder (" + img.uri + ")";
    } else if (!resources(path, bytes)) {
        why = "its file " + path + " cannot be read";
    }
    return bytes;
}

// Whether the material's extras keep the pixel check of `image` as decoded:
// an RGBA image as a --to-gltf --uc file embedded it.
bool checkedPixels(const tinygltf::Material& mat, const Image& image) {
    const tinygltf::Value* x = member(mat.extras, std::string(kGltfExtrasKey).c_str());
    const tinygltf::Value* check = x != nullptr ? member(*x, "textureCheck") : nullptr;
    return check != nullptr && check->IsString() &&
           check->Get<std::string>() == gltfPixelsCheck(image.width, image.height, image.rgba);
}

// The name, file, group and flags the material's extras keep of the texture the
// file was written from.
void takeWrittenTexture(const tinygltf::Material& mat, GltfTexture& t) {
    const tinygltf::Value* x = member(mat.extras, std::string(kGltfExtrasKey).c_str());
    const tinygltf::Value* name = x != nullptr ? member(*x, "textureName") : nullptr;
    const tinygltf::Value* file = x != nullptr ? member(*x, "textureFile") : nullptr;
    if (name == nullptr || file == nullptr || !name->IsString() || !file->IsString()) {
        return;
    }
    t.name = name->Get<std::string>();
    t.file = file->Get<std::string>();
    t.flags = static_cast<std::uint32_t>(numberMember(*x, "textureFlags").value_or(0));
    const tinygltf::Value* group = member(*x, "textureGroup");
    t.group = group != nullptr && group->IsString() ? group->Get<std::string>() : std::string{};
}

// The pixels times the base colour factor; an opaque material's alpha 255.
void applyMaterial(const tinygltf::Material& mat, Image& image) {
    const std::vector<double>& f = mat.pbrMetallicRoughness.baseColorFactor;
    const bool opaque = mat.alphaMode != "MASK" && mat.alphaMode != "BLEND";
    const bool plain = f.size() != 4 || std::all_of(f.begin(), f.end(), [](double x) { return x == 1; });
    if (plain && !opaque) {
        return;
    }
    bool changed = false;
    for (std::size_t p = 0; p + 3 < image.rgba.size(); p += 4) {
        for (std::size_t c = 0; c < 4; ++c) {
            const std::uint8_t old = image.rgba[p + c];
            if (c == 3 && opaque) {
                image.rgba[p + c] = 255;
            } else if (!plain) {
                const double k = std::clamp(f[c], 0.0, 1.0);
                image.rgba[p + c] = static_cast<std::uint8_t>(std::lround(old * k));
            }
            changed = changed || image.rgba[p + c] != old;
        }
    }
    if (changed) { // the palette no longer describes the pixels
        image.indices.clear();
        image.palette.clear();
    }
}

// Whether `mat` hides pixels of `image`: MASK always, BLEND where some
// pixel is below half alpha.
bool hidesPixels(const tinygltf::Material& mat, const Image& image, double& cutoff) {
    cutoff = mat.alphaMode == "MASK" ? mat.alphaCutoff : kDefaultAlphaCutoff;
    if (mat.alphaMode == "MASK") {
        return true;
    }
    if (mat.alphaMode != "BLEND") {
        return false;
    }
    for (std::size_t p = 3; p < image.rgba.size(); p += 4) {
        if (image.rgba[p] < kHalfAlpha) {
            return true;
        }
    }
    return false;
}

// Whether a material name names the normal polygon type (_NORMAL), which
// parseMaterialName() gives as it gives no type at all.
bool saysNormal(const std::string& name) {
    std::string lower;
    for (const char c : name) {
        lower += lowerAscii(c);
    }
    return lower.find("_normal") != std::string::npos;
}

// Material `material`'s texture, decoded; false (with a warning) when its
// image cannot be had.
bool readTexture(const Model& m, int material, const GltfResources& resources, GltfTexture& t,
                 std::vector<std::string>& warnings) {
    const tinygltf::Material& mat = *materialAt(m, material);
    const int source = m.textures[static_cast<std::size_t>(baseColorTexture(m, material))].source;
    t.material = mat.name.empty() ? "material " + num(static_cast<std::size_t>(material)) : mat.name;
    const std::string what = "the texture of " + t.material;
    if (source < 0 || static_cast<std::size_t>(source) >= m.images.size()) {
        warnings.push_back(what + " has no image (perhaps KTX2 or WebP only): texture " +
                           num(t.number) + " is not written");
        return false;
    }
    std::string why;
    const std::vector<std::uint8_t> file = imageFile(m, source, resources, why);
    ImageDecoded d;
    if (why.empty()) {
        d = decodeImage(file);
        why = d.failure;
    }
    if (!why.empty()) {
        warnings.push_back(what + " cannot be read: " + why + "; texture " + num(t.number) + " is not written");
        return false;
    }
    t.image = std::move(d.image);
    // An image this writer embedded (an 8-bit texture's paletted PNG, or an
    // RGBA one whose pixels its check still describes): the name, file and
    // flags its extras keep, and a paletted one's palette and indices as the
    // texture had them.
    if (recoverPngPalette(file, t.image) || checkedPixels(mat, t.image)) {
        takeWrittenTexture(mat, t);
    }
    applyMaterial(mat, t.image);
    t.masked = hidesPixels(mat, t.image, t.alphaCutoff);
    return true;
}

} // namespace

int texCoordSet(const Model& m, int material) {
    const tinygltf::Material* mat = materialAt(m, material);
    return mat != nullptr && baseColorTexture(m, material) >= 0
               ? std::max(mat->pbrMetallicRoughness.baseColorTexture.texCoord, 0)
               : 0;
}

MaterialImages readMaterialImages(const Model& m, const Geometry& g, const GltfResources& resources,
                                  std::vector<std::string>& warnings) {
    MaterialImages out;
    out.masked.assign(m.materials.size(), false);
    std::vector<int> firstMaterial(256, -1); // per texture number
    std::vector<bool> warned(256, false);
    for (const Primitive& p : g.primitives) {
        if (p.material < 0 || baseColorTexture(m, p.material) < 0) {
            continue;
        }
        const std::uint8_t number = materialCode(m, p.material).texture;
        const int first = firstMaterial[number];
        if (first >= 0) {
            const int a = m.textures[static_cast<std::size_t>(baseColorTexture(m, first))].source;
            const int b = m.textures[static_cast<std::size_t>(baseColorTexture(m, p.material))].source;
            if (a != b && !warned[number]) {
                warned[number] = true;
                warnings.push_back("materials " + materialAt(m, first)->name + " and " +
                                   materialAt(m, p.material)->name + " show different images on texture " +
                                   num(number) + ": the first one's is written");
            }
            out.masked[static_cast<std::size_t>(p.material)] = out.masked[static_cast<std::size_t>(first)];
            continue;
        }
        firstMaterial[number] = p.material;
        GltfTexture t;
        t.number = number;
        if (readTexture(m, p.material, resources, t, warnings)) {
            out.masked[static_cast<std::size_t>(p.material)] = t.masked;
            out.textures.push_back(std::move(t));
        }
    }
    std::sort(out.textures.begin(), out.textures.end(),
              [](const GltfTexture& a, const GltfTexture& b) { return a.number < b.number; });
    return out;
}

MaterialCode polygonCode(const Model& m, int material, const std::vector<bool>& masked) {
    const tinygltf::Material* mat = materialAt(m, material);
    MaterialCode code = materialCode(m, material);
    if (mat == nullptr) {
        return code;
    }
    const bool namesType = parseMaterialName(mat->name) &&
                           ((code.type & kPolyTypeMask) != 0 || saysNormal(mat->name));
    if (namesType) {
        return code;
    }
    const std::uint8_t flags = static_cast<std::uint8_t>(code.type & ~kPolyTypeMask);
    if (masked[static_cast<std::size_t>(material)]) {
        code.type = flags | kPolyTypeMasked;
    } else if (mat->doubleSided) {
        code.type = flags | kPolyTypeTwoSided;
    }
    return code;
}

} // namespace meshfold::gltf
