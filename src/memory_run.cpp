#include "meshfold/memory_run.h"

#include "meshfold/format.h"
#include "meshfold/inspect.h"
#include "meshfold/reverse.h"

#include <algorithm>

namespace meshfold {

namespace {

std::span<const std::uint8_t> prefix(std::span<const std::uint8_t> bytes, std::size_t size) {
    return bytes.first(std::min(size, bytes.size()));
}

// The new animation file: the header with the frame size doubled, then one
// wide vertex for every whole packed word; trailing bytes are dropped.
void convertAnimation(const RunOptions& o, const MeshHeaderInfo& info,
                      std::span<const std::uint8_t> animFile, MemoryRun& r) {
    const std::size_t words = (animFile.size() - kAnimHeaderSize) / kPackedVertexSize;
    r.anim.resize(kAnimHeaderSize + words * kWideVertexSize);
    writeLe16(r.anim.data(), info.frameCount);
    writeLe16(r.anim.data() + 2, newFrameSize(o, info));
    convertWords(animFile.data() + kAnimHeaderSize, words, r.anim.data() + kAnimHeaderSize,
                 ConvertMode{o.milkshapeFix, o.hiRes}, r.ranges);
}

// The same taken back to the Unreal form: the first vertices of every frame
// as packed words, or a stop when some of them do not fit.
Failure packAnimation(const RunOptions& o, const MeshHeaderInfo& info,
                      std::span<const std::uint8_t> animFile, MemoryRun& r) {
    const std::size_t size = animFile.size() - kAnimHeaderSize;
    UnrealPacking p = startPacking(ConvertMode{o.milkshapeFix, o.hiRes}, info.frameSize,
                                   info.vertexCount);
    r.anim.resize(kAnimHeaderSize + (size / kWideVertexSize + 1) * kPackedVertexSize);
    writeLe16(r.anim.data(), info.frameCount);
    writeLe16(r.anim.data() + 2, newFrameSize(o, info));
    const std::size_t words = packVertexBytes(p, animFile.data() + kAnimHeaderSize, size,
                                              r.anim.data() + kAnimHeaderSize);
    r.anim.resize(kAnimHeaderSize + words * kPackedVertexSize);
    r.ranges = p.ranges;
    return packingFailure(p);
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
        step = inspectDataHeader(options, dataStart, info);
        r.output += step.progress;
    }
    r.failure = step.failure;
    if (r.failure.stop == Stop::None && options.toUnreal) {
        r.failure = packAnimation(options, info, animFile, r);
    } else if (r.failure.stop == Stop::None) {
        convertAnimation(options, info, animFile, r);
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
