// libFuzzer target: a whole conversion on arbitrary file bytes and switches.
// Beyond "no crash" (AddressSanitizer and UndefinedBehaviorSanitizer watch
// every access), each run must keep the promises the tool makes:
//   - a stop writes nothing;
//   - a conversion writes 4 + 8 x whole words, frame count kept, frame size
//     doubled, or, when it says frames have room to spare, 8 bytes for each
//     of the first N whole words of every frame and a frame size of 8N; the
//     fourth word of every vertex 0, every vertex inside the reported ranges
//     and each range end reached by some vertex;
//   - taking a mesh back writes 4 + 4 x vertices taken, frame count kept,
//     frame size 4 x vertex count, and converting the result with the same
//     switches and taking that back gives the result again;
//   - the MilkShape fix writes 48 + 16 x polygons bytes, a zero header tail,
//     and applied to its own output gives back the original triangle table;
//   - nothing is read past the end of either file: each lives in its own
//     heap block of exactly its size.
#include "fuzz_input.h"

#include "meshfold/game/format.h"
#include "meshfold/game/inspect.h"
#include "meshfold/game/memory_run.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace meshfold::fuzz {
namespace {

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "broken promise: %s\n", what);
        std::abort();
    }
}

std::int16_t s16(const std::vector<std::uint8_t>& b, std::size_t at) {
    return static_cast<std::int16_t>(readLe16(b.data() + at));
}

void checkRange(const CoordRange& r, bool seenMin, bool seenMax, bool any) {
    if (!any) {
        check(r.min == 9999 && r.max == -9999, "a file without words reports the start values");
        return;
    }
    check(r.min <= r.max, "range ends in order");
    check(seenMin && seenMax, "each range end is some vertex's value");
}

// The words a conversion keeps: every whole one, or with room to spare the
// first `verts` whole words of each frame.
std::size_t keptWords(std::span<const std::uint8_t> in, std::size_t verts, bool roomToSpare) {
    const std::size_t bytes = in.size() - kAnimHeaderSize;
    if (!roomToSpare) {
        return bytes / kPackedVertexSize;
    }
    const std::size_t frameSize = readLe16(in.data() + 2);
    std::size_t words = 0;
    for (std::size_t at = 0; at < bytes; at += frameSize) {
        words += std::min(verts, (bytes - at) / kPackedVertexSize);
    }
    return words;
}

void checkAnimation(std::span<const std::uint8_t> in, std::span<const std::uint8_t> data,
                    const MemoryRun& r) {
    const bool roomToSpare = r.output.find(" unused bytes per frame left out") != std::string::npos;
    const std::size_t verts = readLe16(data.data() + 2);
    const std::size_t words = keptWords(in, verts, roomToSpare);
    check(r.anim.size() == kAnimHeaderSize + words * kWideVertexSize, "size is 4 + 8 x words kept");
    check(readLe16(r.anim.data()) == readLe16(in.data()), "frame count kept");
    check(readLe16(r.anim.data() + 2) ==
              (roomToSpare ? kWideVertexSize * verts : 2u * readLe16(in.data() + 2)),
          "frame size doubled, or 8 bytes a vertex with room to spare");
    const CoordRange* axes[3] = {&r.ranges.x, &r.ranges.y, &r.ranges.z};
    bool seenMin[3] = {};
    bool seenMax[3] = {};
    for (std::size_t at = kAnimHeaderSize; at < r.anim.size(); at += kWideVertexSize) {
        check(readLe16(r.anim.data() + at + 6) == 0, "fourth vertex word is 0");
        for (int a = 0; a < 3; ++a) {
            const std::int16_t v = s16(r.anim, at + 2 * a);
            check(v >= axes[a]->min && v <= axes[a]->max, "vertex inside its ranges");
            seenMin[a] = seenMin[a] || v == axes[a]->min;
            seenMax[a] = seenMax[a] || v == axes[a]->max;
        }
    }
    for (int a = 0; a < 3; ++a) {
        checkRange(*axes[a], seenMin[a], seenMax[a], words > 0);
    }
}

void checkDataFile(std::span<const std::uint8_t> in, const MemoryRun& r) {
    MeshHeaderInfo info;
    info.polygonCount = readLe16(in.data());
    info.vertexCount = readLe16(in.data() + 2);
    const std::size_t tableEnd = kDataHeaderSize + info.polygonCount * kTriangleRecordSize;
    check(r.data.size() == tableEnd, "data file is 48 + 16 x polygons");
    check(std::memcmp(r.data.data(), in.data(), kDataCountsSize) == 0, "counts kept");
    for (std::size_t i = kDataCountsSize; i < kDataHeaderSize; ++i) {
        check(r.data[i] == 0, "header tail is zero");
    }
    const std::vector<std::uint8_t> twice = milkShapeDataFile(r.data, info);
    check(std::memcmp(twice.data() + kDataHeaderSize, in.data() + kDataHeaderSize,
                      tableEnd - kDataHeaderSize) == 0,
          "reversing twice restores the triangles");
}

// The promises of a mesh taken back to the Unreal form.
void checkPacked(const RunOptions& o, std::span<const std::uint8_t> in,
                 std::span<const std::uint8_t> data, const MemoryRun& r) {
    const std::uint16_t verts = readLe16(data.data() + 2);
    check(r.anim.size() >= kAnimHeaderSize && (r.anim.size() - kAnimHeaderSize) % 4 == 0,
          "whole packed words");
    check(readLe16(r.anim.data()) == readLe16(in.data()), "frame count kept");
    check(readLe16(r.anim.data() + 2) == 4 * verts, "frame size 4 x vertices");
    RunOptions forward = o;
    forward.toUnreal = false;
    const MemoryRun again = runInMemory(forward, r.anim, data);
    check(again.failure.stop == Stop::None, "the result converts");
    const MemoryRun back = runInMemory(o, again.anim, again.data.empty() ? data : again.data);
    check(back.failure.stop == Stop::None && back.anim == r.anim,
          "the result's conversion taken back is the result");
}

void runOne(const FuzzInput& input) {
    // Copies of exactly their own size, so that reading one byte too far is
    // a heap overflow the sanitizer reports.
    const std::vector<std::uint8_t> anim(input.anim.begin(), input.anim.end());
    const std::vector<std::uint8_t> data(input.data.begin(), input.data.end());
    RunOptions o;
    o.milkshapeFix = input.milkshapeFix;
    o.hiRes = input.hiRes;
    o.toUnreal = input.toUnreal;
    o.baseName = "F";
    o.animFileName = "F_a.3d";
    o.dataFileName = "F_d.3d";
    const MemoryRun r = runInMemory(o, anim, data);
    if (r.failure.stop != Stop::None) {
        check(r.anim.empty() && r.data.empty(), "a stop writes nothing");
        const std::string message = failureMessage(r.failure);
        check(r.output.size() >= message.size() &&
                  r.output.compare(r.output.size() - message.size(), message.size(), message) == 0,
              "a stop ends with its message");
        return;
    }
    if (o.toUnreal) {
        checkPacked(o, anim, data, r);
    } else {
        checkAnimation(anim, data, r);
    }
    check(o.milkshapeFix != r.data.empty(), "the data file is written with -ms only");
    if (o.milkshapeFix) {
        checkDataFile(data, r);
    }
}

} // namespace
} // namespace meshfold::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    meshfold::fuzz::FuzzInput input;
    if (meshfold::fuzz::splitInput({bytes, size}, input)) {
        meshfold::fuzz::runOne(input);
    }
    return 0;
}
