#include "bridge/package_parts.h"

#include "meshfold/bridge/game_mesh.h"
#include "meshfold/common/ascii.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace meshfold::detail {

namespace {

// The names Windows gives devices: a file named so, with any extension, is the device.
constexpr const char* kDeviceNames[] = {"CON",  "PRN",  "AUX",  "NUL",  "COM1", "COM2", "COM3", "COM4",
                                        "COM5", "COM6", "COM7", "COM8", "COM9", "LPT1", "LPT2", "LPT3",
                                        "LPT4", "LPT5", "LPT6", "LPT7", "LPT8", "LPT9"};

bool isDeviceName(const std::string& stem) {
    return std::any_of(std::begin(kDeviceNames), std::end(kDeviceNames),
                       [&stem](const char* d) { return equalsIgnoringAsciiCase(stem, d); });
}

} // namespace

std::string fileStem(const std::string& name) {
    std::string stem = scriptIdentifier(name);
    return isDeviceName(stem) ? stem + "_" : stem;
}

std::string lowerCase(std::string_view name) {
    std::string lower(name);
    for (char& c : lower) {
        c = lowerAscii(c);
    }
    return lower;
}

std::string StemSet::take(const std::vector<std::string>& preferred) {
    for (const std::string& p : preferred) {
        if (taken.insert(lowerCase(p)).second) {
            return p;
        }
    }
    const std::string base = preferred.empty() ? std::string("_") : preferred.back();
    for (std::size_t n = 2;; ++n) {
        std::string stem = base + "_" + std::to_string(n);
        if (taken.insert(lowerCase(stem)).second) {
            return stem;
        }
    }
}

const ExtractedTexture* textureOf(const std::vector<ExtractedTexture>& textures, std::size_t exportIndex) {
    const auto it = std::lower_bound(textures.begin(), textures.end(), exportIndex,
                                     [](const ExtractedTexture& t, std::size_t i) { return t.exportIndex < i; });
    return it != textures.end() && it->exportIndex == exportIndex ? &*it : nullptr;
}

std::string formatName(package::PixelFormat format) {
    using package::PixelFormat;
    switch (format) {
    case PixelFormat::P8: return "P8";
    case PixelFormat::Dxt1: return "DXT1";
    case PixelFormat::Rgb8: return "RGB8";
    case PixelFormat::Rgba8: return "BGRA8";
    case PixelFormat::Bc2: return "BC2";
    case PixelFormat::Bc3: return "BC3";
    case PixelFormat::Bc4: return "BC4";
    case PixelFormat::Bc4Signed: return "BC4 signed";
    case PixelFormat::Bc5: return "BC5";
    case PixelFormat::Bc5Signed: return "BC5 signed";
    case PixelFormat::Bc7: return "BC7";
    case PixelFormat::Bc6hSigned: return "BC6H signed";
    case PixelFormat::Bc6h: return "BC6H";
    case PixelFormat::Rgba16: return "RGBA16";
    case PixelFormat::Rgba16Signed: return "RGBA16 signed";
    case PixelFormat::Rgba32: return "RGBA32";
    case PixelFormat::Rgba32Signed: return "RGBA32 signed";
    }
    return "format " + std::to_string(static_cast<unsigned>(format));
}

std::string scriptNumber(float v) {
    v = v == 0 ? 0.0f : v; // -0, which a negated origin of 0 gives, reads as 0 anyway
    // Plain decimals where %g gives them (30, not 3e+01); an exponent only where it must.
    char text[32];
    for (int digits = 1; digits <= 9; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, static_cast<double>(v));
        if (std::strtof(text, nullptr) == v && std::strchr(text, 'e') == nullptr) {
            return text;
        }
    }
    std::snprintf(text, sizeof text, "%.9g", static_cast<double>(v));
    return text;
}

std::string scriptRotation(std::int32_t stored) {
    // stored / 256 has at most eight decimals, all within double's precision.
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", stored / 256.0);
    return text;
}

} // namespace meshfold::detail
