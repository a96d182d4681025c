// Texture and Palette objects: a texture's settings (its properties, with the class defaults for
// those not written), its mips as spans of the package's bytes, and a palette's colours. Turning
// pixels into colours is the image layer's (meshfold/image/block_decode.h).
#pragma once

#include "meshfold/package/package.h"
#include "meshfold/package/properties.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace meshfold::package {

// `Format` and `CompFormat` values read here. 1 and 2 mean other things in the 227 and v469
// patches than in the games themselves, and the patches part from 19 on: those are refused.
enum class PixelFormat : std::uint8_t {
    P8 = 0,
    Dxt1 = 3,  // BC1
    Rgb8 = 4,
    Rgba8 = 5, // stored B, G, R, A
    Bc2 = 6,
    Bc3 = 7,
    Bc4 = 8,
    Bc4Signed = 9,
    Bc5 = 10,
    Bc5Signed = 11,
    Bc7 = 12,
    Bc6hSigned = 13,
    Bc6h = 14,
    Rgba16 = 15,
    Rgba16Signed = 16,
    Rgba32 = 17,
    Rgba32Signed = 18,
};
inline constexpr std::uint8_t kFirstFormatPatchesDisagree = 19;

// True for the values above; false for 1, 2 and 19 and up.
bool knownPixelFormat(std::uint8_t format);

// Bytes one mip of w x h pixels takes in a known format: block formats round each side up to
// whole 4 x 4 blocks. Computed in 64 bits; w and h are at most 2^31 - 1.
std::uint64_t mipByteCount(PixelFormat format, std::uint32_t w, std::uint32_t h);

struct Mip {
    std::uint64_t offset = 0; // the mip's first byte in the file
    Bytes pixels;
    std::int32_t width = 0, height = 0;
    std::uint8_t widthBits = 0, heightBits = 0;
};

// The texture's surface bools, each its own property (absent = false).
struct SurfaceFlags {
    bool masked = false, translucent = false, modulate = false, twoSided = false, unlit = false,
         environment = false, noSmooth = false;
};

struct Texture {
    std::size_t exportIndex = 0;
    std::string name;
    std::string fullName;  // `Pkg.Group.Name`
    std::string group;     // from the outer chain: `Skins`, `Skins.Sub`, or empty
    std::string className; // `Texture`, or a fractal or scripted one
    PropertyList properties;

    PixelFormat format = PixelFormat::P8;
    ObjectLink palette; // an export (a Palette of this package), an import, or none
    std::int32_t uSize = 0, vSize = 0;
    std::uint8_t uBits = 0, vBits = 0;
    SurfaceFlags surface;
    bool hasComp = false;
    PixelFormat compFormat = PixelFormat::P8;

    std::vector<Mip> mips;
    std::vector<Mip> compMips; // only when hasComp
    Bytes trailing;            // what fractal and scripted textures append after the mips
};

struct TextureRead {
    std::optional<Texture> texture; // set exactly when failure is not
    std::optional<Failure> failure;
    std::vector<Warning> warnings; // no mips, an imported palette or none for a P8 texture,
                                   // trailing data
};

// The classes read as textures: Texture itself, and those that append data of their own after
// the mips (fractal textures: FireTexture, WaterTexture, WaveTexture, WetTexture, IceTexture;
// ScriptedTexture). Any other class is not a texture here.
bool isTextureClass(std::string_view className);
// True for Texture alone: its fields must end at the object's end.
bool isPlainTextureClass(std::string_view className);

// Reads export i as a texture. Refuses running states, properties past the object, formats that
// are not known, mips whose byte count is not their size's in their format or whose stated end
// is not their pixels' end, and (for a plain Texture) fields that do not end at the object's end.
TextureRead readTexture(const Package& p, std::size_t exportIndex);

inline constexpr std::uint32_t kPaletteColours = 256;
// Below this version the alpha bytes of a palette are junk.
inline constexpr std::uint16_t kPaletteAlphaVersion = 66;

struct Palette {
    std::size_t exportIndex = 0;
    std::string name;
    std::string fullName;
    PropertyList properties;
    Bytes stored; // 256 x { R, G, B, A } as stored
    // The same colours, R, G, B, A each, with A 255 where the stored alpha is junk.
    std::array<std::uint8_t, kPaletteColours * 4> rgba{};
};

struct PaletteRead {
    std::optional<Palette> palette;
    std::optional<Failure> failure;
};

// Reads export i as a palette: its properties, then a count that must be 256, then the colours,
// to exactly the object's end.
PaletteRead readPalette(const Package& p, std::size_t exportIndex);

} // namespace meshfold::package
