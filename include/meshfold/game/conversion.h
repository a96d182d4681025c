// The conversion of one mesh over the bytes of its two files: the one core
// that the run on the files (cli/game_steps.cpp) and the run in memory
// (memory_run.h, by which recovery recognises a half-finished commit) both go
// through, as zstd's one-shot and streaming paths share one core. Each run
// only says where the bytes come from (a MeshReader) and where the new
// animation file's bytes go; what is read, in which order and how far, what
// is written and which stop ends it are decided here, once, so that the two
// cannot disagree. Pure: no file access.
//
// The steps, in order: inspectAnimation(), inspectData(), then for a mesh
// that inspection accepted writeConvertedAnimation() and, with the MilkShape
// fix, milkShapeDataFile(mesh.dataStart, mesh.info) (inspect.h).
#pragma once

#include "meshfold/game/convert.h"
#include "meshfold/game/format.h"
#include "meshfold/game/frames.h"
#include "meshfold/game/inspect.h"
#include "meshfold/game/reverse.h"
#include "meshfold/common/messages.h"
#include "meshfold/common/run_options.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace meshfold {

// Words converted per read of the animation file. A read always holds a
// whole frame of the largest size, 65535 bytes.
inline constexpr std::size_t kChunkWords = 16384;
inline constexpr std::size_t kChunkBytes = kChunkWords * kPackedVertexSize;
static_assert(kChunkBytes > kMaxFrameSize);

// The conversion's buffers: the bytes of one read of the animation file
// (which also holds its first frame for inspection), and what they become,
// 8 bytes a vertex at the most. 64 KiB and 128 KiB, whatever the mesh.
struct ConversionBuffers {
    std::vector<std::uint8_t> in = std::vector<std::uint8_t>(kChunkBytes);
    std::vector<std::uint8_t> out = std::vector<std::uint8_t>(kChunkWords * kWideVertexSize);
};

// Where a conversion reads a mesh's two files from. Each file is read from
// its start on, each read going on where the last one of that file ended.
class MeshReader {
public:
    // Reads up to to.size() bytes of the animation file into `to`, and says
    // how many in `got`: fewer only at the end of the file or on a read error,
    // which is returned (Stop::ReadFailed).
    virtual Failure readAnim(std::span<std::uint8_t> to, std::size_t& got) = 0;

    // Goes back to just after the animation file's header.
    virtual Failure rewindAnim() = 0;

    // Appends up to `size` bytes of the data file (kRestOfFile: all that is
    // left) to `bytes`: fewer only at its end. The first read opens the file;
    // a file that cannot be opened or read returns why.
    virtual Failure readData(std::size_t size, std::vector<std::uint8_t>& bytes) = 0;
    static constexpr std::size_t kRestOfFile = static_cast<std::size_t>(-1);

    // The data file is read no further.
    virtual void endData() = 0;

protected:
    ~MeshReader() = default;
};

// A mesh's two files held in memory, read as the files are: never past their
// end, each read going on where the last one ended.
class MemoryMeshReader final : public MeshReader {
public:
    MemoryMeshReader(std::span<const std::uint8_t> anim, std::span<const std::uint8_t> data)
        : anim_(anim), data_(data) {}

    Failure readAnim(std::span<std::uint8_t> to, std::size_t& got) override;
    Failure rewindAnim() override;
    Failure readData(std::size_t size, std::vector<std::uint8_t>& bytes) override;
    void endData() override {}

private:
    std::span<const std::uint8_t> anim_;
    std::span<const std::uint8_t> data_;
    std::size_t animAt_ = 0;
    std::size_t dataAt_ = 0;
};

// What inspection read of a mesh and decided about it.
struct MeshInspection {
    MeshHeaderInfo info;
    FrameForm frames;
    // The data file as far as inspection read it: its header and triangle
    // table (dataBytesWanted()), or for an export every byte of it.
    std::vector<std::uint8_t> dataStart;
    // Taken back with -h, the first frame is what a conversion without -h
    // writes: the mesh comes out a few field steps across.
    bool smallScale = false;
};

// What writing the new animation file has converted so far.
struct ConvertedVertices {
    CoordRanges ranges;
    PackingTally packing;        // of the vertices taken back to the Unreal form
    std::uint64_t bytesRead = 0; // of the animation file, after its header
};

// Inspection, first step: the animation file's header, read from its start
// (see inspectAnimHeader()); a read error stops with no lines.
InspectStep inspectAnimation(const RunOptions& options, MeshReader& files, MeshInspection& mesh);

// Inspection, second step: the data file as far as dataBytesWanted() (with
// --to-gltf all of it), then, read into `frameRoom` (kChunkBytes), the first
// frame as far as firstFrameBytesWanted(), after which the animation file is
// back at the end of its header; then inspectDataHeader() on them. A failure
// of the data file stops with no lines; one reading the first frame stops
// after them.
InspectStep inspectData(const RunOptions& options, MeshReader& files,
                        std::span<std::uint8_t> frameRoom, MeshInspection& mesh);

// Where the new animation file's bytes go; false when they could not be
// written.
using ByteSink = std::function<bool(const std::uint8_t* bytes, std::size_t size)>;

// The new animation file of a mesh that inspection accepted, through
// `write`: the frame count, the new frame size (newFrameSize()), then each
// vertex the frames' layout keeps (frameLayout()), read from where the
// animation file stands (the end of its header, as inspection leaves it)
// kChunkBytes at a time and converted in the run's direction: packed words
// to wide vertices, or taking a mesh back, wide vertices to packed words.
// Bytes that make no whole vertex are dropped. Once a vertex cannot be taken
// back nothing more is written, but every vertex is still looked at, so that
// the refusal can say how many. Stops, first come first: FrameCountWrite or
// WriteFailed (the header), VertexWrite, ReadFailed (naming the animation
// file; what was read before the error is written), then packingFailure().
Failure writeConvertedAnimation(const RunOptions& options, const MeshInspection& mesh,
                                MeshReader& files, ConversionBuffers& buffers,
                                const ByteSink& write, ConvertedVertices& done);

} // namespace meshfold
