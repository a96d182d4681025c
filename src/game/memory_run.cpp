#include "meshfold/game/memory_run.h"

#include "meshfold/game/format.h"
#include "meshfold/game/inspect.h"
#include "meshfold/game/reverse.h"

#include <algorithm>

namespace meshfold {

namespace {

std::span<const std::uint8_t> prefix(std::span<const std::uint8_t> bytes, std::size_t size) {
    return bytes.first(std::min(size, bytes.size()));
}

// The new animation file: the header with the new frame size, then each
// vertex the frames' layout keeps, converted in the run's direction (packed
// words to wide vertices, or taking a mesh back, wide vertices to packed
// words). A stop when some vertex cannot be taken back.
Failure convertAnimation(const RunOptions& o, const MeshHeaderInfo& info, const FrameForm& frames,
                         std::span<const std::uint8_t> animFile, MemoryRun& r) {
    std::vector<std::uint8_t> vertices(animFile.begin() + kAnimHeaderSize, animFile.end());
    const std::size_t count = gatherVertices(vertices, frameLayout(frames));
    const ConvertMode mode{o.milkshapeFix, o.hiRes};
    const std::size_t size = o.toUnreal ? kPackedVertexSize : kWideVertexSize;
    r.anim.resize(kAnimHeaderSize + count * size);
    writeLe16(r.anim.data(), info.frameCount);
    writeLe16(r.anim.data() + 2, newFrameSize(o, frames));
    PackingTally tally;
    if (o.toUnreal) {
        packVertices(vertices.data(), count, r.anim.data() + kAnimHeaderSize, mode, r.ranges, tally);
    } else {
        convertWords(vertices.data(), count, r.anim.data() + kAnimHeaderSize, mode, r.ranges);
    }
    return packingFailure(tally);
}

} // namespace

MemoryRun runInMemory(const RunOptions& options, std::span<const std::uint8_t> animFile,
                      std::span<const std::uint8_t> dataFile) {
    MemoryRun r;
    MeshHeaderInfo info;
    InspectStep step = inspectAnimHeader(options, prefix(animFile, kAnimHeaderSize), info);
    r.output = step.progress;
    std::span<const std::uint8_t> dataStart;
    if (step.failure.stop == Stop::None) {
        const std::size_t wanted =
            dataBytesWanted(prefix(dataFile, kDataCountsSize));
        dataStart = prefix(dataFile, wanted);
        const std::span<const std::uint8_t> firstFrame =
            prefix(animFile.subspan(kAnimHeaderSize), firstFrameBytesWanted(info, dataStart));
        step = inspectDataHeader(options, dataStart, info, firstFrame);
        r.output += step.progress;
    }
    r.failure = step.failure;
    if (r.failure.stop == Stop::None) {
        r.failure = convertAnimation(options, info, step.frames, animFile, r);
    }
    if (r.failure.stop != Stop::None) {
        r.anim.clear();
        r.output += failureMessage(r.failure);
        return r;
    }
    if (options.milkshapeFix) {
        r.data = milkShapeDataFile(dataStart, info);
    }
    r.output += rangeReport(r.ranges);
    return r;
}

} // namespace meshfold
