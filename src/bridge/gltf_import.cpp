#include "bridge/gltf_import.h"

#include "meshfold/game/format.h"
#include "meshfold/gltf/gltf_common.h"
#include "common/paths.h"

#include <cstdio>

namespace meshfold {

namespace {

// The whole of a file the import reads; false when it cannot be opened or read.
bool readWhole(const std::string& path, std::vector<std::uint8_t>& bytes) {
    return readWholeFile(path, bytes) == WholeFile::Read;
}

std::string format(const char* pattern, unsigned long long a) {
    char text[96];
    std::snprintf(text, sizeof text, pattern, a);
    return text;
}

} // namespace

Failure gltfFailure(const GltfFailure& problem, const std::string& file) {
    Failure f{Stop::None, file, problem.detail};
    switch (problem.problem) {
    case GltfProblem::None:
        break;
    case GltfProblem::NotGltf:
        f.stop = Stop::NotGltf;
        break;
    case GltfProblem::Damaged:
        f.stop = Stop::GltfDamaged;
        break;
    case GltfProblem::Extension:
        f.stop = Stop::GltfExtension;
        break;
    case GltfProblem::Compressed:
        f.stop = Stop::GltfCompressed;
        break;
    case GltfProblem::OutsideFolder:
        f.stop = Stop::GltfOutsideFolder;
        break;
    case GltfProblem::MissingResource:
        f.stop = Stop::GltfMissingFile;
        break;
    case GltfProblem::NoTriangles:
        f.stop = Stop::GltfNoTriangles;
        break;
    case GltfProblem::TooManyFrames:
        f.stop = Stop::TooManyFrames;
        break;
    case GltfProblem::TooManyTriangles:
        f.stop = Stop::TooManyTriangles;
        f.count = std::strtoull(problem.detail.c_str(), nullptr, 10);
        break;
    case GltfProblem::TooLarge:
        f.stop = Stop::TooMuchVertexData;
        break;
    }
    if (f.stop == Stop::TooManyFrames && !problem.detail.empty() &&
        problem.detail.find_first_not_of("0123456789") == std::string::npos) {
        f.count = std::strtoull(problem.detail.c_str(), nullptr, 10);
        f.detail.clear();
    }
    return f;
}

ImportedMesh importGltf(const RunOptions& o) {
    ImportedMesh m;
    std::vector<std::uint8_t> file;
    if (!readWhole(o.gltfSource, file)) {
        m.failure = Failure{Stop::CantOpen, o.gltfSource};
        return m;
    }
    const std::string folder = folderOf(o.gltfSource);
    const GltfResources resources = [&folder](const std::string& path, std::vector<std::uint8_t>& bytes) {
        return readWhole(folder + path, bytes);
    };
    m.read = readGltf(file, resources, o.fps);
    for (const std::string& w : m.read.warnings) {
        m.notes.push_back("meshfold: warning: " + o.gltfSource + ": " + w + "\n");
    }
    if (m.read.failure.problem != GltfProblem::None) {
        m.failure = gltfFailure(m.read.failure, o.gltfSource);
        return m;
    }
    m.mesh = buildGameMesh(m.read, {o.toUnreal, o.fit}, o.gltfSource);
    m.failure = m.mesh.failure;
    if (m.failure.stop == Stop::None && o.importScript) {
        m.scriptFileName = o.baseName + ".uc";
        std::vector<std::string> warnings;
        m.textures = gameTextures(m.read, scriptIdentifier(nameOf(o.baseName)), o.textureSize, warnings);
        for (const std::string& w : warnings) {
            m.notes.push_back("meshfold: warning: " + o.gltfSource + ": " + w + "\n");
        }
        m.script = importScript(nameOf(o.baseName), m.read, m.mesh, o.toUnreal, o.scale, m.textures);
    }
    return m;
}

std::string importProgress(const RunOptions& o, const ImportedMesh& m) {
    if (m.failure.stop == Stop::CantOpen) {
        return {};
    }
    std::string s = "\nImporting " + o.gltfSource + "...\n";
    if (m.read.failure.problem != GltfProblem::None) {
        return s;
    }
    const std::size_t polygons =
        m.read.restored ? readLe16(m.read.restored->dataFile.data()) : m.read.triangles.size();
    s += o.toUnreal ? "\n* Unreal form *\n" : "\n* Deus Ex form *\n";
    s += format("\n  %llu animation frames", m.read.frameCount);
    s += format("\n  %llu polygons", polygons);
    s += format("\n  %llu vertices", m.read.vertexCount);
    if (o.fit && m.failure.stop == Stop::None) {
        char text[64];
        std::snprintf(text, sizeof text, "\nScaled by %.9g to fit", m.mesh.factor);
        s += text;
    }
    for (const GameTexture& t : m.textures) {
        if (t.sameAsEarlier) {
            s += format("\n  texture %llu: ", t.number) + t.fileName + " again";
            continue;
        }
        s += format("\n  texture %llu: ", t.number) + t.fileName + ", " + std::to_string(t.width) + " x " +
             std::to_string(t.height) + ", " + std::to_string(t.colours) + (t.colours == 1 ? " colour" : " colours") +
             ((t.flags & kTextureFlagMasked) != 0 ? ", masked" : "");
    }
    return s;
}

} // namespace meshfold
