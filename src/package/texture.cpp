// Texture and Palette objects: properties with their defaults, mips, colours.
#include "meshfold/package/texture.h"

#include "package/object.h"

#include <algorithm>

namespace meshfold::package {

namespace {

using detail::Cursor;

inline constexpr std::uint64_t kBlockSide = 4;
// A mip's smallest encoding after its optional end offset: a one-byte count, no pixels, two
// int32 sizes and two bit counts.
inline constexpr std::uint64_t kMinMipSize = 1 + 4 + 4 + 1 + 1;
inline constexpr std::uint64_t kColourSize = 4;

bool boolProperty(const Package& p, const PropertyList& list, std::string_view name) {
    const Property* prop = findProperty(p, list, name);
    return prop != nullptr && prop->type == PropertyType::Bool && prop->boolValue;
}

// A byte property's value, or `fallback` when it is absent (equal to the class default).
std::uint8_t byteProperty(const Package& p, const PropertyList& list, std::string_view name,
                          std::uint8_t fallback) {
    const Property* prop = findProperty(p, list, name);
    return prop != nullptr ? byteValue(*prop).value_or(fallback) : fallback;
}

std::int32_t intProperty(const Package& p, const PropertyList& list, std::string_view name) {
    const Property* prop = findProperty(p, list, name);
    return prop != nullptr ? intValue(*prop).value_or(0) : 0;
}

// One mip. At version 62 the end offset is not known to be there: when the value read does not
// lead to the pixels' end, the mip is read again without it.
Mip readMip(Cursor& c, std::uint16_t version) {
    Mip m;
    const std::uint64_t at = c.pos();
    std::int64_t statedEnd = -1;
    if (version >= detail::kLazyOffsetVersion) {
        statedEnd = c.u32();
        if (version == detail::kLazyOffsetVersion) {
            Cursor probe = c;
            const std::uint32_t n = probe.count(1);
            probe.skip(n);
            if (!probe.ok() || probe.pos() != static_cast<std::uint64_t>(statedEnd)) {
                c.seek(at);
                statedEnd = -1;
            }
        }
    }
    const std::uint32_t n = c.count(1);
    m.offset = c.pos();
    m.pixels = c.take(n);
    if (c.ok() && statedEnd >= 0 && static_cast<std::uint64_t>(statedEnd) != c.pos()) {
        c.fail(FailureKind::MipEnd, at, statedEnd, static_cast<std::int64_t>(c.pos()));
    }
    m.width = c.i32();
    m.height = c.i32();
    m.widthBits = c.u8();
    m.heightBits = c.u8();
    return m;
}

std::vector<Mip> readMips(Cursor& c, std::uint16_t version, PixelFormat format) {
    const std::uint32_t n = c.count(kMinMipSize);
    std::vector<Mip> mips;
    mips.reserve(n); // checked against the bytes left
    for (std::uint32_t i = 0; i < n && c.ok(); ++i) {
        const std::uint64_t at = c.pos();
        Mip m = readMip(c, version);
        if (!c.ok()) {
            break;
        }
        if (m.width < 0 || m.height < 0 ||
            m.pixels.size() != mipByteCount(format, static_cast<std::uint32_t>(m.width),
                                            static_cast<std::uint32_t>(m.height))) {
            const std::uint64_t need =
                m.width < 0 || m.height < 0
                    ? 0
                    : mipByteCount(format, static_cast<std::uint32_t>(m.width),
                                   static_cast<std::uint32_t>(m.height));
            c.fail(FailureKind::MipSize, at, static_cast<std::int64_t>(m.pixels.size()),
                   static_cast<std::int64_t>(need));
            break;
        }
        mips.push_back(m);
    }
    return mips;
}

void readSettings(const Package& p, Texture& t) {
    const PropertyList& props = t.properties;
    t.format = static_cast<PixelFormat>(byteProperty(p, props, "Format", 0));
    t.compFormat = static_cast<PixelFormat>(byteProperty(p, props, "CompFormat", 0));
    t.hasComp = boolProperty(p, props, "bHasComp");
    t.uSize = intProperty(p, props, "USize");
    t.vSize = intProperty(p, props, "VSize");
    t.uBits = byteProperty(p, props, "UBits", 0);
    t.vBits = byteProperty(p, props, "VBits", 0);
    t.surface.masked = boolProperty(p, props, "bMasked");
    t.surface.translucent = boolProperty(p, props, "bTranslucent");
    t.surface.modulate = boolProperty(p, props, "bModulate");
    t.surface.twoSided = boolProperty(p, props, "bTwoSided");
    t.surface.unlit = boolProperty(p, props, "bUnlit");
    t.surface.environment = boolProperty(p, props, "bEnvironment");
    t.surface.noSmooth = boolProperty(p, props, "bNoSmooth");
    if (const Property* pal = findProperty(p, props, "Palette")) {
        if (std::optional<ObjectRef> r = objectValue(p, *pal)) {
            t.palette = linkOf(p, *r);
        }
    }
}

std::optional<Failure> formatFailure(std::uint8_t format, const char* which) {
    if (knownPixelFormat(format)) {
        return std::nullopt;
    }
    return Failure{FailureKind::UnsupportedFormat, {}, 0, format, kFirstFormatPatchesDisagree,
                   which};
}

void addWarnings(const Package& p, const Texture& t, TextureRead& r) {
    const std::size_t i = t.exportIndex;
    if (t.mips.empty()) {
        r.warnings.push_back(detail::namedWarning(p, i, WarningKind::NoMips));
    }
    if (t.palette.kind == ObjectLink::Kind::Import) {
        r.warnings.push_back(
            detail::namedWarning(p, i, WarningKind::ImportedPalette, 0, 0, t.palette.fullName));
    } else if (t.palette.kind == ObjectLink::Kind::None && t.format == PixelFormat::P8) {
        r.warnings.push_back(detail::namedWarning(p, i, WarningKind::NoPalette));
    }
    if (!t.trailing.empty()) {
        r.warnings.push_back(detail::namedWarning(p, i, WarningKind::TrailingTextureData,
                                                  static_cast<std::int64_t>(t.trailing.size())));
    }
}

} // namespace

bool knownPixelFormat(std::uint8_t format) {
    return format == 0 || (format >= 3 && format < kFirstFormatPatchesDisagree);
}

std::uint64_t mipByteCount(PixelFormat format, std::uint32_t w, std::uint32_t h) {
    const std::uint64_t pixels = std::uint64_t{w} * h;
    const std::uint64_t blocks = ((std::uint64_t{w} + kBlockSide - 1) / kBlockSide) *
                                 ((std::uint64_t{h} + kBlockSide - 1) / kBlockSide);
    switch (format) {
    case PixelFormat::P8:
        return pixels;
    case PixelFormat::Rgb8:
        return pixels * 3;
    case PixelFormat::Rgba8:
        return pixels * 4;
    case PixelFormat::Dxt1:
    case PixelFormat::Bc4:
    case PixelFormat::Bc4Signed:
        return blocks * 8;
    case PixelFormat::Rgba16:
    case PixelFormat::Rgba16Signed:
        return pixels * 8;
    case PixelFormat::Rgba32:
    case PixelFormat::Rgba32Signed:
        return pixels * 16;
    default: // BC2, BC3, BC5, BC6H, BC7: 16 bytes a block
        return blocks * 16;
    }
}

bool isPlainTextureClass(std::string_view name) { return sameName(name, "Texture"); }

bool isTextureClass(std::string_view name) {
    static constexpr std::string_view kWithData[] = {"FireTexture",  "WaterTexture",
                                                     "WaveTexture",  "WetTexture",
                                                     "IceTexture",   "FractalTexture",
                                                     "ScriptedTexture"};
    return isPlainTextureClass(name) ||
           std::any_of(std::begin(kWithData), std::end(kWithData),
                       [name](std::string_view k) { return sameName(name, k); });
}

TextureRead readTexture(const Package& p, std::size_t exportIndex) {
    TextureRead r;
    Cursor c({}, 0, 0);
    if ((r.failure = detail::openObject(p, exportIndex, c))) {
        return r;
    }
    const ObjectRef self = exportRef(exportIndex);
    Texture t;
    t.exportIndex = exportIndex;
    t.name = objectName(p, self);
    t.fullName = fullName(p, self);
    t.group = groupPath(p, self);
    t.className = className(p, self);
    t.properties = detail::readProperties(p, c);
    if ((r.failure = detail::failureOf(p, exportIndex, c))) {
        return r;
    }
    readSettings(p, t);
    std::optional<Failure> f = formatFailure(static_cast<std::uint8_t>(t.format), "Format");
    if (!f && t.hasComp) {
        f = formatFailure(static_cast<std::uint8_t>(t.compFormat), "CompFormat");
    }
    if (f) {
        r.failure = detail::namedFailure(p, exportIndex, *f);
        return r;
    }
    const std::uint16_t version = p.header.version;
    t.mips = readMips(c, version, t.format);
    if (t.hasComp) {
        t.compMips = readMips(c, version, t.compFormat);
    }
    if (isPlainTextureClass(t.className)) {
        detail::checkAtEnd(c);
    } else {
        t.trailing = c.take(c.remaining());
    }
    if ((r.failure = detail::failureOf(p, exportIndex, c))) {
        return r;
    }
    addWarnings(p, t, r);
    r.texture = std::move(t);
    return r;
}

PaletteRead readPalette(const Package& p, std::size_t exportIndex) {
    PaletteRead r;
    Cursor c({}, 0, 0);
    if ((r.failure = detail::openObject(p, exportIndex, c))) {
        return r;
    }
    const ObjectRef self = exportRef(exportIndex);
    Palette pal;
    pal.exportIndex = exportIndex;
    pal.name = objectName(p, self);
    pal.fullName = fullName(p, self);
    pal.properties = detail::readProperties(p, c);
    const std::uint64_t at = c.pos();
    const std::uint32_t n = c.count(kColourSize);
    if (c.ok() && n != kPaletteColours) {
        c.fail(FailureKind::PaletteSize, at, n, kPaletteColours);
    }
    pal.stored = c.take(std::uint64_t{n} * kColourSize);
    detail::checkAtEnd(c);
    if ((r.failure = detail::failureOf(p, exportIndex, c))) {
        return r;
    }
    std::copy(pal.stored.begin(), pal.stored.end(), pal.rgba.begin());
    if (p.header.version < kPaletteAlphaVersion) {
        for (std::size_t k = 3; k < pal.rgba.size(); k += 4) {
            pal.rgba[k] = 255;
        }
    }
    r.palette = std::move(pal);
    return r;
}

} // namespace meshfold::package
