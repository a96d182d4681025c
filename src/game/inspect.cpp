#include "meshfold/game/inspect.h"

#include "meshfold/game/format.h"

#include <algorithm>
#include <cstdio>

namespace meshfold {

namespace {

std::string countLine(const char* format, unsigned value) {
    char buf[64];
    std::snprintf(buf, sizeof buf, format, value);
    return buf;
}

// Packed vertices are accepted when the converted frame size fits its 16-bit
// field. Already converted wins over that: nothing would be written anyway.
Stop vertexFormat(const FrameForm& frames) {
    switch (frames.form) {
    case VertexForm::Wide:
        return Stop::AlreadyConverted;
    case VertexForm::Undetermined:
        return Stop::UnknownVertexFormat;
    case VertexForm::Packed:
    case VertexForm::PackedWithRoomToSpare:
        break;
    }
    return convertedFrameSize(frames) > kMaxFrameSize ? Stop::FrameSizeTooLarge : Stop::None;
}

// The same decision for a run that takes meshes back: the wide form is the
// one accepted, frames with room to spare included. A wide frame holds 8
// bytes a vertex, so 4 a vertex always fits the packed form's frame size.
Stop vertexFormatToUnreal(const FrameForm& frames) {
    switch (frames.form) {
    case VertexForm::Wide:
        return Stop::None;
    case VertexForm::Packed:
    case VertexForm::PackedWithRoomToSpare:
        return Stop::AlreadyUnreal;
    case VertexForm::Undetermined:
        break;
    }
    return Stop::UnknownVertexFormat;
}

// An export reads either form, and writes no animation file whose frame
// size must fit.
Stop vertexFormatToGltf(const FrameForm& frames) {
    return frames.form == VertexForm::Undetermined ? Stop::UnknownVertexFormat : Stop::None;
}

std::string convertingLine(const RunOptions& options) {
    if (options.toGltf) {
        return "\nExporting " + options.animFileName + " to glTF...\n";
    }
    return "\nConverting " + options.animFileName +
           (options.toUnreal ? " back to the Unreal form...\n" : "...\n");
}

} // namespace

InspectStep inspectAnimHeader(const RunOptions& options, std::span<const std::uint8_t> head,
                              MeshHeaderInfo& info) {
    InspectStep step;
    if (head.size() < 2) {
        step.failure.stop = Stop::NoFrameCount;
        return step;
    }
    info.frameCount = readLe16(head.data());
    step.progress = convertingLine(options);
    if (options.milkshapeFix) {
        step.progress += kMilkShapeBanner;
    }
    if (options.hiRes) {
        step.progress += kHiResBanner;
    }
    if (info.frameCount == 0) {
        step.failure.stop = Stop::FrameCountInvalid;
        return step;
    }
    step.progress += info.frameCount == 1
                         ? std::string("\n  Single mesh (no animation)")
                         : countLine("\n  %u animation frames", info.frameCount);
    if (head.size() < kAnimHeaderSize) {
        step.failure.stop = Stop::NoFrameSize;
        return step;
    }
    info.frameSize = readLe16(head.data() + 2);
    return step;
}

std::size_t dataBytesWanted(std::span<const std::uint8_t> counts) {
    if (counts.size() < kDataCountsSize) {
        return kDataCountsSize;
    }
    return kDataHeaderSize + std::size_t{readLe16(counts.data())} * kTriangleRecordSize;
}

std::size_t firstFrameBytesWanted(const MeshHeaderInfo& info, std::span<const std::uint8_t> data) {
    if (data.size() < kDataCountsSize) {
        return 0;
    }
    return firstFrameBytesWanted(info.frameSize, readLe16(data.data() + 2));
}

InspectStep inspectDataHeader(const RunOptions& options, std::span<const std::uint8_t> data,
                              MeshHeaderInfo& info, std::span<const std::uint8_t> firstFrame) {
    InspectStep step;
    if (data.size() < 2) {
        step.failure.stop = Stop::NoPolygonCount;
        return step;
    }
    info.polygonCount = readLe16(data.data());
    step.progress = countLine("\n  %u polygons", info.polygonCount);
    if (info.polygonCount == 0) {
        step.failure.stop = Stop::PolygonCountInvalid;
        return step;
    }
    if (data.size() < kDataCountsSize) {
        step.failure.stop = Stop::NoVertexCount;
        return step;
    }
    info.vertexCount = readLe16(data.data() + 2);
    step.progress += countLine("\n  %u vertices", info.vertexCount);
    if (info.vertexCount == 0) {
        step.failure.stop = Stop::VertexCountInvalid;
        return step;
    }
    // With the MilkShape fix the triangles are rewritten later; a short table
    // must stop the run now, before anything is written, rather than write
    // zero-filled triangles back over the user's data.
    // An export keeps every triangle in the file it writes.
    if ((options.milkshapeFix || options.toGltf) && data.size() < dataBytesWanted(data)) {
        step.failure.stop = Stop::NoTriangles;
        return step;
    }
    step.frames = classifyFrames(info.frameSize, info.vertexCount, firstFrame);
    if (options.toUnreal) {
        step.failure.stop = vertexFormatToUnreal(step.frames);
        return step;
    }
    if (options.toGltf) {
        step.failure.stop = vertexFormatToGltf(step.frames);
        if (step.failure.stop == Stop::None) {
            step.progress += meshFormLine(step.frames.form == VertexForm::Wide);
        }
        if (step.frames.form == VertexForm::PackedWithRoomToSpare) {
            step.progress += unusedFrameBytesLine(unusedFrameBytes(step.frames));
        }
        return step;
    }
    step.failure.stop = vertexFormat(step.frames);
    if (step.failure.stop == Stop::None && step.frames.form == VertexForm::PackedWithRoomToSpare) {
        step.progress += unusedFrameBytesLine(unusedFrameBytes(step.frames));
    }
    return step;
}

std::uint16_t newFrameSize(const RunOptions& options, const FrameForm& frames) {
    if (options.toUnreal) {
        return static_cast<std::uint16_t>(frames.vertexCount * kPackedVertexSize);
    }
    return static_cast<std::uint16_t>(convertedFrameSize(frames));
}

TriangleFindings checkTriangles(std::span<const std::uint8_t> data, const MeshHeaderInfo& info) {
    TriangleFindings f;
    if (data.size() < kDataHeaderSize) {
        return f;
    }
    const std::size_t whole = (data.size() - kDataHeaderSize) / kTriangleRecordSize;
    f.checked = static_cast<unsigned>(std::min<std::size_t>(whole, info.polygonCount));
    for (unsigned i = 0; i < f.checked; ++i) {
        const TriangleRecord t = decodeTriangle(data.data() + kDataHeaderSize + i * kTriangleRecordSize);
        for (const std::uint16_t corner : t.vertex) {
            if (corner >= info.vertexCount) {
                if (f.badIndex == 0) {
                    f.firstBad = i;
                    f.firstBadIndex = corner;
                }
                ++f.badIndex;
                break;
            }
        }
        if ((t.attr0 & kWeaponTriangleFlag) != 0) {
            ++f.weapons;
        }
    }
    return f;
}

std::vector<std::uint8_t> milkShapeDataFile(std::span<const std::uint8_t> data,
                                            const MeshHeaderInfo& info) {
    const std::size_t count = info.polygonCount;
    std::vector<std::uint8_t> out(kDataHeaderSize + count * kTriangleRecordSize, 0);
    writeLe16(out.data(), info.polygonCount);
    writeLe16(out.data() + 2, info.vertexCount);
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t at = kDataHeaderSize + i * kTriangleRecordSize;
        encodeTriangle(reverseWinding(decodeTriangle(data.data() + at)), out.data() + at);
    }
    return out;
}

} // namespace meshfold
