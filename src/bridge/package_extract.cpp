// A package's meshes as `_a.3d` and `_d.3d` files in either form, and the whole package folder.
#include "meshfold/bridge/package_extract.h"

#include "bridge/package_parts.h"
#include "meshfold/bridge/game_mesh.h"
#include "meshfold/common/ascii.h"
#include "meshfold/game/format.h"
#include "meshfold/game/reverse.h"

#include <algorithm>
#include <set>

namespace meshfold {

namespace {

using package::Mesh;
using package::Triangle;
using package::VertexForm;

constexpr std::uint32_t kMaxFileCount = 65535; // the 16-bit counts of both files
constexpr std::int32_t kMaxTextureNumber = 255; // a byte of the triangle record
constexpr std::size_t kWidePadOffset = 6;

// The units of a packed field in the Deus Ex form, per axis (X, Y, Z): the conversion keeps a
// field's top 8 bits (X and Y have 11, Z has 10), or all of them at 32 (X, Y) and 64 (Z) times
// the field: see ConvertMode.
constexpr double kNormalWidePerPacked[3] = {1.0 / 8, 1.0 / 8, 1.0 / 4};
constexpr double kHiResWidePerPacked[3] = {32, 32, 64};

Failure tooLarge(const Mesh& m, const std::string& what) {
    return Failure{Stop::PackageMeshTooLarge, m.fullName, what};
}

std::string countText(std::uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// The first limit of the two files that the mesh passes, or Stop::None.
Failure checkLimits(const Mesh& m, const std::vector<Triangle>& tris, bool deusEx) {
    const std::uint32_t vertexSize = deusEx ? kWideVertexSize : kPackedVertexSize;
    const auto frames = static_cast<std::uint64_t>(m.frameCount);
    const auto verts = static_cast<std::uint64_t>(m.frameVerts);
    if (frames == 0 || verts == 0) {
        return tooLarge(m, frames == 0 ? "no frame, and a mesh file needs one"
                                       : "no vertex, and a mesh file needs one");
    }
    if (frames > kMaxFileCount) {
        return tooLarge(m, countText(frames, "frame", "frames") + ", more than the 65535 an _a.3d file holds");
    }
    if (verts * vertexSize > kMaxFrameSize) {
        return tooLarge(m, countText(verts, "vertex", "vertices") + " a frame, more than the " +
                               std::to_string(kMaxFrameSize / vertexSize) + " a frame of the " +
                               (deusEx ? "Deus Ex" : "Unreal") + " form holds (65535 bytes)");
    }
    if (tris.size() > kMaxFileCount) {
        return tooLarge(m, countText(tris.size(), "triangle", "triangles") +
                               ", more than the 65535 a _d.3d file holds");
    }
    for (std::size_t i = 0; i < tris.size(); ++i) {
        if (tris[i].textureNumber < 0 || tris[i].textureNumber > kMaxTextureNumber) {
            return tooLarge(m, "texture number " + std::to_string(tris[i].textureNumber) + " on triangle " +
                                   std::to_string(i) + ", and a _d.3d file holds 0 to 255");
        }
    }
    return {};
}

// Every vertex of every frame as the wide form stores it, the pad word 0 (it is junk in some
// real meshes, and a wide vertex whose pad is not 0 is no Deus Ex vertex to packVertices).
std::vector<std::uint8_t> wideWithoutPad(const Mesh& m) {
    std::vector<std::uint8_t> wide(m.verts.begin(), m.verts.end());
    for (std::size_t at = 0; at + kWideVertexSize <= wide.size(); at += kWideVertexSize) {
        wide[at + kWidePadOffset] = 0;
        wide[at + kWidePadOffset + 1] = 0;
    }
    return wide;
}

void rangesOfWide(const std::uint8_t* wide, std::size_t count, CoordRanges& r) {
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* v = wide + i * kWideVertexSize;
        includeInRange(r.x, static_cast<std::int16_t>(readLe16(v)));
        includeInRange(r.y, static_cast<std::int16_t>(readLe16(v + 2)));
        includeInRange(r.z, static_cast<std::int16_t>(readLe16(v + 4)));
    }
}

void rangesOfPacked(const Mesh& m, CoordRanges& r) {
    for (std::uint32_t i = 0; i < m.vertCount; ++i) {
        const std::uint32_t frame = i / static_cast<std::uint32_t>(m.frameVerts);
        const package::VertexValues v =
            package::vertexValues(m, frame, i % static_cast<std::uint32_t>(m.frameVerts));
        includeInRange(r.x, static_cast<std::int16_t>(v.x));
        includeInRange(r.y, static_cast<std::int16_t>(v.y));
        includeInRange(r.z, static_cast<std::int16_t>(v.z));
    }
}

// The animation file: the header, then every frame's vertices in the package's order, in the
// form asked for. Fails only when a Deus Ex vertex does not fit the Unreal form.
Failure writeAnim(const Mesh& m, const PackageExtractOptions& o, ExtractedMesh& e) {
    const bool storedWide = m.form == VertexForm::Wide;
    const std::size_t count = m.vertCount;
    const std::size_t vertexSize = e.deusEx ? kWideVertexSize : kPackedVertexSize;
    e.anim.resize(kAnimHeaderSize + count * vertexSize);
    writeLe16(e.anim.data(), static_cast<std::uint16_t>(m.frameCount));
    writeLe16(e.anim.data() + 2, static_cast<std::uint16_t>(static_cast<std::size_t>(m.frameVerts) * vertexSize));
    std::uint8_t* out = e.anim.data() + kAnimHeaderSize;
    if (storedWide) {
        const std::vector<std::uint8_t> wide = wideWithoutPad(m);
        if (e.deusEx) {
            std::copy(wide.begin(), wide.end(), out);
            rangesOfWide(out, count, e.ranges);
            return {};
        }
        PackingTally tally;
        packVertices(wide.data(), count, out, o.mode, e.ranges, tally);
        Failure f = packingFailure(tally);
        f.file = m.fullName;
        return f;
    }
    if (e.deusEx) {
        convertWords(m.verts.data(), count, out, o.mode, e.ranges);
    } else {
        std::copy(m.verts.begin(), m.verts.end(), out);
        rangesOfPacked(m, e.ranges);
    }
    return {};
}

// The data file: the two counts, the 44 bytes of the header no engine reads (0), then each
// triangle as the record holds it: corners, polygon type, texture coordinates, texture number.
// The colour and flag bytes of a record have no field in a package: 0.
std::vector<std::uint8_t> dataFile(const std::vector<Triangle>& tris, std::uint32_t vertices, bool reverse) {
    std::vector<std::uint8_t> data(kDataHeaderSize + tris.size() * kTriangleRecordSize, 0);
    writeLe16(data.data(), static_cast<std::uint16_t>(tris.size()));
    writeLe16(data.data() + 2, static_cast<std::uint16_t>(vertices));
    for (std::size_t i = 0; i < tris.size(); ++i) {
        const Triangle& t = tris[i];
        TriangleRecord r;
        for (std::size_t k = 0; k < 3; ++k) {
            r.vertex[k] = static_cast<std::uint16_t>(t.corner[k]);
        }
        r.attr0 = t.typeByte;
        r.u = t.u;
        r.v = t.v;
        r.attr2 = static_cast<std::uint8_t>(t.textureNumber);
        encodeTriangle(reverse ? reverseWinding(r) : r, data.data() + kDataHeaderSize + i * kTriangleRecordSize);
    }
    return data;
}

// One warning for the triangles whose flags the type byte cannot keep.
void flagWarnings(const Mesh& m, const package::TrianglesRead& t, std::vector<std::string>& warnings) {
    std::uint32_t bits = 0;
    for (const package::Warning& w : t.warnings) {
        bits |= static_cast<std::uint32_t>(w.limit);
    }
    if (!t.warnings.empty()) {
        warnings.push_back(unmappedFlagsWarning(m.fullName, static_cast<unsigned>(t.warnings.size()),
                                                static_cast<unsigned>(t.warnings.front().offset), bits));
    }
}

std::string switchesText(const ConvertMode& mode) {
    return mode.keepXSign && mode.hiRes ? "-ms and -h" : mode.keepXSign ? "-ms" : "-h";
}

bool selected(const PackageExtractOptions& o, const Mesh& m) {
    return o.meshes.empty() || std::any_of(o.meshes.begin(), o.meshes.end(), [&m](const std::string& n) {
               return equalsIgnoringAsciiCase(n, m.name);
           });
}

} // namespace

FormChange formChange(VertexForm stored, const PackageExtractOptions& o) {
    FormChange c;
    const bool toWide = !o.unreal;
    if ((stored == VertexForm::Wide) == toWide) {
        return c; // copied as stored
    }
    const double* widePerPacked = o.mode.hiRes ? kHiResWidePerPacked : kNormalWidePerPacked;
    for (int a = 0; a < 3; ++a) {
        // A vertex's written value is its stored one times widePerPacked (into the Deus Ex form)
        // or over it (back): the scale changes the other way round.
        c.factor[a] = toWide ? 1 / widePerPacked[a] : widePerPacked[a];
    }
    c.sign[0] = o.mode.keepXSign ? 1 : -1;
    c.sign[1] = -1;
    c.turned = !o.mode.keepXSign;
    return c;
}

package::Rotator writtenRotation(const package::Rotator& stored, const FormChange& change) {
    if (!change.turned) {
        return stored;
    }
    // A half turn about Z after the stored rotation, R * Rz(180): the engine's rotation is yaw
    // after pitch after roll, and turning pitch and roll round a half turn about Z negates
    // them: R(p, y, r) * Rz(180) = R(-p, y + 32768, -r). Values count modulo 65536; the yaw is
    // kept within -32767..32768, and INT32_MIN, a whole number of turns, negates to 0.
    auto negated = [](std::int32_t v) { return v == INT32_MIN ? 0 : -v; };
    std::int64_t yaw = (std::int64_t{stored.yaw} + 32768) % 65536;
    yaw = yaw < 0 ? yaw + 65536 : yaw;
    yaw = yaw > 32768 ? yaw - 65536 : yaw;
    return package::Rotator{negated(stored.pitch), static_cast<std::int32_t>(yaw), negated(stored.roll)};
}

ExtractedMesh extractMesh(const package::Package& p, const Mesh& m,
                          const std::vector<ExtractedTexture>& textures, const PackageExtractOptions& o) {
    return detail::extractMeshAs(p, m, textures, o, detail::fileStem(m.name));
}

ExtractedMesh detail::extractMeshAs(const package::Package& p, const Mesh& m,
                                    const std::vector<ExtractedTexture>& textures,
                                    const PackageExtractOptions& o, const std::string& stem) {
    ExtractedMesh e;
    e.animFile = "Models/" + stem + "_a.3d";
    e.dataFile = "Models/" + stem + "_d.3d";
    e.exportIndex = m.exportIndex;
    e.name = m.name;
    e.fullName = m.fullName;
    e.scriptName = scriptIdentifier(m.name);
    e.deusEx = !o.unreal;
    e.converted = (m.form == VertexForm::Wide) != e.deusEx;
    const package::TrianglesRead read = package::rebuildTriangles(m);
    e.failure = checkLimits(m, read.triangles, e.deusEx);
    if (e.failure.stop == Stop::None) {
        e.failure = writeAnim(m, o, e);
    }
    if (e.failure.stop != Stop::None) {
        e.anim.clear();
        return e;
    }
    const bool reverse = e.converted && o.mode.keepXSign;
    e.data = dataFile(read.triangles, static_cast<std::uint32_t>(m.frameVerts), reverse);
    e.frames = static_cast<std::uint32_t>(m.frameCount);
    e.vertices = static_cast<std::uint32_t>(m.frameVerts);
    e.triangles = static_cast<std::uint32_t>(read.triangles.size());
    flagWarnings(m, read, e.warnings);
    const auto weapons = static_cast<unsigned>(std::count_if(read.triangles.begin(), read.triangles.end(),
                                                             [](const Triangle& t) { return !t.hasCoordinates; }));
    if (reverse && weapons > 0) {
        e.warnings.push_back(weaponTriangleWarning(m.fullName, weapons));
    }
    if (!e.converted && (o.mode.keepXSign || o.mode.hiRes)) {
        e.warnings.push_back(copiedAsStoredWarning(m.fullName, e.deusEx, switchesText(o.mode)));
    }
    e.meshLines = detail::meshScriptLines(p, m, e, textures, formChange(m.form, o));
    e.script = detail::meshTextureImports(m, textures) + e.meshLines;
    return e;
}

PackageExtraction extractPackage(const package::Package& p, const package::Contents& contents,
                                 const PackageExtractOptions& o) {
    PackageExtraction x;
    const std::vector<ExtractedTexture> all = extractTextures(p, contents);
    detail::StemSet stems;
    std::set<std::size_t> used; // export indices of the textures the selected meshes name
    for (const Mesh& m : contents.meshes) {
        if (!selected(o, m)) {
            continue;
        }
        ExtractedMesh e = detail::extractMeshAs(p, m, all, o, stems.take({detail::fileStem(m.name)}));
        for (const package::ObjectLink& l : m.textures) {
            if (l.kind == package::ObjectLink::Kind::Export) {
                used.insert(l.exportIndex);
            }
        }
        x.warnings.insert(x.warnings.end(), e.warnings.begin(), e.warnings.end());
        if (e.failure.stop != Stop::None) {
            x.failures.push_back(e.failure);
        }
        x.meshes.push_back(std::move(e));
    }
    for (const std::string& n : o.meshes) {
        if (std::none_of(contents.meshes.begin(), contents.meshes.end(),
                         [&n](const Mesh& m) { return equalsIgnoringAsciiCase(n, m.name); })) {
            x.unknownMeshes.push_back(n);
        }
    }
    for (const ExtractedTexture& t : all) {
        if (o.meshes.empty() || used.count(t.exportIndex) != 0) {
            x.warnings.insert(x.warnings.end(), t.warnings.begin(), t.warnings.end());
            x.textures.push_back(t);
        }
    }
    x.files.push_back({"Classes/" + detail::fileStem(p.name) + ".uc", {}});
    const std::string script = packageScript(p, x.meshes, x.textures);
    x.files.back().bytes.assign(script.begin(), script.end());
    for (const ExtractedMesh& e : x.meshes) {
        if (e.failure.stop == Stop::None) {
            x.files.push_back({e.animFile, e.anim});
            x.files.push_back({e.dataFile, e.data});
        }
    }
    for (const ExtractedTexture& t : x.textures) {
        if (!t.pcx.empty()) {
            x.files.push_back({t.fileName, t.pcx});
        }
    }
    return x;
}

} // namespace meshfold
