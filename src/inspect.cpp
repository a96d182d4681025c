#include "meshfold/inspect.h"

#include "meshfold/format.h"

#include <algorithm>
#include <cstdio>

namespace meshfold {

namespace {

std::string countLine(const char* format, unsigned value) {
    char buf[64];
    std::snprintf(buf, sizeof buf, format, value);
    return buf;
}

// Frame size per vertex tells the two forms apart: 4 bytes is packed, 8 is
// wide. The quotient is truncated, as it always has been, so files with a few
// spare bytes per frame are still recognised.
Stop vertexFormat(const MeshHeaderInfo& info) {
    const unsigned bytesPerVertex = info.frameSize / info.vertexCount;
    if (bytesPerVertex == kWideVertexSize) {
        return Stop::AlreadyConverted;
    }
    if (bytesPerVertex != kPackedVertexSize) {
        return Stop::UnknownVertexFormat;
    }
    if (info.frameSize > kMaxConvertibleFrameSize) {
        return Stop::FrameSizeTooLarge;
    }
    return Stop::None;
}

// The same decision for a run that takes meshes back: the wide form is the
// one accepted. A wide frame holds 8 bytes a vertex, so 4 a vertex always
// fits the packed form's frame size.
Stop vertexFormatToUnreal(const MeshHeaderInfo& info) {
    switch (vertexFormat(info)) {
    case Stop::AlreadyConverted:
        return Stop::None;
    case Stop::None:
    case Stop::FrameSizeTooLarge:
        return Stop::AlreadyUnreal;
    default:
        return Stop::UnknownVertexFormat;
    }
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
    step.progress = "\nConverting " + options.animFileName +
                    (options.toUnreal ? " back to the Unreal form...\n" : "...\n");
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

InspectStep inspectDataHeader(const RunOptions& options, std::span<const std::uint8_t> data,
                              MeshHeaderInfo& info) {
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
    if (options.milkshapeFix && data.size() < dataBytesWanted(data)) {
        step.failure.stop = Stop::NoTriangles;
        return step;
    }
    step.failure.stop = options.toUnreal ? vertexFormatToUnreal(info) : vertexFormat(info);
    return step;
}

std::uint16_t newFrameSize(const RunOptions& options, const MeshHeaderInfo& info) {
    if (options.toUnreal) {
        return static_cast<std::uint16_t>(info.vertexCount * kPackedVertexSize);
    }
    return static_cast<std::uint16_t>(info.frameSize * 2);
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
