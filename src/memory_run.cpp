#include "meshfold/memory_run.h"

#include "meshfold/format.h"
#include "meshfold/inspect.h"

#include <algorithm>

namespace meshfold {

namespace {

std::span<const std::uint8_t> prefix(std::span<const std::uint8_t> bytes, std::size_t size) {
    return bytes.first(std::min(size, bytes.size()));
}

// The new animation file: the header with the converted frame size, then one
// wide vertex for every whole packed word the frames' layout keeps.
void convertAnimation(const RunOptions& o, const MeshHeaderInfo& info, const FrameForm& frames,
                      std::span<const std::uint8_t> animFile, MemoryRun& r) {
    std::vector<std::uint8_t> vertices(animFile.begin() + kAnimHeaderSize, animFile.end());
    const std::size_t words = gatherVertices(vertices, frameLayout(frames));
    r.anim.resize(kAnimHeaderSize + words * kWideVertexSize);
    writeLe16(r.anim.data(), info.frameCount);
    // Inspection accepts only frame sizes whose converted size fits.
    writeLe16(r.anim.data() + 2, static_cast<std::uint16_t>(convertedFrameSize(frames)));
    convertWords(vertices.data(), words, r.anim.data() + kAnimHeaderSize,
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
        const std::span<const std::uint8_t> firstFrame =
            prefix(animFile.subspan(kAnimHeaderSize), firstFrameBytesWanted(info, dataStart));
        step = inspectDataHeader(options, dataStart, info, firstFrame);
        r.output += step.progress;
    }
    if (step.failure.stop != Stop::None) {
        r.failure = step.failure;
        r.output += failureMessage(r.failure);
        return r;
    }
    convertAnimation(options, info, step.frames, animFile, r);
    if (options.milkshapeFix) {
        r.data = milkShapeDataFile(dataStart, info);
    }
    r.output += rangeReport(r.ranges);
    return r;
}

} // namespace meshfold
