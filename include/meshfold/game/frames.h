// Where the vertices of an animation file lie: which form they are in, and
// which bytes of each frame hold them.
//
// The game's importer reads, for each frame, the data file's N vertices from
// the start of the frame and then skips to the next frame, F bytes on
// (F: the frame size). Whatever lies between a frame's last vertex and the
// next frame is never read. Exporters of Unreal Tournament player models
// leave such room to spare: Boss has frames of 2388 bytes for 313 vertices.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace meshfold {

enum class VertexForm {
    Packed,                // 4N <= F < 5N: every 32-bit word after the header is a vertex
    PackedWithRoomToSpare, // one word a vertex, the first N words of each frame
    Wide,                  // 8 bytes a vertex: already converted
    Undetermined,          // neither form can be told from the file
};

// What the frames of an animation file hold.
struct FrameForm {
    VertexForm form = VertexForm::Undetermined;
    std::uint16_t vertexCount = 0; // N, vertices per frame (from the data file)
    std::uint16_t frameSize = 0;   // F, bytes per frame as the animation file gives it
};

// How many bytes of the first frame (counting from the end of the animation
// file's header) classifyFrames() looks at: N slots of 8 bytes when a frame
// has room for them (F >= 8N), else none. Never more than 65535.
std::size_t firstFrameBytesWanted(std::uint16_t frameSize, std::uint16_t vertexCount);

// Tells the form from N and F, and where they cannot tell, from `firstFrame`
// (the bytes after the header, as many of firstFrameBytesWanted() as the file
// holds; more are ignored):
//   F < 4N       undetermined: a frame cannot hold N vertices of either form;
//   4N <= F < 5N packed;
//   5N <= F < 8N packed with room to spare: only 4-byte vertices fit N times;
//   F >= 8N      the first frame read as N slots of 8 bytes: when the fourth
//                16-bit word of every slot is 0 (as every converter writes it),
//                wide; when it is non-zero in more than half of them, packed
//                with room to spare; otherwise, or when the file is too short
//                for the N slots, wide if F < 9N and undetermined above.
// N = 0 is undetermined.
FrameForm classifyFrames(std::uint16_t frameSize, std::uint16_t vertexCount,
                         std::span<const std::uint8_t> firstFrame);

// The bytes of each frame that hold no vertex, F - 4N, for the two packed
// forms; 0 for the others.
unsigned unusedFrameBytes(const FrameForm& frames);

// The frame size of the converted file: 2F for the packed form (every word,
// spare bytes included, becomes 8 bytes), 8N with room to spare. It does not
// fit the 16-bit field when above 65535: such a mesh cannot be converted.
// 0 for the wide and undetermined forms.
std::uint32_t convertedFrameSize(const FrameForm& frames);

// Which bytes after the header are vertices: the first `keep` bytes of every
// `stride` bytes, `vertexSize` bytes a vertex. Packed: every word (4, 4, 4).
// Packed with room to spare: the first N words of every frame (F, 4N, 4).
// Wide: the first N slots of every frame (F, 8N, 8). Undetermined: none
// (stride 1, keep 0).
struct FrameLayout {
    std::size_t stride = 1;
    std::size_t keep = 0;
    std::size_t vertexSize = 1;
};

FrameLayout frameLayout(const FrameForm& frames);

// Moves the vertices that `layout` keeps in `bytes` (which starts at the
// start of a stride) to the front, in order, and returns how many there are.
// A last stride cut short gives the whole vertices it holds; a partial vertex
// is left out. Bytes after the returned vertices are unspecified.
std::size_t gatherVertices(std::span<std::uint8_t> bytes, const FrameLayout& layout);

} // namespace meshfold
