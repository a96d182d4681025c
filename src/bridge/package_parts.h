// What the three files that write a package folder share: the names its objects take there
// (script identifiers, and file names safe and unique on every system), numbers and names as
// the script writes them, and each mesh's lines. Serves package_extract.cpp,
// package_textures.cpp and package_script.cpp alone.
#pragma once

#include "meshfold/bridge/package_extract.h"
#include "meshfold/package/texture.h"

#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace meshfold::detail {

// `name` as a file name's stem: letters, digits and '_' (anything else becomes '_', a leading
// digit gets one in front, as for a script identifier), with '_' after the names Windows keeps
// for devices (CON, NUL, COM1, ...), whatever follows them. A package's names are untrusted:
// no folder part, dot or drive can come through.
std::string fileStem(const std::string& name);

// Stems already taken, compared ignoring case (two files may not differ only in case on
// Windows): the first of `preferred` not taken, else the last one with "_2", "_3", ... added;
// the one returned is taken from then on.
struct StemSet {
    std::set<std::string> taken; // lower case
    std::string take(const std::vector<std::string>& preferred);
};

// `name` in lower case (ASCII), as names and file names compare.
std::string lowerCase(std::string_view name);

// The texture of export `exportIndex` among `textures` (in export order), or null.
const ExtractedTexture* textureOf(const std::vector<ExtractedTexture>& textures, std::size_t exportIndex);

// The pixel format as a listing names it ("P8", "DXT1", "BGRA8", ...).
std::string formatName(package::PixelFormat format);

// A number as the script writes it: the shortest of up to nine significant digits that reads
// back as the same single-precision value.
std::string scriptNumber(float v);

// A rotator component as MESH ORIGIN writes it: the stored value over 256, exactly (every such
// value has at most eight decimals).
std::string scriptRotation(std::int32_t stored);

// A name from the package as a script's value: bare when it holds letters, digits, '_', '.'
// and '-' alone, else in double quotes, with quotes and control characters (which would end
// the value or the line) made '_'. Empty becomes "None".
std::string scriptValue(std::string_view name);

// The mesh extracted with its files named Models/STEM_a.3d and STEM_d.3d.
ExtractedMesh extractMeshAs(const package::Package& p, const package::Mesh& m,
                            const std::vector<ExtractedTexture>& textures,
                            const PackageExtractOptions& o, const std::string& stem);

// The TEXTURE IMPORT line of a texture written to a file.
std::string textureImportLine(const ExtractedTexture& t);

// The TEXTURE IMPORT lines of the mesh's slots' textures that have files, once each.
std::string meshTextureImports(const package::Mesh& m, const std::vector<ExtractedTexture>& textures);

// The mesh's own lines (see ExtractedMesh::meshLines); `e` gives its names, files and counts.
std::string meshScriptLines(const package::Package& p, const package::Mesh& m, const ExtractedMesh& e,
                            const std::vector<ExtractedTexture>& textures, const FormChange& change);

} // namespace meshfold::detail
