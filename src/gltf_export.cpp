#include "meshfold/gltf_export.h"

#include "meshfold/format.h"
#include "meshfold/game_mesh.h"
#include "meshfold/gltf_write.h"
#include "meshfold/image.h"
#include "meshfold/package_files.h"
#include "meshfold/paths.h"

#include <algorithm>

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

// Texture files are read up to this size; a larger one is refused.
constexpr std::size_t kMaxTextureFileBytes = std::size_t{256} << 20;

// The whole of a texture file; false when it cannot be read (or is larger
// than any texture).
bool readTextureFile(const std::string& path, std::vector<std::uint8_t>& bytes) {
    std::FILE* f = openForReading(path);
    if (f == nullptr) {
        return false;
    }
    std::uint8_t buffer[65536];
    for (std::size_t n; bytes.size() <= kMaxTextureFileBytes && (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) {
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
    const bool ok = std::ferror(f) == 0 && bytes.size() <= kMaxTextureFileBytes;
    std::fclose(f);
    return ok;
}

// The record of a slot's texture that the materials' extras keep.
GltfSlotTexture slotRecord(const PackageSlot& s) {
    const std::optional<TextureImportLine>& i = s.texture.import;
    return i ? GltfSlotTexture{s.texture.slot, i->name, i->file, i->group, i->flags}
             : GltfSlotTexture{s.texture.slot, s.texture.texture, {}, {}, 0};
}

std::vector<GltfSlotTexture> slotRecords(const MeshPackage& package) {
    std::vector<GltfSlotTexture> records;
    for (const PackageSlot& s : package.slots) {
        records.push_back(slotRecord(s));
    }
    return records;
}

// Gives every material of slot `slot` its image of `image`: one PNG for each
// way the materials show it (masked, translucent or neither), each made once.
// False, with every material of the slot left plain, when a PNG cannot be
// made (memory).
bool attachImage(GltfPlan& plan, std::uint8_t slot, const Image& image, const GltfSlotTexture& record) {
    const std::size_t firstImage = plan.images.size();
    std::vector<std::pair<std::pair<GltfAlpha, bool>, std::int32_t>> made;
    for (GltfMaterial& m : plan.layout.materials) {
        if (m.texture != slot) {
            continue;
        }
        const bool zero = gltfMasksIndexZero(m.type, record.flags, !image.indices.empty());
        const std::pair<GltfAlpha, bool> way{gltfAlphaOf(m.type, zero), zero};
        auto it = std::find_if(made.begin(), made.end(), [&](const auto& w) { return w.first == way; });
        if (it == made.end()) {
            plan.images.push_back({record.name, gltfTexturePng(image, way.first, way.second)});
            made.push_back({way, static_cast<std::int32_t>(plan.images.size() - 1)});
            it = made.end() - 1;
        }
        m.image = it->second;
        m.alpha = way.first;
    }
    const bool encoded = std::none_of(plan.images.begin() + static_cast<std::ptrdiff_t>(firstImage),
                                      plan.images.end(), [](const GltfImage& i) { return i.png.empty(); });
    if (!encoded) {
        plan.images.resize(firstImage);
        for (GltfMaterial& m : plan.layout.materials) {
            if (m.texture == slot) {
                m = GltfMaterial{m.texture, m.type};
            }
        }
    }
    return encoded;
}

// With --uc, the images of the package's textures for the slots the
// materials use, read and decoded one slot at a time; a slot whose texture
// cannot be had stays plain, with a warning.
void attachTextures(GltfPlan& plan, const MeshPackage& package, const std::string& animFile,
                    GltfExportResult& r) {
    for (const PackageSlot& s : package.slots) {
        const std::uint8_t slot = s.texture.slot;
        if (std::none_of(plan.layout.materials.begin(), plan.layout.materials.end(),
                         [&](const GltfMaterial& m) { return m.texture == slot; })) {
            continue;
        }
        const GltfSlotTexture record = slotRecord(s);
        if (!s.texture.import) {
            r.warnings.push_back(plainSlotWarning(animFile, slot, record.name, PlainSlot::NotInPackage, {}));
            continue;
        }
        if (s.path.empty()) {
            r.warnings.push_back(plainSlotWarning(animFile, slot, record.name, PlainSlot::NoFile, record.file));
            continue;
        }
        std::vector<std::uint8_t> bytes;
        if (!readTextureFile(s.path, bytes)) {
            r.warnings.push_back(plainSlotWarning(animFile, slot, record.name, PlainSlot::Unreadable, s.path));
            continue;
        }
        const ImageDecoded d = decodeImage(bytes);
        if (!d.failure.empty()) {
            r.warnings.push_back(
                plainSlotWarning(animFile, slot, record.name, PlainSlot::Undecodable, s.path, d.failure));
            continue;
        }
        if (!attachImage(plan, slot, d.image, record)) {
            r.warnings.push_back(plainSlotWarning(animFile, slot, record.name, PlainSlot::Undecodable, s.path,
                                                  "no PNG could be made of it"));
            continue;
        }
        r.lines += textureLine(slot, record.name, record.file, d.image.width, d.image.height);
    }
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
    source.data = job.data;
    MeshPackage package;
    if (o.importScript) {
        // The sequences and textures of NAME.uc beside the mesh and of its package.
        const std::string glb = gltfFileName(o);
        package = readMeshPackage(o.animFileName, glb.substr(0, glb.size() - 4) + ".uc", source.name, o.fps,
                                  job.scripts);
        source.clips = package.clips;
        source.textures = slotRecords(package);
    }
    GltfPlan plan = planGltf(source);
    attachTextures(plan, package, o.animFileName, r);
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
