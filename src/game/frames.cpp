#include "meshfold/game/frames.h"

#include "meshfold/game/format.h"

#include <algorithm>
#include <cstring>

namespace meshfold {

namespace {

// Offset of the fourth 16-bit word of a wide vertex, always 0 when written.
constexpr std::size_t kWidePadOffset = 6;

// Four bytes a vertex fit N times in a frame of F bytes where eight do not.
bool onlyPackedFits(std::uint32_t frameSize, std::uint32_t vertexCount) {
    return frameSize >= 5 * vertexCount && frameSize < kWideVertexSize * vertexCount;
}

// Reads the first frame as N wide slots: the form their fourth words say,
// or Undetermined when they say neither (or the frame is cut short).
VertexForm formOfSlots(std::span<const std::uint8_t> firstFrame, std::size_t vertexCount) {
    if (firstFrame.size() < vertexCount * kWideVertexSize) {
        return VertexForm::Undetermined;
    }
    std::size_t nonZero = 0;
    for (std::size_t i = 0; i < vertexCount; ++i) {
        nonZero += readLe16(firstFrame.data() + i * kWideVertexSize + kWidePadOffset) != 0 ? 1 : 0;
    }
    if (nonZero == 0) {
        return VertexForm::Wide;
    }
    return 2 * nonZero > vertexCount ? VertexForm::PackedWithRoomToSpare : VertexForm::Undetermined;
}

} // namespace

std::size_t firstFrameBytesWanted(std::uint16_t frameSize, std::uint16_t vertexCount) {
    const std::size_t slots = std::size_t{vertexCount} * kWideVertexSize;
    return vertexCount > 0 && frameSize >= slots ? slots : 0;
}

FrameForm classifyFrames(std::uint16_t frameSize, std::uint16_t vertexCount,
                         std::span<const std::uint8_t> firstFrame) {
    FrameForm f{VertexForm::Undetermined, vertexCount, frameSize};
    const std::uint32_t n = vertexCount;
    if (n == 0 || frameSize < kPackedVertexSize * n) {
        return f;
    }
    if (frameSize < 5 * n) {
        f.form = VertexForm::Packed;
    } else if (onlyPackedFits(frameSize, n)) {
        f.form = VertexForm::PackedWithRoomToSpare;
    } else {
        f.form = formOfSlots(firstFrame, n);
        // What the counts alone say, as they always have: 8 bytes a vertex
        // with fewer than 8 spare bytes is the wide form.
        if (f.form == VertexForm::Undetermined && frameSize / n == kWideVertexSize) {
            f.form = VertexForm::Wide;
        }
    }
    return f;
}

unsigned unusedFrameBytes(const FrameForm& frames) {
    if (frames.form != VertexForm::Packed && frames.form != VertexForm::PackedWithRoomToSpare) {
        return 0;
    }
    return frames.frameSize - kPackedVertexSize * frames.vertexCount;
}

std::uint32_t convertedFrameSize(const FrameForm& frames) {
    switch (frames.form) {
    case VertexForm::Packed:
        return 2u * frames.frameSize;
    case VertexForm::PackedWithRoomToSpare:
        return static_cast<std::uint32_t>(kWideVertexSize) * frames.vertexCount;
    case VertexForm::Wide:
    case VertexForm::Undetermined:
        break;
    }
    return 0;
}

FrameLayout frameLayout(const FrameForm& frames) {
    const std::size_t n = frames.vertexCount;
    switch (frames.form) {
    case VertexForm::Packed:
        return {kPackedVertexSize, kPackedVertexSize, kPackedVertexSize};
    case VertexForm::PackedWithRoomToSpare:
        return {frames.frameSize, n * kPackedVertexSize, kPackedVertexSize};
    case VertexForm::Wide:
        return {frames.frameSize, n * kWideVertexSize, kWideVertexSize};
    case VertexForm::Undetermined:
        break;
    }
    return {};
}

std::size_t gatherVertices(std::span<std::uint8_t> bytes, const FrameLayout& layout) {
    if (layout.keep == layout.stride) {
        return bytes.size() / layout.vertexSize;
    }
    std::size_t kept = 0;
    for (std::size_t at = 0; at < bytes.size(); at += layout.stride) {
        const std::size_t here = std::min(layout.keep, bytes.size() - at);
        const std::size_t whole = here - here % layout.vertexSize;
        // Never overlapping forwards: `kept` is at most `at`.
        std::memmove(bytes.data() + kept, bytes.data() + at, whole);
        kept += whole;
    }
    return kept / layout.vertexSize;
}

} // namespace meshfold
