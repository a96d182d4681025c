#include "meshfold/memory_run.h"

#include "meshfold/format.h"
#include "meshfold/inspect.h"

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
    // Inspection accepts frame sizes up to 32767 only, so doubling fits.
    writeLe16(r.anim.data() + 2, static_cast<std::uint16_t>(info.frameSize * 2));
    convertWords(animFile.data() + kAnimHeaderSize, words, r.anim.data() + kAnimHeaderSize,
                 ConvertMode{o.milkshapeFix, o.hiRes}, r.ranges);
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
    if (step.failure.stop != Stop::None) {
        r.failure = step.failure;
        r.output += failureMessage(r.failure);
        return r;
    }
    convertAnimation(options, info, animFile, r);
    if (options.milkshapeFix) {
        r.data = milkShapeDataFile(dataStart, info);
    }
    r.output += rangeReport(r.ranges);
    return r;
}

} // namespace meshfold
