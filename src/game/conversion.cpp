// The conversion of one mesh, step by step over whatever its reader gives.
#include "meshfold/game/conversion.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace meshfold {

Failure MemoryMeshReader::readAnim(std::span<std::uint8_t> to, std::size_t& got) {
    got = std::min(to.size(), anim_.size() - animAt_);
    std::copy_n(anim_.begin() + static_cast<std::ptrdiff_t>(animAt_), got, to.begin());
    animAt_ += got;
    return {};
}

Failure MemoryMeshReader::rewindAnim() {
    animAt_ = std::min(kAnimHeaderSize, anim_.size());
    return {};
}

Failure MemoryMeshReader::readData(std::size_t size, std::vector<std::uint8_t>& bytes) {
    const std::size_t n = std::min(size, data_.size() - dataAt_);
    const auto from = data_.begin() + static_cast<std::ptrdiff_t>(dataAt_);
    bytes.insert(bytes.end(), from, from + static_cast<std::ptrdiff_t>(n));
    dataAt_ += n;
    return {};
}

InspectStep inspectAnimation(const RunOptions& options, MeshReader& files, MeshInspection& mesh) {
    std::array<std::uint8_t, kAnimHeaderSize> head{};
    std::size_t got = 0;
    const Failure read = files.readAnim(head, got);
    if (read.stop != Stop::None) {
        return InspectStep{{}, read, {}};
    }
    return inspectAnimHeader(options, std::span(head).first(got), mesh.info);
}

namespace {

// The data file's header and triangle table: the counts first, which say
// how far the table goes; with --to-gltf every byte after it too.
Failure readDataStart(const RunOptions& options, MeshReader& files,
                      std::vector<std::uint8_t>& bytes) {
    Failure f = files.readData(kDataCountsSize, bytes);
    if (f.stop == Stop::None) {
        f = files.readData(dataBytesWanted(bytes) - bytes.size(), bytes);
    }
    if (f.stop == Stop::None && options.toGltf) {
        f = files.readData(MeshReader::kRestOfFile, bytes);
    }
    files.endData();
    return f;
}

// The start of the first frame, as far as inspection wants it, leaving the
// animation file right after its header for the conversion.
Failure readFirstFrame(const MeshInspection& mesh, MeshReader& files, std::span<std::uint8_t> room,
                       std::span<const std::uint8_t>& frame) {
    const std::size_t wanted =
        std::min(firstFrameBytesWanted(mesh.info, mesh.dataStart), room.size());
    if (wanted == 0) {
        return {};
    }
    std::size_t got = 0;
    Failure f = files.readAnim(room.first(wanted), got);
    frame = room.first(got);
    if (f.stop == Stop::None) {
        f = files.rewindAnim();
    }
    return f;
}

} // namespace

InspectStep inspectData(const RunOptions& options, MeshReader& files,
                        std::span<std::uint8_t> frameRoom, MeshInspection& mesh) {
    const Failure data = readDataStart(options, files, mesh.dataStart);
    if (data.stop != Stop::None) {
        return InspectStep{{}, data, {}};
    }
    std::span<const std::uint8_t> firstFrame;
    const Failure read = readFirstFrame(mesh, files, frameRoom, firstFrame);
    InspectStep step = inspectDataHeader(options, mesh.dataStart, mesh.info, firstFrame);
    mesh.frames = step.frames;
    if (options.toUnreal && options.hiRes) {
        // The slots of the first frame, which inspection reads for every wide mesh.
        const std::size_t slots = std::size_t{mesh.info.vertexCount} * kWideVertexSize;
        mesh.smallScale = writtenWithoutHiRes(firstFrame.first(std::min(slots, firstFrame.size())),
                                              options.milkshapeFix);
    }
    if (read.stop != Stop::None) {
        step.failure = read;
    }
    return step;
}

namespace {

// Converts `count` vertices gathered at `in` into `out` in the run's
// direction, and returns how many bytes they take there.
std::size_t convertGathered(const RunOptions& options, const std::uint8_t* in, std::size_t count,
                            std::uint8_t* out, ConvertedVertices& done) {
    const ConvertMode mode{options.milkshapeFix, options.hiRes};
    if (options.toUnreal) {
        packVertices(in, count, out, mode, done.ranges, done.packing);
        return count * kPackedVertexSize;
    }
    convertWords(in, count, out, mode, done.ranges);
    return count * kWideVertexSize;
}

// The vertices after the header, read by whole strides of the frames'
// layout: the bytes of an incomplete stride wait at the start of the buffer
// for the next read, and the last read takes whatever is left.
Failure writeVertices(const RunOptions& options, const FrameLayout& layout, MeshReader& files,
                      ConversionBuffers& buffers, const ByteSink& write, ConvertedVertices& done) {
    const std::span<std::uint8_t> in = buffers.in;
    std::size_t carried = 0; // bytes of an incomplete word or frame from the last read
    Failure read;
    for (bool atEnd = false; !atEnd;) {
        const std::span<std::uint8_t> to = in.subspan(carried);
        std::size_t got = 0;
        read = files.readAnim(to, got);
        done.bytesRead += got;
        atEnd = got < to.size();
        const std::size_t have = carried + got;
        const std::size_t whole = atEnd ? have : have - have % layout.stride;
        const std::size_t vertices = gatherVertices(in.first(whole), layout);
        const std::size_t bytes =
            convertGathered(options, in.data(), vertices, buffers.out.data(), done);
        if (packingFits(done.packing) && !write(buffers.out.data(), bytes)) {
            return Failure{Stop::VertexWrite, {}};
        }
        carried = have - whole;
        std::memmove(in.data(), in.data() + whole, carried);
    }
    return read.stop != Stop::None ? read : packingFailure(done.packing);
}

} // namespace

Failure writeConvertedAnimation(const RunOptions& options, const MeshInspection& mesh,
                                MeshReader& files, ConversionBuffers& buffers,
                                const ByteSink& write, ConvertedVertices& done) {
    std::uint8_t field[2];
    writeLe16(field, mesh.info.frameCount);
    if (!write(field, sizeof field)) {
        return Failure{Stop::FrameCountWrite, options.animFileName};
    }
    writeLe16(field, newFrameSize(options, mesh.frames));
    if (!write(field, sizeof field)) {
        return Failure{Stop::WriteFailed, options.animFileName};
    }
    return writeVertices(options, frameLayout(mesh.frames), files, buffers, write, done);
}

} // namespace meshfold
