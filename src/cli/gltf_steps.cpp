// The glTF steps of a run: the export of a mesh as NAME.glb, and a game mesh
// made from a glTF file with its import script and textures.
#include "cli/gltf_steps.h"

#include "cli/game_steps.h"
#include "bridge/gltf_export.h"
#include "bridge/gltf_import.h"
#include "common/paths.h"
#include "meshfold/platform/platform.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace meshfold {

namespace {

// Begins the replacement of `file` (made new where it does not exist) with
// `bytes`; in a dry run only counts them.
Failure writeNewFile(Session& io, Conversion& c, const std::string& file, const std::string& tag,
                     const std::vector<std::uint8_t>& bytes, Replacement& r) {
    if (!io.dryRun && !beginReplacement(file, tag, r, true)) {
        return refusal(r.refused, file, Stop::CantOpenForWriting);
    }
    if (!writeAll(io, c, r, bytes.data(), bytes.size())) {
        return fail(Stop::WriteFailed, file);
    }
    return {};
}

// Where a texture is written: beside the glTF file.
std::string textureFile(const RunOptions& o, const GameTexture& t) {
    return folderOf(o.gltfSource) + t.fileName;
}

// The files a mesh made from a glTF file replaces or makes, checked before
// anything is written.
Failure checkImportWritable(const RunOptions& o, const ImportedMesh& m) {
    Failure f = replaceable(o.animFileName, true);
    if (f.stop == Stop::None) {
        f = replaceable(o.dataFileName, true);
    }
    if (f.stop == Stop::None && o.importScript) {
        f = replaceable(o.baseName + ".uc", true);
    }
    for (std::size_t i = 0; i < m.textures.size() && f.stop == Stop::None; ++i) {
        if (!m.textures[i].sameAsEarlier) {
            f = replaceable(textureFile(o, m.textures[i]), true);
        }
    }
    return f;
}

// The files writeImport() writes: both game files, and with --uc the script
// and each texture that is not the same as an earlier one.
std::size_t importFileCount(const RunOptions& o, const ImportedMesh& m) {
    const auto written = std::count_if(m.textures.begin(), m.textures.end(),
                                       [](const GameTexture& t) { return !t.sameAsEarlier; });
    return 2 + (o.importScript ? 1 : 0) + static_cast<std::size_t>(written);
}

// Writes NAME.glb into a temporary file beside it; in a dry run only sizes
// it. The animation file stays open, to be read again should the mesh be
// written again on its own.
Failure writeGltf(Session& io, Conversion& c) {
    const MeshInspection& m = c.inspected;
    const GltfExportJob job{c.options,     c.anim.get(),      m.info,
                            m.frames,      m.dataStart,       io.dryRun,
                            io.buffers.in, io.packageScripts, io.texturePngs};
    const GltfExportResult r = exportGltf(job, c.newAnim);
    for (const std::string& line : r.warnings) {
        note(io, line);
    }
    emit(io, c, r.lines);
    c.converted.bytesRead = r.vertexBytes;
    c.bytesWritten = r.figures.bytes;
    c.exported = r.figures;
    if (r.failure.stop == Stop::CantOpenForWriting) {
        return refusal(c.newAnim.refused, r.failure.file, Stop::CantOpenForWriting);
    }
    return r.failure;
}

} // namespace

Failure prepareExport(Session& io, Conversion& c) {
    Failure f = inspectGameFiles(io, c);
    if (f.stop == Stop::None) {
        f = replaceable(gltfFileName(c.options), true);
    }
    c.newFiles = 1;
    return f;
}

Failure writeExport(Session& io, Conversion& c) {
    const Failure f = writeGltf(io, c);
    if (f.stop == Stop::None) {
        warnAboutVertexBytes(io, c);
    } else {
        abandon(c);
    }
    return f;
}

std::string exportDone(const Session& io, const Conversion& c) {
    return exportReport(c.exported, io.dryRun);
}

Failure writeImport(Session& io, Conversion& c) {
    const RunOptions& o = c.options;
    const ImportedMesh& m = c.imported;
    Failure f = writeNewFile(io, c, o.animFileName, {}, m.mesh.anim, c.newAnim);
    if (f.stop == Stop::None) {
        f = writeNewFile(io, c, o.dataFileName, c.newAnim.tag, m.mesh.data, c.newData);
    }
    if (f.stop == Stop::None && o.importScript) {
        const std::vector<std::uint8_t> text(m.script.begin(), m.script.end());
        f = writeNewFile(io, c, m.scriptFileName, {}, text, c.newScript);
    }
    c.newTextures.assign(m.textures.size(), Replacement{});
    for (std::size_t i = 0; i < m.textures.size() && f.stop == Stop::None; ++i) {
        if (!m.textures[i].sameAsEarlier) {
            f = writeNewFile(io, c, textureFile(o, m.textures[i]), {}, m.textures[i].pcx,
                             c.newTextures[i]);
        }
    }
    c.converted.ranges = m.mesh.ranges;
    if (f.stop != Stop::None) {
        abandon(c);
    }
    return f;
}

Failure prepareImport(Session& io, Conversion& c) {
    const RunOptions& o = c.options;
    c.animRead = stampOf(o.animFileName);
    c.dataRead = stampOf(o.dataFileName);
    c.imported = importGltf(o);
    const ImportedMesh& m = c.imported;
    for (const std::string& line : m.notes) {
        note(io, line);
    }
    Failure f = m.failure;
    if (f.stop == Stop::None && o.importScript) {
        // The script's and the textures' temporary files, which a run cut
        // short may have left: known only now that the file is read.
        std::vector<std::string> files = {m.scriptFileName};
        for (const GameTexture& t : m.textures) {
            files.push_back(textureFile(o, t));
        }
        const RecoveryReport r = removeImportLeftovers(o, files, io.dryRun, io.leftovers);
        note(io, r.notes);
        f = r.failure;
    }
    emit(io, c, importProgress(o, m));
    if (f.stop == Stop::None) {
        f = checkImportWritable(o, m);
    }
    c.newFiles = importFileCount(o, m);
    return f;
}

} // namespace meshfold
