// A glTF file's images made into the 8-bit textures of a game mesh.
#include "meshfold/bridge/game_texture.h"

#include "meshfold/common/ascii.h"
#include "meshfold/gltf/gltf_common.h"
#include "meshfold/image/image.h"

#include <algorithm>

namespace meshfold {

namespace {

// The base name of a script's FILE= ("Textures\Sign.bmp" gives "Sign"); empty
// when it has none a file may be named by.
std::string baseNameOf(const std::string& file) {
    const std::size_t slash = file.find_last_of("\\/");
    std::string base = slash == std::string::npos ? file : file.substr(slash + 1);
    const std::size_t dot = base.rfind('.');
    base = dot == std::string::npos ? base : base.substr(0, dot);
    const bool plain = std::all_of(base.begin(), base.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    });
    return plain ? base : std::string{};
}

// An image that keeps its own palette, written as it is: its palette and
// indices when its sides need no resizing.
bool keepsPalette(const Image& image, std::uint32_t sideCap) {
    return !image.indices.empty() && image.palette.size() <= 768 && image.palette.size() % 3 == 0 &&
           !image.palette.empty() && textureSide(image.width, sideCap) == image.width &&
           textureSide(image.height, sideCap) == image.height;
}

PalettedImage ownPalette(const Image& image) {
    PalettedImage p;
    p.width = image.width;
    p.height = image.height;
    p.indices = image.indices;
    std::copy(image.palette.begin(), image.palette.end(), p.palette.begin());
    p.colours = static_cast<std::uint32_t>(image.palette.size() / 3);
    return p;
}

// The texture's 8-bit pixels. A texture coming home (`own`) keeps its size,
// each side the largest power of two not above its own: the cap is for
// images that were never the game's. Its palette and indices where its
// sides need nothing done; a true-colour one (no indices) keeps up to 256
// colours exactly, no index set aside for hidden pixels, as its material
// showed none. Any other image is resized within `sideCap` and quantised,
// index 0 kept for the pixels its material hides.
PalettedImage texturePixels(const GltfTexture& t, bool own, std::uint32_t sideCap) {
    const std::uint32_t cap = own ? kMaxImageSide : sideCap;
    if (own && keepsPalette(t.image, cap)) {
        return ownPalette(t.image);
    }
    const bool hidden = own && t.image.indices.empty() ? false : t.masked;
    return quantise(resizeForTexture(t.image, cap), {false, hidden, t.alphaCutoff});
}

} // namespace

std::vector<GameTexture> gameTextures(const GltfRead& read, const std::string& meshName,
                                      std::uint32_t sideCap, std::vector<std::string>& warnings) {
    std::vector<GameTexture> out;
    for (const GltfTexture& t : read.textures) {
        GameTexture g;
        g.number = t.number;
        const std::string base = baseNameOf(t.file);
        const bool own = !t.name.empty() && !base.empty();
        g.name = own ? t.name : meshName + "Tex" + std::to_string(t.number);
        g.fileName = (own ? base : g.name) + ".pcx";
        const std::size_t slash = t.file.find_last_of("\\/");
        g.scriptFile = own ? t.file.substr(0, slash == std::string::npos ? 0 : slash + 1) + g.fileName
                           : "Textures\\" + g.fileName;
        const auto earlier = std::find_if(out.begin(), out.end(), [&g](const GameTexture& e) {
            return !e.sameAsEarlier && equalsIgnoringAsciiCase(e.name, g.name);
        });
        if (earlier != out.end()) {
            GameTexture same = *earlier;
            same.number = t.number;
            same.pcx.clear();
            same.sameAsEarlier = true;
            out.push_back(std::move(same));
            continue;
        }
        g.group = own ? t.group : "Skins";
        g.flags = own ? t.flags : t.masked ? kTextureFlagMasked : 0;
        const PalettedImage p = texturePixels(t, own, sideCap);
        g.pcx = encodePcx(p);
        if (g.pcx.empty()) {
            warnings.push_back("texture " + std::to_string(t.number) + " (" + t.material +
                               ") cannot be made into a PCX: texture " + std::to_string(t.number) +
                               " is not written");
            continue;
        }
        g.width = p.width;
        g.height = p.height;
        g.colours = p.colours;
        out.push_back(std::move(g));
    }
    return out;
}

} // namespace meshfold
