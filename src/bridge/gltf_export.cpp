#include "bridge/gltf_export.h"

#include "meshfold/game/format.h"
#include "meshfold/bridge/game_mesh.h"
#include "meshfold/gltf/write/gltf_write.h"
#include "meshfold/image/image.h"
#include "bridge/package_folder.h"
#include "common/paths.h"

#include <algorithm>
#include <functional>

namespace meshfold {

namespace {

// Reads frame after frame from just after the header: the first N vertices
// of each, skipping whatever room to spare follows them. From the file, or
// from its bytes in memory when there is no file.
struct FrameReader {
    std::FILE* file;
    std::span<const std::uint8_t> bytes; // the whole animation file, when `file` is null
    std::vector<std::uint8_t>& buffer;
    std::size_t frameSize;
    std::size_t vertexBytes; // the N vertices of a frame
    std::uint64_t read = 0;  // bytes read so far
    std::size_t at = kAnimHeaderSize; // in `bytes`

    bool rewind() {
        at = kAnimHeaderSize;
        return file == nullptr || std::fseek(file, static_cast<long>(kAnimHeaderSize), SEEK_SET) == 0;
    }

    std::size_t take(std::size_t size) {
        if (file != nullptr) {
            return std::fread(buffer.data(), 1, size, file);
        }
        const std::size_t got = at < bytes.size() ? std::min(size, bytes.size() - at) : 0;
        std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), got, buffer.begin());
        at += got;
        return got;
    }

    // The next frame's vertices, or empty at the end of the file (or a frame
    // cut short).
    std::span<const std::uint8_t> next() {
        const std::size_t got = take(frameSize);
        read += got;
        if (got < vertexBytes) {
            return {};
        }
        return {buffer.data(), vertexBytes};
    }

    // Counts the bytes left after the frames; false on a read error.
    bool drain() {
        for (std::size_t got; (got = take(buffer.size())) > 0;) {
            read += got;
        }
        return file == nullptr || std::ferror(file) == 0;
    }
};

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
    GltfOut sink;
    if (job.toMemory != nullptr) {
        sink.sink = [&job](const std::uint8_t* bytes, std::size_t size) {
            job.toMemory->insert(job.toMemory->end(), bytes, bytes + size);
            return true;
        };
    } else if (!beginReplacement(glb, {}, out, true)) {
        return fail(Stop::CantOpenForWriting, glb);
    } else {
        sink.sink = [&out](const std::uint8_t* bytes, std::size_t size) {
            return writeReplacement(out, bytes, size) == size;
        };
    }
    if (!writeGltfHead(plan, sink) || !reader.rewind()) {
        return fail(sink.ok ? Stop::ReadFailed : Stop::WriteFailed, sink.ok ? job.options.animFileName : glb);
    }
    for (std::uint32_t k = 0; k < plan.source.frames; ++k) {
        const std::span<const std::uint8_t> vertices = reader.next();
        if (vertices.empty()) {
            // Shorter than in the first pass: changed meanwhile, or unreadable.
            return fail(job.anim != nullptr && std::ferror(job.anim) ? Stop::ReadFailed : Stop::FileChanged, job.options.animFileName);
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
    return readWholeFile(path, bytes, kMaxTextureFileBytes) == WholeFile::Read;
}

// The record of a slot's texture that the materials' extras keep.
GltfSlotTexture slotRecord(const PackageSlot& s) {
    const std::optional<TextureImportLine>& i = s.texture.import;
    return i ? GltfSlotTexture{s.texture.slot, i->name, i->file, i->group, i->flags}
             : GltfSlotTexture{s.texture.slot, s.texture.texture, {}, {}, 0};
}

// A texture file's bytes: from `inMemory` when the package is held there (a file it does
// not hold cannot be read), else from the disk.
bool textureBytes(const std::string& path, const TextureFiles* inMemory, std::vector<std::uint8_t>& bytes) {
    if (inMemory == nullptr) {
        return readTextureFile(path, bytes);
    }
    const auto held = inMemory->find(path);
    if (held == inMemory->end()) {
        return false;
    }
    bytes = held->second;
    return true;
}

std::vector<GltfSlotTexture> slotRecords(const MeshPackage& package) {
    std::vector<GltfSlotTexture> records;
    for (const PackageSlot& s : package.slots) {
        records.push_back(slotRecord(s));
    }
    return records;
}

using Way = std::pair<GltfAlpha, bool>; // alpha mode, palette index 0 masked

// How material `m` shows a texture with import flags `flags`.
Way wayOf(const GltfMaterial& m, std::uint32_t flags, bool paletted) {
    const bool zero = gltfMasksIndexZero(m.type, flags, paletted);
    return {gltfAlphaOf(m.type, zero), zero};
}

// The PNG of `kept` shown `way`, or null.
const GltfImage* keptPng(const TexturePngs::Kept& kept, const Way& way) {
    const auto it = std::find_if(kept.pngs.begin(), kept.pngs.end(), [&](const auto& p) { return p.first == way; });
    return it == kept.pngs.end() ? nullptr : &it->second;
}

// The index of `image` among the plan's images: of the same PNG where the
// plan holds it already (another slot's), else of a new image named `name`.
std::int32_t imageIndex(GltfPlan& plan, const std::string& name, const GltfImage& image) {
    const auto same = std::find_if(plan.images.begin(), plan.images.end(),
                                   [&](const GltfImage& i) { return i.png == image.png; });
    if (same != plan.images.end()) {
        return static_cast<std::int32_t>(same - plan.images.begin());
    }
    plan.images.push_back({name, image.png, image.pixelCheck});
    return static_cast<std::int32_t>(plan.images.size() - 1);
}

// Gives every material of slot `slot` its image: one PNG for each way the
// materials show it (masked, translucent or neither), each made once by
// `png` and kept in `made`, and one image of the plan for each distinct
// PNG. False, with every material of the slot left plain and no image
// added, when a PNG cannot be made (memory).
bool attachImage(GltfPlan& plan, std::uint8_t slot, const GltfSlotTexture& record, TexturePngs::Kept& made,
                 const std::function<GltfImage(const Way&)>& png) {
    std::vector<std::pair<Way, GltfImage>> ways;
    for (const GltfMaterial& m : plan.layout.materials) {
        const Way way = wayOf(m, record.flags, made.paletted);
        if (m.texture != slot ||
            std::any_of(ways.begin(), ways.end(), [&](const auto& w) { return w.first == way; })) {
            continue;
        }
        ways.emplace_back(way, png(way));
        if (ways.back().second.png.empty()) {
            return false;
        }
    }
    for (auto& [way, image] : ways) {
        const std::int32_t index = imageIndex(plan, record.name, image);
        for (GltfMaterial& m : plan.layout.materials) {
            if (m.texture == slot && wayOf(m, record.flags, made.paletted) == way) {
                m.image = index;
                m.alpha = way.first;
            }
        }
        made.pngs.emplace_back(way, std::move(image));
    }
    return true;
}

// The image of `path` among `kept` that holds a PNG for every way slot
// `slot`'s materials show it, or null.
const TexturePngs::Kept* keptImage(const GltfPlan& plan, std::uint8_t slot, std::uint32_t flags,
                                   const std::string& path, const TexturePngs& kept) {
    for (const TexturePngs::Kept& image : kept.images) {
        if (image.path == path &&
            std::all_of(plan.layout.materials.begin(), plan.layout.materials.end(), [&](const GltfMaterial& m) {
                return m.texture != slot || keptPng(image, wayOf(m, flags, image.paletted)) != nullptr;
            })) {
            return &image;
        }
    }
    return nullptr;
}

// With --uc, the images of the package's textures for the slots the
// materials use, read and decoded one slot at a time, or taken from the
// PNGs made for another slot of the mesh or for the run's last mesh (`pngs`,
// which then holds this mesh's); a slot whose texture cannot be had stays
// plain, with a warning.
void attachTextures(GltfPlan& plan, const MeshPackage& package, const std::string& animFile,
                    const TextureFiles* inMemory, TexturePngs& pngs, GltfExportResult& r) {
    TexturePngs made;
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
        TexturePngs::Kept kept{s.path, false, 0, 0, {}};
        bool attached = false;
        const TexturePngs::Kept* last = keptImage(plan, slot, record.flags, s.path, made); // another slot's
        if (last == nullptr) {
            last = keptImage(plan, slot, record.flags, s.path, pngs);
        }
        if (last != nullptr) {
            kept = {s.path, last->paletted, last->width, last->height, {}};
            attached = attachImage(plan, slot, record, kept, [&](const Way& way) { return *keptPng(*last, way); });
        } else {
            std::vector<std::uint8_t> bytes;
            if (!textureBytes(s.path, inMemory, bytes)) {
                r.warnings.push_back(plainSlotWarning(animFile, slot, record.name, PlainSlot::Unreadable, s.path));
                continue;
            }
            const ImageDecoded d = decodeImage(bytes);
            if (!d.failure.empty()) {
                r.warnings.push_back(
                    plainSlotWarning(animFile, slot, record.name, PlainSlot::Undecodable, s.path, d.failure));
                continue;
            }
            kept = {s.path, !d.image.indices.empty(), d.image.width, d.image.height, {}};
            attached = attachImage(plan, slot, record, kept,
                                   [&](const Way& way) { return gltfTextureImage(d.image, way.first, way.second); });
        }
        if (!attached) {
            r.warnings.push_back(plainSlotWarning(animFile, slot, record.name, PlainSlot::Undecodable, s.path,
                                                  "no PNG could be made of it"));
            continue;
        }
        r.lines += textureLine(slot, record.name, record.file, kept.width, kept.height);
        made.images.push_back(std::move(kept));
    }
    pngs = std::move(made);
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
    if (job.package != nullptr) {
        package = *job.package;
        source.clips = package.clips;
        source.textures = slotRecords(package);
    } else if (o.importScript) {
        // The sequences and textures of NAME.uc beside the mesh and of its package.
        const std::string glb = gltfFileName(o);
        package = readMeshPackage(o.animFileName, glb.substr(0, glb.size() - 4) + ".uc", source.name, o.fps,
                                  job.scripts);
        source.clips = package.clips;
        source.textures = slotRecords(package);
    }
    GltfPlan plan = planGltf(source);
    attachTextures(plan, package, o.animFileName, job.textureFiles, job.pngs, r);
    FrameReader reader{job.anim, job.animBytes, job.buffer, job.info.frameSize, gltfFrameVertexBytes(plan)};
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
