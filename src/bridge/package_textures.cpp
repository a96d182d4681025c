// A package's textures as the 8-bit PCX files of its package folder, with the names, groups and
// flags their import lines give them.
#include "meshfold/bridge/package_extract.h"

#include "bridge/package_parts.h"
#include "meshfold/bridge/game_mesh.h"
#include "meshfold/common/ascii.h"
#include "meshfold/gltf/gltf_common.h"
#include "meshfold/image/block_decode.h"
#include "meshfold/image/image.h"
#include "meshfold/package/polygon_flags.h"

#include <algorithm>
#include <bit>
#include <map>
#include <optional>
#include <set>

namespace meshfold {

namespace {

using package::Contents;
using package::Mip;
using package::ObjectLink;
using package::PixelFormat;
using package::Texture;

// The low four bits of a `_d.3d` polygon type: 3 is a masked polygon.
constexpr std::uint8_t kBaseTypeMask = 0x0F;
constexpr std::uint8_t kMaskedType = 0x03;
// An 8-bit PCX counts each side in 16 bits, from 0: 65535 pixels, less one for the even lines.
constexpr std::int32_t kMaxPcxSide = 65534;

std::optional<image::PixelLayout> layoutOf(PixelFormat f) {
    switch (f) {
    case PixelFormat::P8: return image::PixelLayout::P8;
    case PixelFormat::Dxt1: return image::PixelLayout::Bc1;
    case PixelFormat::Bc2: return image::PixelLayout::Bc2;
    case PixelFormat::Bc3: return image::PixelLayout::Bc3;
    case PixelFormat::Bc4: return image::PixelLayout::Bc4;
    case PixelFormat::Bc5: return image::PixelLayout::Bc5;
    case PixelFormat::Rgb8: return image::PixelLayout::Rgb8;
    case PixelFormat::Rgba8: return image::PixelLayout::Bgra8;
    default: return std::nullopt;
    }
}

// The textures (by export index) that some mesh of the package shows on a masked polygon.
std::set<std::size_t> maskedByPolygons(const Contents& contents) {
    std::set<std::size_t> masked;
    auto note = [&masked](const package::Mesh& m, std::uint32_t flags, std::int32_t slot) {
        const bool isMasked = (package::polygonTypeOf(flags).typeByte & kBaseTypeMask) == kMaskedType;
        if (isMasked && slot >= 0 && static_cast<std::size_t>(slot) < m.textures.size() &&
            m.textures[static_cast<std::size_t>(slot)].kind == ObjectLink::Kind::Export) {
            masked.insert(m.textures[static_cast<std::size_t>(slot)].exportIndex);
        }
    };
    for (const package::Mesh& m : contents.meshes) {
        for (const package::MeshTri& t : m.tris) {
            note(m, t.polyFlags, t.textureIndex);
        }
        if (m.lodData) {
            for (const package::LodMaterial& mat : m.lodData->materials) {
                note(m, mat.polyFlags, mat.textureIndex);
            }
        }
    }
    return masked;
}

// File names and the names the scripts use: a texture whose name another texture of the
// package shares (ignoring case, as the engine compares names) is written as GROUP_NAME.pcx
// and named in full by its slots, so that neither the files nor the lines mix them up.
void nameTextures(const package::Package& p, const Contents& contents,
                  std::vector<ExtractedTexture>& out) {
    std::map<std::string, std::size_t> uses; // of each name, in lower case
    for (const Texture& t : contents.textures) {
        ++uses[detail::lowerCase(t.name)];
    }
    detail::StemSet stems;
    for (std::size_t i = 0; i < contents.textures.size(); ++i) {
        const Texture& t = contents.textures[i];
        ExtractedTexture& e = out[i];
        const bool shared = uses[detail::lowerCase(t.name)] > 1;
        std::string group = t.group;
        std::replace(group.begin(), group.end(), '.', '_');
        const std::string stem = stems.take(shared && !group.empty()
                                                ? std::vector<std::string>{detail::fileStem(group + "_" + t.name)}
                                                : std::vector<std::string>{detail::fileStem(t.name)});
        e.fileName = "Textures/" + stem + ".pcx";
        e.scriptFile = "Textures\\" + stem + ".pcx";
        e.name = scriptIdentifier(t.name);
        e.scriptName = shared ? scriptIdentifier(p.name) + "." + (t.group.empty() ? "" : t.group + ".") + e.name
                              : e.name;
        if (shared) {
            e.warnings.push_back(packageTextureWarning(t.fullName, TextureNote::SharedName, e.fileName));
        }
    }
}

PalettedImage exactImage(const Mip& mip, const package::Palette& palette) {
    PalettedImage image;
    image.width = static_cast<std::uint32_t>(mip.width);
    image.height = static_cast<std::uint32_t>(mip.height);
    image.indices.assign(mip.pixels.begin(), mip.pixels.end());
    for (std::uint32_t c = 0; c < package::kPaletteColours; ++c) {
        std::copy_n(palette.rgba.begin() + 4 * c, 3, image.palette.begin() + 3 * c);
    }
    image.colours = package::kPaletteColours;
    return image;
}

bool powerOfTwo(std::int32_t side) {
    return side > 0 && std::has_single_bit(static_cast<std::uint32_t>(side));
}

std::string sizeText(std::uint32_t w, std::uint32_t h) {
    return std::to_string(w) + " x " + std::to_string(h);
}

// A mip decoded, resized where a side is no power of two, and quantised (index 0 kept for the
// transparent pixels of a masked texture). Empty on a failure, which `warnings` names.
PalettedImage quantisedImage(const Texture& t, const Mip& mip, PixelFormat format,
                             const package::Palette* palette, bool masked,
                             std::vector<std::string>& warnings) {
    const std::optional<image::PixelLayout> layout = layoutOf(format);
    if (!layout) {
        warnings.push_back(packageTextureWarning(t.fullName, TextureNote::CannotDecode, detail::formatName(format)));
        return {};
    }
    const auto w = static_cast<std::uint32_t>(mip.width);
    const auto h = static_cast<std::uint32_t>(mip.height);
    if (mip.width <= 0 || mip.height <= 0 || w > kMaxImageSide || h > kMaxImageSide) {
        warnings.push_back(packageTextureWarning(t.fullName, TextureNote::CannotWrite, sizeText(w, h)));
        return {};
    }
    Image rgba;
    rgba.width = w;
    rgba.height = h;
    const std::span<const std::uint8_t> colours =
        palette != nullptr ? std::span<const std::uint8_t>(palette->rgba) : std::span<const std::uint8_t>{};
    if (image::decodePixels(*layout, mip.pixels, w, h, rgba.rgba, colours, masked) != image::BlockDecodeResult::Ok) {
        warnings.push_back(packageTextureWarning(t.fullName, TextureNote::CannotDecode, detail::formatName(format)));
        return {};
    }
    if (!powerOfTwo(mip.width) || !powerOfTwo(mip.height)) {
        rgba = resizeForTexture(rgba, kMaxImageSide);
        warnings.push_back(packageTextureWarning(t.fullName, TextureNote::Resized,
                                                 sizeText(w, h) + " to " + sizeText(rgba.width, rgba.height)));
    }
    return quantise(rgba, QuantiseOptions{false, masked, 0.5});
}

// The image a texture is written as: its P8 pixels and palette exactly where it can, else a
// decoded copy made 8-bit; width 0 when there is none (the warnings say why).
PalettedImage textureImage(const Texture& t, const package::Palette* palette, ExtractedTexture& e) {
    const bool p8 = t.format == PixelFormat::P8 && !t.mips.empty();
    const bool copy = t.hasComp && !t.compMips.empty();
    if (p8 && palette != nullptr) {
        const Mip& mip = t.mips.front();
        if (powerOfTwo(mip.width) && powerOfTwo(mip.height) && mip.width <= kMaxPcxSide && mip.height <= kMaxPcxSide) {
            e.exact = true;
            return exactImage(mip, *palette);
        }
        e.madeEightBit = true;
        return quantisedImage(t, mip, t.format, palette, e.masked, e.warnings);
    }
    if (t.mips.empty() && !copy) {
        e.warnings.push_back(packageTextureWarning(t.fullName, TextureNote::NoMips));
        return {};
    }
    if (p8) { // a P8 texture whose palette is not here
        if (!copy) {
            e.warnings.push_back(t.palette.kind == ObjectLink::Kind::Import
                                     ? packageTextureWarning(t.fullName, TextureNote::ImportedPalette, t.palette.fullName)
                                     : packageTextureWarning(t.fullName, TextureNote::NoPalette));
            return {};
        }
        e.warnings.push_back(packageTextureWarning(t.fullName, TextureNote::CompressedCopy,
                                                   detail::formatName(t.compFormat)));
    }
    e.madeEightBit = true;
    const bool fromCopy = t.mips.empty() || p8;
    return quantisedImage(t, fromCopy ? t.compMips.front() : t.mips.front(), fromCopy ? t.compFormat : t.format,
                          nullptr, e.masked, e.warnings);
}

} // namespace

std::vector<ExtractedTexture> extractTextures(const package::Package& p, const Contents& contents) {
    std::vector<ExtractedTexture> out(contents.textures.size());
    nameTextures(p, contents, out);
    const std::set<std::size_t> onMaskedPolygons = maskedByPolygons(contents);
    for (std::size_t i = 0; i < contents.textures.size(); ++i) {
        const Texture& t = contents.textures[i];
        ExtractedTexture& e = out[i];
        e.exportIndex = t.exportIndex;
        e.fullName = t.fullName;
        e.group = t.group;
        e.masked = t.surface.masked || onMaskedPolygons.count(t.exportIndex) != 0;
        e.flags = e.masked ? kTextureFlagMasked : 0;
        e.singleMip = t.mips.size() == 1;
        if (!package::isPlainTextureClass(t.className)) {
            e.warnings.push_back(packageTextureWarning(t.fullName, TextureNote::ProceduralData, t.className));
        }
        const PalettedImage image = textureImage(t, package::paletteOf(contents, t), e);
        if (image.width == 0) {
            e.madeEightBit = false;
            continue;
        }
        e.pcx = encodePcx(image);
        if (e.pcx.empty()) {
            e.warnings.push_back(packageTextureWarning(t.fullName, TextureNote::CannotWrite,
                                                       sizeText(image.width, image.height)));
            e.exact = e.madeEightBit = false;
            continue;
        }
        e.width = image.width;
        e.height = image.height;
    }
    return out;
}

} // namespace meshfold
