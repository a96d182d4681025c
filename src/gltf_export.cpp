#include "meshfold/gltf_export.h"

#include "meshfold/format.h"
#include "meshfold/game_mesh.h"
#include "meshfold/gltf_write.h"
#include "meshfold/paths.h"

namespace meshfold {

namespace {

// Reads frame after frame from just after the header: the first N vertices
// of each, skipping whatever room to spare follows them.
struct FrameReader {
    std::FILE* file;
    std::vector<std::uint8_t>& buffer;
    std::size_t frameSize;
    std::size_t vertexBytes; // the N vertices of a frame
    std::uint64_t read = 0;  // bytes read so far

    bool rewind() { return std::fseek(file, static_cast<long>(kAnimHeaderSize), SEEK_SET) == 0; }

    // The next frame's vertices, or empty at the end of the file (or a frame
    // cut short).
    std::span<const std::uint8_t> next() {
        const std::size_t got = std::fread(buffer.data(), 1, frameSize, file);
        read += got;
        if (got < vertexBytes) {
            return {};
        }
        return {buffer.data(), vertexBytes};
    }

    // Counts the bytes left after the frames; false on a read error.
    bool drain() {
        for (std::size_t got; (got = std::fread(buffer.data(), 1, buffer.size(), file)) > 0;) {
            read += got;
        }
        return std::ferror(file) == 0;
    }
};

Failure fail(Stop stop, const std::string& file) {
    return Failure{stop, file};
}

// The first pass: every whole frame's bounds.
Failure scanFrames(const GltfExportJob& job, FrameReader& reader, GltfPlan& plan) {
    std::uint32_t frames = 0;
    for (; frames < job.info.frameCount; ++frames) {
        const std::span<const std::uint8_t> vertices = reader.next();
        if (vertices.empty()) {
            break;
        }
        scanGltfFrame(plan, vertices);
    }
    if (!reader.drain()) {
        return fail(Stop::ReadFailed, job.options.animFileName);
    }
    if (frames == 0) {
        return fail(Stop::NoWholeFrame, job.options.animFileName);
    }
    plan.source.frames = frames;
    return {};
}

// The second pass: the file itself.
Failure writeFile(const GltfExportJob& job, FrameReader& reader, const GltfPlan& plan,
                  Replacement& out) {
    const std::string glb = gltfFileName(job.options);
    if (!beginReplacement(glb, {}, out, true)) {
        return fail(Stop::CantOpenForWriting, glb);
    }
    GltfOut sink;
    sink.sink = [&out](const std::uint8_t* bytes, std::size_t size) {
        return writeReplacement(out, bytes, size) == size;
    };
    if (!writeGltfHead(plan, sink) || !reader.rewind()) {
        return fail(sink.ok ? Stop::ReadFailed : Stop::WriteFailed, sink.ok ? job.options.animFileName : glb);
    }
    for (std::uint32_t k = 0; k < plan.source.frames; ++k) {
        const std::span<const std::uint8_t> vertices = reader.next();
        if (vertices.empty()) {
            // Shorter than in the first pass: changed meanwhile, or unreadable.
            return fail(std::ferror(job.anim) ? Stop::ReadFailed : Stop::FileChanged, job.options.animFileName);
        }
        if (!writeGltfFrame(plan, vertices, k, sink)) {
            return fail(Stop::WriteFailed, glb);
        }
    }
    return flushGltf(sink) ? Failure{} : fail(Stop::WriteFailed, glb);
}

// With --uc, the sequences of NAME.uc beside the mesh, one animation each;
// none (one animation of every frame) when there is no such file.
std::vector<GltfClip> scriptClips(const RunOptions& o) {
    if (!o.importScript) {
        return {};
    }
    const std::string glb = gltfFileName(o);
    std::FILE* f = openForReading(glb.substr(0, glb.size() - 4) + ".uc");
    if (f == nullptr) {
        return {};
    }
    std::string text;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0 && text.size() < (1u << 20);) {
        text.append(buffer, n);
    }
    std::fclose(f);
    return scriptSequences(text, o.fps);
}

} // namespace

GltfExportResult exportGltf(const GltfExportJob& job, Replacement& out) {
    GltfExportResult r;
    const RunOptions& o = job.options;
    GltfSource source;
    source.name = meshName(o);
    source.deusEx = job.frames.form == VertexForm::Wide;
    source.frameSize = job.info.frameSize;
    source.fps = o.fps;
    source.clips = scriptClips(o);
    source.data = job.data;
    GltfPlan plan = planGltf(source);
    FrameReader reader{job.anim, job.buffer, job.info.frameSize, gltfFrameVertexBytes(plan)};
    if (!reader.rewind()) {
        r.failure = fail(Stop::ReadFailed, o.animFileName);
        return r;
    }
    r.failure = scanFrames(job, reader, plan);
    r.vertexBytes = reader.read;
    r.figures = {gltfFileName(o), plan.source.frames, plan.layout.vertexOf.size(),
                 plan.layout.materials.size(), 0};
    if (r.failure.stop != Stop::None) {
        return r;
    }
    r.figures.bytes = gltfFileSize(plan);
    if (r.figures.bytes > kGltfMaxSize) {
        r.failure = fail(Stop::GltfTooLarge, r.figures.file);
    } else if (!job.dryRun) {
        r.failure = writeFile(job, reader, plan, out);
    }
    return r;
}

} // namespace meshfold
