// libFuzzer target: the package reader on arbitrary bytes, held in a heap block of exactly
// their size, and every mesh and texture it reads run through what the reader and the image
// layer offer (triangles rebuilt, every corner's vertex decoded in every frame, every mip's
// pixels decoded). Beyond "no crash" (AddressSanitizer and UndefinedBehaviorSanitizer watch
// every access), each run must keep the reader's promises:
//   - a refusal of the container gives no package, and a package no failure;
//   - every object failure and warning names its object;
//   - every span a record holds lies inside the input;
//   - a mesh holds frames x vertices per frame vertices, its triangles' corners index them,
//     and a weapon triangle of a LodMesh has no coordinates;
//   - every mip's byte count is what its size needs in its format, and decodes;
// and what reads the package on into a package folder (extractPackage, in both forms), whose
// promises are:
//   - every file's path is Classes/, Models/ or Textures/ and one plain name, with no folder
//     part, dot-dot or drive coming through from the package's names;
//   - a mesh that comes out has both files, of the sizes their counts give, and a mesh that
//     does not has a failure naming it;
//   - the script is the first file, and every texture with a file is imported by it.
#include "meshfold/bridge/package_extract.h"
#include "meshfold/game/format.h"
#include "meshfold/image/block_decode.h"
#include "meshfold/package/inventory.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using namespace meshfold::package;
namespace image = meshfold::image;

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "broken promise: %s\n", what);
        std::abort();
    }
}

bool inside(Bytes part, Bytes whole) {
    return part.empty() ||
           (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

// Vertices decoded per run are kept few: the fuzzer's time goes to the reader.
constexpr std::uint64_t kMaxVertexReads = 1u << 16;

void checkMesh(const Mesh& m, Bytes whole) {
    check(inside(m.verts, whole) && inside(m.connects, whole) && inside(m.vertLinks, whole),
          "mesh spans inside the input");
    const std::uint64_t size = m.form == VertexForm::Wide ? kWideVertexBytes : kPackedVertexBytes;
    check(m.verts.size() == std::uint64_t{m.vertCount} * size, "vertex bytes");
    check(std::uint64_t{m.vertCount} ==
              static_cast<std::uint64_t>(m.frameVerts) * static_cast<std::uint64_t>(m.frameCount),
          "frames x vertices per frame");
    const TrianglesRead t = rebuildTriangles(m);
    std::uint64_t reads = 0;
    for (const Triangle& tri : t.triangles) {
        check(tri.hasCoordinates || (m.lodData && tri.typeByte == kWeaponTypeByte),
              "only a LodMesh's weapon triangle lacks coordinates");
        for (std::uint32_t k : tri.corner) {
            check(k < static_cast<std::uint32_t>(m.frameVerts), "corners index a frame's vertices");
            for (std::int32_t f = 0; f < m.frameCount && reads < kMaxVertexReads; ++f, ++reads) {
                check(vertexBytes(m, static_cast<std::uint32_t>(f), k).size() == size,
                      "a vertex's bytes");
                vertexValues(m, static_cast<std::uint32_t>(f), k);
            }
        }
    }
    for (const Warning& w : t.warnings) {
        check(!w.object.empty() && w.limit != 0, "a flag warning names the mesh and its bits");
    }
}

bool layoutOf(PixelFormat f, image::PixelLayout& out) {
    switch (f) {
    case PixelFormat::P8: out = image::PixelLayout::P8; return true;
    case PixelFormat::Dxt1: out = image::PixelLayout::Bc1; return true;
    case PixelFormat::Bc2: out = image::PixelLayout::Bc2; return true;
    case PixelFormat::Bc3: out = image::PixelLayout::Bc3; return true;
    case PixelFormat::Bc4: out = image::PixelLayout::Bc4; return true;
    case PixelFormat::Bc5: out = image::PixelLayout::Bc5; return true;
    case PixelFormat::Rgb8: out = image::PixelLayout::Rgb8; return true;
    case PixelFormat::Rgba8: out = image::PixelLayout::Bgra8; return true;
    default: return false;
    }
}

void checkMips(const std::vector<Mip>& mips, PixelFormat format, const Palette* pal, bool masked,
               Bytes whole) {
    static const std::vector<std::uint8_t> grey(kPaletteColours * 4, 128);
    for (const Mip& m : mips) {
        check(inside(m.pixels, whole), "mip inside the input");
        check(m.width >= 0 && m.height >= 0, "mip sizes");
        const auto w = static_cast<std::uint32_t>(m.width);
        const auto h = static_cast<std::uint32_t>(m.height);
        check(m.pixels.size() == mipByteCount(format, w, h), "mip byte count");
        image::PixelLayout layout{};
        if (!layoutOf(format, layout)) {
            continue;
        }
        check(image::layoutByteCount(layout, w, h) == m.pixels.size(), "the layers agree on sizes");
        std::vector<std::uint8_t> rgba;
        const std::span<const std::uint8_t> palette =
            pal != nullptr ? std::span<const std::uint8_t>(pal->rgba) : std::span(grey);
        check(image::decodePixels(layout, m.pixels, w, h, rgba, palette, masked) ==
                  image::BlockDecodeResult::Ok,
              "a mip decodes");
        check(rgba.size() == std::size_t{w} * h * 4, "4 bytes a pixel");
    }
}

// A path of the folder: a known subfolder, then one name of letters, digits, '_' and one '.'.
bool plainPath(const std::string& path) {
    const std::size_t slash = path.find('/');
    if (slash == std::string::npos || path.find('/', slash + 1) != std::string::npos) {
        return false;
    }
    const std::string folder = path.substr(0, slash);
    const std::string name = path.substr(slash + 1);
    const bool known = folder == "Classes" || folder == "Models" || folder == "Textures";
    std::size_t dots = 0;
    for (const char c : name) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        dots += c == '.' ? 1 : 0;
        if (!plain && c != '.') {
            return false;
        }
    }
    return known && !name.empty() && name[0] != '.' && dots == 1;
}

void checkExtraction(const Package& p, const Contents& c, bool unreal) {
    meshfold::PackageExtractOptions o;
    o.unreal = unreal;
    const meshfold::PackageExtraction x = meshfold::extractPackage(p, c, o);
    check(!x.files.empty() && x.files.front().path.rfind("Classes/", 0) == 0, "the script comes first");
    const std::string script(x.files.front().bytes.begin(), x.files.front().bytes.end());
    for (const meshfold::PackageFile& f : x.files) {
        check(plainPath(f.path), "a file of the folder has a plain path");
    }
    for (const meshfold::ExtractedMesh& e : x.meshes) {
        if (e.failure.stop != meshfold::Stop::None) {
            check(e.anim.empty() && e.failure.file == e.fullName, "a failure names its mesh");
            continue;
        }
        const std::size_t vertex = e.deusEx ? meshfold::kWideVertexSize : meshfold::kPackedVertexSize;
        check(e.anim.size() == meshfold::kAnimHeaderSize + std::size_t{e.frames} * e.vertices * vertex,
              "an animation file of its frames' size");
        check(e.data.size() == meshfold::kDataHeaderSize + std::size_t{e.triangles} * meshfold::kTriangleRecordSize,
              "a data file of its triangles' size");
    }
    for (const meshfold::ExtractedTexture& t : x.textures) {
        check(!t.hasFile || script.find("FILE=" + t.scriptFile) != std::string::npos,
              "a texture with a file is imported");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::uint8_t> file(data, data + size);
    const Bytes whole(file);
    const PackageRead r = readPackage(whole, "Fuzz");
    check(r.package.has_value() != r.failure.has_value(), "a package or a failure");
    if (!r.package) {
        return 0;
    }
    const Contents c = readContents(*r.package);
    for (const Failure& f : c.failures) {
        check(f.object.rfind("Fuzz.", 0) == 0, "a failure names its object");
    }
    for (const Warning& w : c.warnings) {
        check(!w.object.empty(), "a warning names its object");
    }
    for (const Mesh& m : c.meshes) {
        checkMesh(m, whole);
    }
    for (const Palette& p : c.palettes) {
        check(inside(p.stored, whole) && p.stored.size() == kPaletteColours * 4, "palette bytes");
    }
    for (const Texture& t : c.textures) {
        const Palette* pal = paletteOf(c, t);
        checkMips(t.mips, t.format, pal, t.surface.masked, whole);
        checkMips(t.compMips, t.compFormat, nullptr, false, whole);
        check(inside(t.trailing, whole), "trailing bytes inside the input");
    }
    checkExtraction(*r.package, c, false);
    checkExtraction(*r.package, c, true);
    return 0;
}
