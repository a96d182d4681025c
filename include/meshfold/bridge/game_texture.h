// The game textures of a mesh made from a glTF file: each texture number's
// image (see GltfTexture) as the 8-bit PCX an engine's texture importer
// reads, with the name and flags its import line gives it. Pure: the read
// file in, the files' bytes out; the import step writes them.
#pragma once

#include "meshfold/gltf/read/gltf_read.h"

#include <cstdint>
#include <string>
#include <vector>

namespace meshfold {

struct GameTexture {
    std::uint8_t number = 0;  // the texture number (SETTEXTURE NUM=)
    std::string name;         // TEXTURE IMPORT NAME= and SETTEXTURE TEXTURE=
    std::string fileName;     // the file written beside the glTF file
    std::string scriptFile;   // FILE= as the script names it ("Textures\X7PR2.pcx")
    std::string group;        // GROUP= ("Skins"; none when empty)
    std::uint32_t flags = 0;  // FLAGS= (kTextureFlagMasked for a masked texture)
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t colours = 0;
    std::vector<std::uint8_t> pcx; // empty for `sameAsEarlier`
    // Another texture number of the same written texture (one name, one
    // file): only the first is written and imported.
    bool sameAsEarlier = false;
};

// The textures of `read`, for the mesh whose script names it `meshName` (a
// script identifier), the sides of new images capped at `sideCap` (a power
// of two, see isTextureSideCap):
//   - a texture the file's extras name (a file written by --to-gltf --uc,
//     its image unchanged) keeps that name, group, flags and its file's base
//     name with the extension .pcx (Sign.bmp gives Sign.pcx), and its size
//     whatever the cap, each side the largest power of two not above its
//     own; an 8-bit one whose sides are powers of two keeps its palette and
//     indices as they are, so that the round trip gives the same texture; a
//     true-colour one is quantised with no index set aside, so that up to
//     256 colours stay exact (and black, the lowest, is index 0);
//   - any other is MESHTexN.pcx, named MESHTexN in group Skins, resized (resizeForTexture)
//     and quantised (quantise, no dithering), FLAGS=2 when masked.
// Texture numbers whose extras name one texture share it: it is made once.
// A texture that cannot be made gives a line in `warnings` and none.
std::vector<GameTexture> gameTextures(const GltfRead& read, const std::string& meshName,
                                      std::uint32_t sideCap, std::vector<std::string>& warnings);

} // namespace meshfold
