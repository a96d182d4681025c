// The run in memory: the conversion kernel (conversion.h) reading from bytes.
#include "meshfold/game/memory_run.h"

#include "meshfold/game/conversion.h"

#include <algorithm>

namespace meshfold {

MemoryRun runInMemory(const RunOptions& options, std::span<const std::uint8_t> animFile,
                      std::span<const std::uint8_t> dataFile) {
    MemoryRun r;
    MemoryMeshReader files(animFile, dataFile);
    ConversionBuffers buffers;
    MeshInspection mesh;
    InspectStep step = inspectAnimation(options, files, mesh);
    r.output = step.progress;
    if (step.failure.stop == Stop::None) {
        step = inspectData(options, files, buffers.in, mesh);
        r.output += step.progress;
    }
    r.failure = step.failure;
    if (r.failure.stop == Stop::None) {
        const ByteSink append = [&r](const std::uint8_t* bytes, std::size_t size) {
            r.anim.insert(r.anim.end(), bytes, bytes + size);
            return true;
        };
        ConvertedVertices done;
        r.failure = writeConvertedAnimation(options, mesh, files, buffers, append, done);
        r.ranges = done.ranges;
    }
    if (r.failure.stop != Stop::None) {
        r.anim.clear();
        r.output += failureMessage(r.failure);
        return r;
    }
    if (options.milkshapeFix) {
        r.data = milkShapeDataFile(mesh.dataStart, mesh.info);
    }
    r.output += rangeReport(r.ranges);
    return r;
}

} // namespace meshfold
