// The binary chunk: where each part lies (indices, texture coordinates, each
// animation's times and sparse weights, the images, the positions), the
// animations written, and the JSON accessors and buffer views that point
// into it.
#include "gltf/write/gltf_writer.h"

#include <algorithm>

namespace meshfold::glb {

std::uint32_t targetCount(const GltfPlan& plan) {
    return plan.source.frames - 1;
}

// The animations written: the source's clips, cut to the frames there are
// (a clip past the last frame is left out), or one of every frame. None for
// a mesh of one frame.
std::vector<MeshSequence> clipsOf(const GltfPlan& plan) {
    const GltfSource& s = plan.source;
    std::vector<MeshSequence> clips;
    if (targetCount(plan) == 0) {
        return clips;
    }
    for (MeshSequence c : s.clips) {
        if (c.first < s.frames && c.count > 0 && c.rate > 0) {
            c.count = std::min(c.count, s.frames - c.first);
            clips.push_back(c);
        }
    }
    if (clips.empty()) {
        clips.push_back({s.name, 0, s.frames, s.fps});
    }
    return clips;
}

// The frames of a clip that weigh a target (every frame but frame 0).
std::uint32_t weighted(const MeshSequence& c) {
    return c.count - (c.first == 0 ? 1 : 0);
}

namespace {

// The sparse weights stored for a clip: one per weighted frame, or for a
// clip of frame 0 alone one weight of 0 (an accessor of no view and no
// sparse values is all zeros too, but importers such as assimp refuse it).
std::uint32_t sparseCount(const MeshSequence& c) {
    return std::max<std::uint32_t>(weighted(c), 1);
}

// Where one animation's data lies in the binary chunk.
struct ClipBin {
    std::uint64_t times = 0;
    std::uint64_t indices = 0; // sparse indices, then values
    std::uint64_t values = 0;
    std::uint64_t end = 0;
};

std::vector<ClipBin> clipBins(const std::vector<MeshSequence>& clips, std::uint64_t at) {
    std::vector<ClipBin> bins;
    for (const MeshSequence& c : clips) {
        ClipBin b;
        b.times = at;
        b.indices = b.times + std::uint64_t{c.count} * 4;
        b.values = b.indices + std::uint64_t{sparseCount(c)} * 4;
        b.end = b.values + std::uint64_t{sparseCount(c)} * 4;
        at = b.end;
        bins.push_back(b);
    }
    return bins;
}

} // namespace

BinLayout binLayout(const GltfPlan& plan) {
    const GltfLayout& l = plan.layout;
    BinLayout b;
    // 0xFFFF is the restart value of uint16 indices, which glTF forbids.
    if (l.vertexOf.size() >= 0xFFFF) {
        b.indexType = kUnsignedInt;
        b.indexSize = 4;
    }
    std::uint64_t at = 0;
    for (const std::vector<std::uint32_t>& p : l.indices) {
        b.primitiveOffset.push_back(at);
        at += p.size() * b.indexSize;
    }
    // Never empty: a view holds at least one byte.
    b.indicesBytes = std::max<std::uint64_t>(padded4(at), 4);
    b.texcoordOffset = b.indicesBytes;
    b.animationOffset = b.texcoordOffset + l.vertexOf.size() * kTexcoordSize;
    const std::vector<ClipBin> bins = clipBins(clipsOf(plan), b.animationOffset);
    at = bins.empty() ? b.animationOffset : bins.back().end;
    for (const GltfImage& image : plan.images) {
        b.imageOffset.push_back(at);
        at += padded4(image.png.size());
    }
    b.positionOffset = at;
    b.frameBytes = l.vertexOf.size() * kPositionSize;
    b.total = b.positionOffset + b.frameBytes * plan.source.frames;
    return b;
}

float keyTime(const MeshSequence& clip, std::uint32_t key) {
    return static_cast<float>(key / clip.rate);
}

AccessorIds accessorIds(const GltfPlan& plan) {
    AccessorIds a;
    a.texcoord = plan.layout.indices.size();
    a.firstPosition = a.texcoord + 1;
    a.times = a.firstPosition + plan.source.frames; // of the first animation; 2 each
    a.weights = a.times + 1;
    return a;
}

// The buffer views of animation i: its times (view 3 + 3i), its sparse
// indices and its sparse values.
std::uint64_t clipView(std::size_t i) {
    return 3 + 3 * std::uint64_t{i};
}

void jsonBufferViews(const GltfPlan& plan, const BinLayout& b, GltfOut& out) {
    // A view; `stride` and `target` are left out when 0.
    const auto view = [&](std::uint64_t offset, std::uint64_t length, unsigned stride, unsigned target) {
        put(out, "{\"buffer\":0,\"byteOffset\":");
        jsonUint(out, offset);
        put(out, ",\"byteLength\":");
        jsonUint(out, length);
        if (stride != 0) {
            put(out, ",\"byteStride\":");
            jsonUint(out, stride);
        }
        if (target != 0) {
            put(out, ",\"target\":");
            jsonUint(out, target);
        }
        put(out, "}");
    };
    put(out, ",\"bufferViews\":[");
    // 0 indices, 1 texture coordinates, 2 positions (one accessor a frame,
    // so the stride is given); then each animation's times, sparse indices
    // and sparse values (see clipView); then one view for each image.
    view(0, b.indicesBytes, 0, kElementArrayBuffer);
    put(out, ",");
    view(b.texcoordOffset, b.animationOffset - b.texcoordOffset, 0, kArrayBuffer);
    put(out, ",");
    view(b.positionOffset, b.total - b.positionOffset, kPositionSize, kArrayBuffer);
    const std::vector<MeshSequence> clips = clipsOf(plan);
    const std::vector<ClipBin> bins = clipBins(clips, b.animationOffset);
    for (std::size_t i = 0; i < clips.size(); ++i) {
        put(out, ",");
        view(bins[i].times, bins[i].indices - bins[i].times, 0, 0);
        put(out, ",");
        view(bins[i].indices, bins[i].values - bins[i].indices, 0, 0);
        put(out, ",");
        view(bins[i].values, bins[i].end - bins[i].values, 0, 0);
    }
    for (std::size_t i = 0; i < plan.images.size(); ++i) {
        put(out, ",");
        view(b.imageOffset[i], plan.images[i].png.size(), 0, 0);
    }
    put(out, "]");
}

void jsonAccessors(const GltfPlan& plan, const BinLayout& b, GltfOut& out) {
    put(out, ",\"accessors\":[");
    const GltfLayout& l = plan.layout;
    for (std::size_t p = 0; p < l.indices.size(); ++p) {
        put(out, "{\"bufferView\":0,\"byteOffset\":");
        jsonUint(out, b.primitiveOffset[p]);
        put(out, ",\"componentType\":");
        jsonUint(out, b.indexType);
        put(out, ",\"count\":");
        jsonUint(out, l.indices[p].size());
        put(out, ",\"type\":\"SCALAR\"},");
    }
    put(out, "{\"bufferView\":1,\"componentType\":");
    jsonUint(out, kFloat);
    put(out, ",\"count\":");
    jsonUint(out, l.vertexOf.size());
    put(out, ",\"type\":\"VEC2\"}");
    for (std::uint32_t k = 0; k < plan.source.frames; ++k) {
        put(out, ",{\"bufferView\":2,\"byteOffset\":");
        jsonUint(out, k * b.frameBytes);
        put(out, ",\"componentType\":");
        jsonUint(out, kFloat);
        put(out, ",\"count\":");
        jsonUint(out, l.vertexOf.size());
        put(out, ",\"type\":\"VEC3\",\"min\":");
        jsonVec3(out, plan.bounds[k].min);
        put(out, ",\"max\":");
        jsonVec3(out, plan.bounds[k].max);
        put(out, "}");
    }
    const std::uint32_t targets = targetCount(plan);
    const std::vector<MeshSequence> clips = clipsOf(plan);
    for (std::size_t i = 0; i < clips.size(); ++i) {
        const MeshSequence& c = clips[i];
        put(out, ",{\"bufferView\":");
        jsonUint(out, clipView(i));
        put(out, ",\"componentType\":");
        jsonUint(out, kFloat);
        put(out, ",\"count\":");
        jsonUint(out, c.count);
        put(out, ",\"type\":\"SCALAR\",\"min\":[0],\"max\":[");
        jsonNumber(out, keyTime(c, c.count - 1));
        // The weights: no view, so every value is 0 but the sparse ones.
        put(out, "]},{\"componentType\":");
        jsonUint(out, kFloat);
        put(out, ",\"count\":");
        jsonUint(out, std::uint64_t{c.count} * targets);
        put(out, ",\"type\":\"SCALAR\",\"sparse\":{\"count\":");
        jsonUint(out, sparseCount(c));
        put(out, ",\"indices\":{\"bufferView\":");
        jsonUint(out, clipView(i) + 1);
        put(out, ",\"componentType\":");
        jsonUint(out, kUnsignedInt);
        put(out, "},\"values\":{\"bufferView\":");
        jsonUint(out, clipView(i) + 2);
        put(out, "}}}");
    }
    put(out, "]");
}

} // namespace meshfold::glb
