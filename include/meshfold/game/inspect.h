// Reading the two headers of a mesh and deciding whether it can be converted.
#pragma once

#include "meshfold/game/frames.h"
#include "meshfold/common/messages.h"
#include "meshfold/common/run_options.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace meshfold {

// The four counts of a mesh, as read.
struct MeshHeaderInfo {
    std::uint16_t frameCount = 0;
    std::uint16_t frameSize = 0;
    std::uint16_t polygonCount = 0;
    std::uint16_t vertexCount = 0;
};

// What one inspection step has to say: the lines to print, in order, then
// either a failure (whose message follows those lines) or acceptance.
struct InspectStep {
    std::string progress;
    Failure failure;
    FrameForm frames; // what the frames hold, once the data header has been read
};

// The first bytes of the animation file (fewer than 4 when the file is that
// short): prints the converting line, the mode banners and the frame count,
// and fills frameCount and frameSize of `info`.
InspectStep inspectAnimHeader(const RunOptions& options, std::span<const std::uint8_t> head,
                              MeshHeaderInfo& info);

// How many bytes from the start of the data file inspection wants, given the
// first kDataCountsSize of them (or fewer): the whole header and every
// triangle record, so that the triangles can be checked (and, with the
// MilkShape fix, rewritten).
std::size_t dataBytesWanted(std::span<const std::uint8_t> counts);

// How many bytes after the animation file's header inspection wants, given
// the frame size in `info` and the start of the data file: the first frame's
// vertex slots when the counts alone cannot tell the form (see
// classifyFrames()), else none. At most 65535.
std::size_t firstFrameBytesWanted(const MeshHeaderInfo& info, std::span<const std::uint8_t> data);

// The start of the data file (as much of dataBytesWanted() as it holds) and
// of the animation file's first frame (as much of firstFrameBytesWanted() as
// it holds): prints the polygon and vertex counts, fills them into `info`,
// and decides by classifyFrames() whether the animation file holds packed
// vertices (accepted, with the unused bytes per frame printed when frames
// have room to spare), wide ones (already converted) or neither.
InspectStep inspectDataHeader(const RunOptions& options, std::span<const std::uint8_t> data,
                              MeshHeaderInfo& info,
                              std::span<const std::uint8_t> firstFrame = {});

// The frame size of the new animation file: convertedFrameSize(), or when
// taking a mesh back to the Unreal form 4 bytes for each vertex of a frame.
// Inspection has accepted the mesh, so either fits 16 bits.
std::uint16_t newFrameSize(const RunOptions& options, const FrameForm& frames);

// What the triangles of a data file say about the mesh, for warnings that do
// not stop the conversion.
struct TriangleFindings {
    unsigned checked = 0;       // whole records present, at most the polygon count
    unsigned badIndex = 0;      // triangles with a corner index not below the vertex count
    unsigned firstBad = 0;      // the first such triangle, counting from 0
    unsigned firstBadIndex = 0; // its first corner index out of range
    unsigned weapons = 0;       // triangles with the weapon flag (first attribute bit 0x08)
};

inline constexpr std::uint8_t kWeaponTriangleFlag = 0x08;

// Looks at every whole triangle record of `data` (as much of the table as the
// file holds) against info.polygonCount and info.vertexCount.
TriangleFindings checkTriangles(std::span<const std::uint8_t> data, const MeshHeaderInfo& info);

// The data file as the MilkShape fix rewrites it: the two counts, a tail of
// 44 zero bytes, then every triangle of `data` with its winding reversed;
// nothing after the last triangle. `data` must hold the whole header and
// info.polygonCount records, as inspectDataHeader() has checked.
std::vector<std::uint8_t> milkShapeDataFile(std::span<const std::uint8_t> data,
                                            const MeshHeaderInfo& info);

} // namespace meshfold
