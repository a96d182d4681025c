// The import lines of a package folder's meshes and textures, and the listing of a package.
//
// The lines read back with meshfold's own reader (game/script.h): MESH IMPORT names the files as
// `Models\NAME_a.3d` relative to the package folder, SEQUENCE lines carry NUMFRAMES and RATE,
// and each SETTEXTURE names a texture whose TEXTURE IMPORT comes earlier in the same script.
#include "meshfold/bridge/package_extract.h"

#include "bridge/package_parts.h"
#include "meshfold/bridge/game_mesh.h"
#include "meshfold/package/polygon_flags.h"

#include <algorithm>

namespace meshfold {

namespace {

using package::Mesh;
using package::ObjectLink;

using detail::textureOf;

// The package a full name `Pkg.Group.Name` belongs to.
std::string packageOf(const std::string& fullName) {
    return fullName.substr(0, fullName.find('.'));
}

std::string scriptPath(const std::string& file) {
    std::string path = file;
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

std::string meshImportLines(const Mesh& m, const ExtractedMesh& e, const package::Rotator& rotation,
                            const FormChange& change) {
    const std::string& name = e.scriptName;
    std::string s = "#exec MESH IMPORT MESH=" + name + " ANIVFILE=" + scriptPath(e.animFile) +
                    " DATAFILE=" + scriptPath(e.dataFile) + " X=0 Y=0 Z=0 MLOD=" + (m.lod ? "1" : "0") + "\n";
    const float origin[3] = {m.origin.x, m.origin.y, m.origin.z};
    std::string axes[3];
    for (int a = 0; a < 3; ++a) {
        axes[a] = detail::scriptNumber(static_cast<float>(change.sign[a] * origin[a] / change.factor[a]));
    }
    s += "#exec MESH ORIGIN MESH=" + name + " X=" + axes[0] + " Y=" + axes[1] + " Z=" + axes[2] +
         " PITCH=" + detail::scriptRotation(rotation.pitch) + " YAW=" + detail::scriptRotation(rotation.yaw) +
         " ROLL=" + detail::scriptRotation(rotation.roll) + "\n";
    if (m.lodData) {
        const package::LodData& d = *m.lodData;
        s += "#exec MESH LODPARAMS MESH=" + name + " STRENGTH=" + detail::scriptNumber(d.lodStrength) +
             " MINVERTS=" + std::to_string(d.lodMinVerts) + " MORPH=" + detail::scriptNumber(d.lodMorph) +
             " ZDISP=" + detail::scriptNumber(d.lodZDisp) + " HYSTERESIS=" + detail::scriptNumber(d.lodHysteresis) +
             " MAXSCALE=" + detail::scriptNumber(d.maxScale) + "\n";
    }
    return s;
}

std::string sequenceLines(const package::Package& p, const Mesh& m, const std::string& name) {
    std::string s;
    for (const package::Sequence& q : m.sequences) {
        const std::string seq = detail::scriptValue(package::nameAt(p, q.name));
        s += "#exec MESH SEQUENCE MESH=" + name + " SEQ=" + seq + " STARTFRAME=" + std::to_string(q.startFrame) +
             " NUMFRAMES=" + std::to_string(q.frameCount) + " RATE=" + detail::scriptNumber(q.rate);
        const std::string_view group = package::nameAt(p, q.group);
        s += package::sameName(group, "None") ? "\n" : " GROUP=" + detail::scriptValue(group) + "\n";
        for (const package::Notify& n : q.notifies) {
            s += "#exec MESH NOTIFY MESH=" + name + " SEQ=" + seq + " TIME=" + detail::scriptNumber(n.time) +
                 " FUNCTION=" + detail::scriptValue(package::nameAt(p, n.function)) + "\n";
        }
    }
    return s;
}

// One slot's line: active for a texture of this package that has a file, and for a texture of
// another package (by its full name: the engine finds it when that package is loaded); else
// commented out, saying why, so that the slot stays plain.
std::string slotLine(const std::string& name, std::size_t slot, const ObjectLink& link,
                     const std::vector<ExtractedTexture>& textures) {
    const std::string line = "#exec MESHMAP SETTEXTURE MESHMAP=" + name + " NUM=" + std::to_string(slot) + " TEXTURE=";
    if (link.kind == ObjectLink::Kind::Import) {
        return line + detail::scriptValue(link.fullName) + " // the game's own texture, from package " +
               packageOf(link.fullName) + "\n";
    }
    const ExtractedTexture* t = textureOf(textures, link.exportIndex);
    if (t == nullptr) {
        return "// " + line + detail::scriptValue(link.fullName) + " // not a texture meshfold reads\n";
    }
    if (t->pcx.empty()) {
        return "// " + line + t->scriptName + " // no texture file: see the warnings\n";
    }
    return line + t->scriptName + "\n";
}

std::string mapLines(const Mesh& m, const ExtractedMesh& e, const FormChange& change,
                     const std::vector<ExtractedTexture>& textures) {
    const std::string& name = e.scriptName;
    std::string s = "#exec MESHMAP NEW MESHMAP=" + name + " MESH=" + name + "\n";
    const float scale[3] = {m.scale.x, m.scale.y, m.scale.z};
    s += "#exec MESHMAP SCALE MESHMAP=" + name;
    for (int a = 0; a < 3; ++a) {
        s += std::string(" ") + "XYZ"[a] + "=" + detail::scriptNumber(static_cast<float>(scale[a] * change.factor[a]));
    }
    s += "\n";
    for (std::size_t slot = 0; slot < m.textures.size(); ++slot) {
        if (m.textures[slot].kind != ObjectLink::Kind::None) {
            s += slotLine(name, slot, m.textures[slot], textures);
        }
    }
    return s;
}

std::string sequenceText(const package::Package& p, const package::Sequence& q) {
    const std::string_view group = package::nameAt(p, q.group);
    return std::string(package::nameAt(p, q.name)) + " (frames " + std::to_string(q.startFrame) + "-" +
           std::to_string(std::int64_t{q.startFrame} + q.frameCount - 1) + ", " + detail::scriptNumber(q.rate) +
           " fps" + (package::sameName(group, "None") ? "" : ", group " + std::string(group)) + ")";
}

std::string slotText(std::size_t slot, const ObjectLink& link, const std::vector<ExtractedTexture>& textures) {
    const std::string n = std::to_string(slot) + " ";
    switch (link.kind) {
    case ObjectLink::Kind::None:
        return n + "none";
    case ObjectLink::Kind::Import:
        return n + link.fullName + " (the game's own)";
    case ObjectLink::Kind::Export:
        break;
    }
    const ExtractedTexture* t = textureOf(textures, link.exportIndex);
    const std::string name = link.fullName.substr(link.fullName.find('.') + 1);
    return n + name + (t == nullptr ? " (not a texture meshfold reads)" : t->pcx.empty() ? " (not written)" : "");
}

MeshListing meshListing(const package::Package& p, const Mesh& m, const std::vector<ExtractedTexture>& textures) {
    MeshListing l;
    l.name = m.fullName.substr(m.fullName.find('.') + 1);
    l.className = m.lod ? "LodMesh" : "Mesh";
    l.deusEx = m.form == package::VertexForm::Wide;
    l.frames = static_cast<std::uint32_t>(m.frameCount);
    l.vertices = static_cast<std::uint32_t>(m.frameVerts);
    if (m.lodData) {
        l.weaponTriangles = static_cast<std::uint32_t>(m.lodData->specialFaces.size());
        l.triangles = static_cast<std::uint32_t>(m.lodData->faces.size()) + l.weaponTriangles;
    } else {
        l.triangles = static_cast<std::uint32_t>(m.tris.size());
        l.weaponTriangles = static_cast<std::uint32_t>(std::count_if(m.tris.begin(), m.tris.end(), [](const package::MeshTri& t) {
            return (package::polygonTypeOf(t.polyFlags).typeByte & 0x0F) == package::kWeaponTypeByte;
        }));
    }
    for (const package::Sequence& q : m.sequences) {
        l.sequences.push_back(sequenceText(p, q));
    }
    for (std::size_t slot = 0; slot < m.textures.size(); ++slot) {
        l.slots.push_back(slotText(slot, m.textures[slot], textures));
    }
    return l;
}

} // namespace

std::string detail::scriptValue(std::string_view name) {
    if (name.empty()) {
        return "None";
    }
    const bool bare = std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
               c == '.' || c == '-';
    });
    if (bare) {
        return std::string(name);
    }
    std::string quoted = "\"";
    for (const char c : name) {
        const bool breaks = c == '"' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
        quoted += breaks ? '_' : c;
    }
    return quoted + "\"";
}

std::string detail::textureImportLine(const ExtractedTexture& t) {
    return "#exec TEXTURE IMPORT NAME=" + t.name + " FILE=" + t.scriptFile +
           (t.group.empty() ? std::string() : " GROUP=" + scriptValue(t.group)) +
           (t.flags != 0 ? " FLAGS=" + std::to_string(t.flags) : std::string()) +
           (t.singleMip ? " MIPS=OFF" : "") + "\n";
}

std::string detail::meshTextureImports(const Mesh& m, const std::vector<ExtractedTexture>& textures) {
    std::string s;
    std::vector<std::size_t> done;
    for (const ObjectLink& link : m.textures) {
        const ExtractedTexture* t = link.kind == ObjectLink::Kind::Export ? textureOf(textures, link.exportIndex) : nullptr;
        if (t != nullptr && !t->pcx.empty() && std::find(done.begin(), done.end(), t->exportIndex) == done.end()) {
            done.push_back(t->exportIndex);
            s += textureImportLine(*t);
        }
    }
    return s;
}

std::string detail::meshScriptLines(const package::Package& p, const Mesh& m, const ExtractedMesh& e,
                                    const std::vector<ExtractedTexture>& textures, const FormChange& change) {
    std::string s = "// " + m.fullName + ": " + (m.lod ? "LodMesh" : "Mesh") + " in the " +
                    (e.deusEx ? "Deus Ex" : "Unreal") + " form" +
                    (e.converted ? std::string(" (converted: MESHMAP SCALE and MESH ORIGIN follow)") : "") + "\n";
    s += meshImportLines(m, e, writtenRotation(m.rotation, change), change);
    s += sequenceLines(p, m, e.scriptName);
    return s + mapLines(m, e, change, textures);
}

std::string packageScript(const package::Package& p, const std::vector<ExtractedMesh>& meshes,
                          const std::vector<ExtractedTexture>& textures) {
    const std::string name = scriptIdentifier(p.name);
    std::string s = "// The import lines of package " + p.name +
                    ", as meshfold took its meshes and textures out of it: the meshes in Models,\n"
                    "// the textures in Textures, every path relative to this package's folder.\n"
                    "// The class only holds the lines; the package's own classes are not here.\n"
                    "class " + name + " expands Object\n\tabstract;\n\n";
    bool any = false;
    for (const ExtractedTexture& t : textures) {
        if (!t.pcx.empty()) {
            s += detail::textureImportLine(t);
            any = true;
        }
    }
    for (const ExtractedMesh& e : meshes) {
        if (e.failure.stop == Stop::None) {
            s += (any ? "\n" : "") + e.meshLines;
            any = true;
        }
    }
    return s;
}

std::string packageListing(const package::Package& p, const package::Contents& contents,
                           const std::vector<ExtractedTexture>& textures) {
    std::string s = packageListingLine(p.name, p.header.version, contents.meshes.size(), contents.textures.size());
    for (const Mesh& m : contents.meshes) {
        s += meshListingLine(meshListing(p, m, textures));
    }
    for (const package::Texture& t : contents.textures) {
        TextureListing l;
        l.name = t.name;
        l.group = t.group;
        const bool copy = t.hasComp && !t.compMips.empty();
        l.format = detail::formatName(t.format) + (copy ? " with a " + detail::formatName(t.compFormat) + " copy" : "");
        l.width = static_cast<std::uint32_t>(std::max(t.uSize, 0));
        l.height = static_cast<std::uint32_t>(std::max(t.vSize, 0));
        if (const ExtractedTexture* e = textureOf(textures, t.exportIndex)) {
            l.masked = e->masked;
            l.madeEightBit = e->madeEightBit;
            l.file = e->pcx.empty() ? std::string() : e->fileName;
        }
        s += textureListingLine(l);
    }
    for (const package::Failure& f : contents.failures) {
        s += refusedListingLine(f.object, refusalReason(f));
    }
    return s;
}

std::string refusalReason(const package::Failure& f) {
    using package::FailureKind;
    const std::string value = std::to_string(f.value);
    const std::string limit = std::to_string(f.limit);
    const std::string at = " at byte " + std::to_string(f.offset);
    switch (f.kind) {
    case FailureKind::NotAPackage: return "it is not an Unreal package (its tag is " + value + ")";
    case FailureKind::VersionTooOld: return "its version " + value + " is older than any game's (61)";
    case FailureKind::VersionTooNew: return "its version " + value + " is newer than any meshfold reads (69)";
    case FailureKind::Truncated: return "it is cut short: " + value + " bytes needed" + at + ", past the end at " + limit;
    case FailureKind::TableOutOfFile: return "its " + f.detail + " table (" + value + " entries) runs past the end of the file";
    case FailureKind::BadCompactIndex: return "it holds a damaged number" + at;
    case FailureKind::BadName: return "a name runs past the end of the file or lacks its end";
    case FailureKind::NameOutOfRange: return "it names name " + value + " of " + limit;
    case FailureKind::ObjectRefOutOfRange: return "it refers to object " + value + " of " + limit;
    case FailureKind::OuterLoop: return "its chain of groups goes round or is longer than 64";
    case FailureKind::ObjectOutOfFile: return "its " + value + " bytes" + at + " run past the end of the file (" + limit + ")";
    case FailureKind::RunningState: return "it holds a running state, which no mesh or texture has";
    case FailureKind::PropertyPastObject: return "a property of " + value + " bytes" + at + " runs past the object's end (" + limit + ")";
    case FailureKind::BadProperty: return "it holds a damaged property" + at;
    case FailureKind::LazyArrayEnd: return "an array" + at + " says it ends at " + value + ", but its items end at " + limit;
    case FailureKind::CountPastObject: return "a count of " + value + at + " is more than the " + limit + " bytes left";
    case FailureKind::FieldsEndEarly: return "its fields end" + at + ", not at the object's end (" + limit + ")";
    case FailureKind::NotAVertexMesh: return "it is a " + f.detail + ", not a vertex mesh";
    case FailureKind::Licensee227Mesh: return "it was saved by the 227 patch, whose mesh fields are not publicly known";
    case FailureKind::UnknownVertexForm: return "its vertices are neither the packed form nor the Deus Ex form (items of " + value + " bytes)";
    case FailureKind::MeshCounts: return "its counts disagree (" + f.detail + ": " + value + " against " + limit + ")";
    case FailureKind::MeshIndexOutOfRange: return "a " + f.detail + " is " + value + ", and there are " + limit;
    case FailureKind::UnsupportedFormat: return "its pixel format " + value + " is not one meshfold knows";
    case FailureKind::MipSize: return "a mip holds " + value + " bytes where its size needs " + limit;
    case FailureKind::MipEnd: return "a mip" + at + " says it ends at " + value + ", but its pixels end at " + limit;
    case FailureKind::PaletteSize: return "its palette has " + value + " colours, not 256";
    }
    return "it is damaged";
}

} // namespace meshfold
