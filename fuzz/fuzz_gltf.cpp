// libFuzzer target: the glTF reader and the game files made from what it
// reads, on arbitrary bytes. The first byte picks the options (bit 0 the
// Unreal form, bit 1 --fit, bits 2-7 the frame rate less one); the rest is
// the file, in a heap block of exactly its size, and also every resource it
// refers to. Beyond "no crash" (AddressSanitizer and UndefinedBehaviorSanitizer
// watch every access), each run must keep the reader's promises:
//   - a read that succeeds gives frames x vertices x 3 positions, every
//     triangle's corners among its vertices, sequences within its frames
//     (sampled ones one after another, covering them all);
//   - the game files of a mesh within the limits are exactly as long as its
//     counts say, the data file's counts are the mesh's, every written
//     coordinate inside the form's range.
// The same bytes are also read as a package's import lines (`#exec` lines of
// a script): each slot of a mesh once, in order, its texture named; every
// sequence at least one frame.
#include "meshfold/game/format.h"
#include "meshfold/bridge/game_mesh.h"
#include "meshfold/gltf/read/gltf_read.h"
#include "meshfold/game/script.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

namespace {

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "broken promise: %s\n", what);
        std::abort();
    }
}

void checkRead(const meshfold::GltfRead& r) {
    using namespace meshfold;
    check(r.positions.size() == std::size_t{r.frameCount} * r.vertexCount * 3, "positions per frame");
    check(r.frameCount >= 1 && r.frameCount <= 65535, "frame count");
    if (!r.restored) {
        for (const GltfTriangle& t : r.triangles) {
            for (const std::uint32_t v : t.vertex) {
                check(v < r.vertexCount, "corner among the vertices");
            }
        }
    }
    for (const GltfSequence& q : r.sequences) {
        check(q.frameCount >= 1 && q.firstFrame + q.frameCount <= r.frameCount, "sequence within the frames");
    }
    // Sampled animations follow one another; those of a file written by
    // --to-gltf are its sequences, which may overlap.
    if (!r.sequences.empty() && !r.restored) {
        std::uint32_t next = 0;
        for (const GltfSequence& s : r.sequences) {
            check(s.firstFrame == next && s.frameCount >= 1, "sequences one after another");
            next += s.frameCount;
        }
        check(next == r.frameCount, "sequences cover every frame");
    }
}

void checkMesh(const meshfold::GltfRead& r, const meshfold::GameMesh& m, bool unreal) {
    using namespace meshfold;
    const std::size_t frameSize = readLe16(m.anim.data() + 2);
    check(m.anim.size() == kAnimHeaderSize + std::size_t{r.frameCount} * frameSize, "animation file size");
    check(frameSize >= r.vertexCount * (unreal ? kPackedVertexSize : kWideVertexSize), "frame holds the vertices");
    check(m.data.size() >= kDataHeaderSize + std::size_t{m.polygons} * kTriangleRecordSize, "data file size");
    check(readLe16(m.data.data()) == m.polygons, "polygon count");
    if (!unreal) {
        for (const CoordRange* c : {&m.ranges.x, &m.ranges.y, &m.ranges.z}) {
            check(r.vertexCount == 0 || c->min <= c->max, "ranges");
        }
    }
}

void checkScript(const std::uint8_t* data, std::size_t size) {
    using namespace meshfold;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    ExecLines lines;
    readExecLines(text, 30, lines);
    for (const MeshSequence& c : scriptSequences(text, 30)) {
        check(c.count >= 1 && !c.name.empty() && c.rate > 0, "a sequence of at least one frame");
    }
    check(withoutComments(text).size() == size, "comments blanked, not removed");
    for (const MeshImportLine& m : lines.meshImports) {
        int previous = -1;
        for (const SlotTexture& t : meshSlotTextures(lines, m.mesh)) {
            check(t.slot > previous && !t.texture.empty(), "each slot once, in order, named");
            previous = t.slot;
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace meshfold;
    if (size == 0) {
        return 0;
    }
    checkScript(data, size);
    const bool unreal = (data[0] & 1) != 0;
    const bool fit = (data[0] & 2) != 0;
    const unsigned fps = (data[0] >> 2) + 1u;
    const std::vector<std::uint8_t> file(data + 1, data + size);
    const GltfResources resources = [&file](const std::string&, std::vector<std::uint8_t>& bytes) {
        bytes = file;
        return true;
    };
    const GltfRead r = readGltf(file, resources, fps);
    if (r.failure.problem != GltfProblem::None) {
        return 0;
    }
    checkRead(r);
    const GameMesh m = buildGameMesh(r, {unreal, fit}, "fuzz.glb");
    if (m.failure.stop == Stop::None) {
        checkMesh(r, m, unreal);
        // The images of its materials made into textures (the PCX writer's
        // input side), at a small cap to keep each run short.
        std::vector<std::string> warnings;
        (void)importScript("fuzz", r, m, unreal, 1, gameTextures(r, "fuzz", 16, warnings));
    }
    return 0;
}
