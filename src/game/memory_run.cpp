// The run in memory: the conversion kernel (conversion.h) reading from bytes.
#include "meshfold/game/memory_run.h"

#include "meshfold/game/conversion.h"

#include <algorithm>

namespace meshfold {

namespace {

// The bytes of a mesh's two files, read as the files are: never past their
// end, each read going on where the last one ended.
class MemoryFiles final : public MeshReader {
public:
    MemoryFiles(std::span<const std::uint8_t> anim, std::span<const std::uint8_t> data)
        : anim_(anim), data_(data) {}

    Failure readAnim(std::span<std::uint8_t> to, std::size_t& got) override {
        got = std::min(to.size(), anim_.size() - animAt_);
        std::copy_n(anim_.begin() + static_cast<std::ptrdiff_t>(animAt_), got, to.begin());
        animAt_ += got;
        return {};
    }

    Failure rewindAnim() override {
        animAt_ = std::min(kAnimHeaderSize, anim_.size());
        return {};
    }

    Failure readData(std::size_t size, std::vector<std::uint8_t>& bytes) override {
        const std::size_t n = std::min(size, data_.size() - dataAt_);
        const auto from = data_.begin() + static_cast<std::ptrdiff_t>(dataAt_);
        bytes.insert(bytes.end(), from, from + static_cast<std::ptrdiff_t>(n));
        dataAt_ += n;
        return {};
    }

    void endData() override {}

private:
    std::span<const std::uint8_t> anim_;
    std::span<const std::uint8_t> data_;
    std::size_t animAt_ = 0;
    std::size_t dataAt_ = 0;
};

} // namespace

MemoryRun runInMemory(const RunOptions& options, std::span<const std::uint8_t> animFile,
                      std::span<const std::uint8_t> dataFile) {
    MemoryRun r;
    MemoryFiles files(animFile, dataFile);
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
