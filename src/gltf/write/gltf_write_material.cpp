// Materials and their textures: the "materials", "textures", "samplers" and
// "images" of the JSON, and the pixels and PNG file each textured material
// shows of its slot's image.
#include "gltf/write/gltf_writer.h"

#include <algorithm>
#include <utility>

namespace meshfold::glb {

namespace {

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
            if (m.image >= 0 && !plan.images[static_cast<std::size_t>(m.image)].pixelCheck.empty()) {
                put(out, ",\"textureCheck\":");
                jsonString(out, plan.images[static_cast<std::size_t>(m.image)].pixelCheck);
            }
        }
    }
    put(out, "}}");
}

} // namespace

bool anyUnlitTexture(const GltfPlan& plan) {
    return std::any_of(plan.layout.materials.begin(), plan.layout.materials.end(), [](const GltfMaterial& m) {
        return m.image >= 0 && (m.type & kPolyFlagUnlit) != 0;
    });
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

namespace {

// glTF sampler filters.
constexpr unsigned kNearest = 9728;
constexpr unsigned kLinear = 9729;
constexpr unsigned kLinearMipmapLinear = 9987;

} // namespace

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

} // namespace meshfold::glb

namespace meshfold {

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

GltfImage gltfTextureImage(const Image& image, GltfAlpha alpha, bool masksIndexZero) {
    // The colours of a paletted image are checked (one colour an index) and
    // given their alpha once a palette entry, not once a pixel.
    const std::size_t pixels = image.indices.size();
    if (pixels > 0 && pixels * 4 == image.rgba.size()) {
        const std::vector<std::uint8_t> palette = shownPalette(image, alpha, masksIndexZero);
        if (!palette.empty()) {
            return {{}, encodePalettedPng(image.width, image.height, image.indices, palette), {}};
        }
    }
    Image shown{image.width, image.height, gltfTexturePixels(image, alpha, masksIndexZero), {}, {}};
    GltfImage png{{}, encodePng(shown), {}};
    if (!png.png.empty()) {
        png.pixelCheck = gltfPixelsCheck(shown.width, shown.height, shown.rgba);
    }
    return png;
}

} // namespace meshfold
