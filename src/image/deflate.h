// The zlib stream inside a written PNG: zlib's deflate (linked in
// statically, so that the program stays self-contained). The PNG writers ask
// only for these functions; another compressor can stand behind them.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace meshfold {

// zlib's compression level for PNGs: 4, its first level with lazy
// matching. Over the 22 textures the real packages embed it gives 0.9 %
// more bytes than Pillow's optimize=True (zlib at level 9) on the same
// pixels, in a fifth of level 9's time and five eighths of level 6's (0.1 %
// more bytes): the textured export's speed goal, at most 3 times cp + sync
// of its .glb files (bench/e2e.sh, docs/performance.md), leaves no room for
// more.
inline constexpr int kPngDeflateLevel = 4;

// A zlib stream (RFC 1950) that inflates to `data` (shorter than 2^31
// bytes: a PNG's rows of at most kMaxImageSide x kMaxImageSide pixels),
// made by zlib at `level` (0 to 9): the same bytes for the same data and the
// same version of zlib. Throws std::bad_alloc when memory runs out.
std::vector<std::uint8_t> zlibCompress(std::span<const std::uint8_t> data, int level = kPngDeflateLevel);

// zlibCompress for stb_image_write (its STBIW_ZLIB_COMPRESS): `size` bytes
// at `data` into a block from malloc() that stb frees, its length in
// `outSize`; stb's own `quality` is ignored. Null when memory runs out.
unsigned char* stbZlibCompress(unsigned char* data, int size, int* outSize, int quality);

} // namespace meshfold
