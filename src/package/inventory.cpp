// Every object of a package that the reader knows, read one by one.
#include "meshfold/package/inventory.h"

#include "package/object.h"

#include <algorithm>

namespace meshfold::package {

ObjectKind objectKindOf(const Package& p, std::size_t exportIndex) {
    const ExportEntry& e = p.exports[exportIndex];
    // Only classes of the engine's own (imports) are read; a class this package defines is
    // some other object.
    if (!e.classRef.isImport()) {
        return ObjectKind::Other;
    }
    const std::string cls = className(p, exportRef(exportIndex));
    switch (meshClassOf(cls)) {
    case MeshClass::Mesh:
    case MeshClass::LodMesh:
        return ObjectKind::Mesh;
    case MeshClass::NotAVertexMesh:
        return ObjectKind::NotAVertexMesh;
    case MeshClass::NotAMesh:
        break;
    }
    if (isTextureClass(cls)) {
        return ObjectKind::Texture;
    }
    return sameName(cls, "Palette") ? ObjectKind::Palette : ObjectKind::Other;
}

namespace {

void addMesh(const Package& p, std::size_t i, bool withTriangles, Contents& out) {
    MeshRead r = readMesh(p, i);
    out.warnings.insert(out.warnings.end(), r.warnings.begin(), r.warnings.end());
    if (r.failure) {
        out.failures.push_back(std::move(*r.failure));
        return;
    }
    if (withTriangles) {
        const TrianglesRead t = rebuildTriangles(*r.mesh);
        out.warnings.insert(out.warnings.end(), t.warnings.begin(), t.warnings.end());
    }
    out.meshes.push_back(std::move(*r.mesh));
}

void addTexture(const Package& p, std::size_t i, Contents& out) {
    TextureRead r = readTexture(p, i);
    out.warnings.insert(out.warnings.end(), r.warnings.begin(), r.warnings.end());
    if (r.failure) {
        out.failures.push_back(std::move(*r.failure));
        return;
    }
    out.textures.push_back(std::move(*r.texture));
}

void addPalette(const Package& p, std::size_t i, Contents& out) {
    PaletteRead r = readPalette(p, i);
    if (r.failure) {
        out.failures.push_back(std::move(*r.failure));
        return;
    }
    out.palettes.push_back(std::move(*r.palette));
}

} // namespace

Contents readContents(const Package& p, bool withTriangles) {
    Contents out;
    for (std::size_t i = 0; i < p.exports.size(); ++i) {
        switch (objectKindOf(p, i)) {
        case ObjectKind::Mesh:
        case ObjectKind::NotAVertexMesh:
            addMesh(p, i, withTriangles, out);
            break;
        case ObjectKind::Texture:
            addTexture(p, i, out);
            break;
        case ObjectKind::Palette:
            addPalette(p, i, out);
            break;
        case ObjectKind::Other:
            break;
        }
    }
    return out;
}

const Palette* paletteOf(const Contents& contents, const Texture& t) {
    if (t.palette.kind != ObjectLink::Kind::Export) {
        return nullptr;
    }
    // The palettes are in export order.
    const auto at = std::lower_bound(
        contents.palettes.begin(), contents.palettes.end(), t.palette.exportIndex,
        [](const Palette& pal, std::size_t i) { return pal.exportIndex < i; });
    return at != contents.palettes.end() && at->exportIndex == t.palette.exportIndex ? &*at
                                                                                      : nullptr;
}

} // namespace meshfold::package
