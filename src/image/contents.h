// image: image files to pixels and back: PCX, BMP, PNG, TGA and JPEG read,
// the pixel layouts of packages' textures decoded, paletted PNG and 8-bit
// PCX written, resizing and quantising.
// Rule: pure (bytes in, pixels out, and back); stb is compiled in stb.cpp
// alone.
// May include: common.
// Libraries: stb_image.h, stb_image_write.h, stb_image_resize.h.
//
// Contents (the contract in include/meshfold/image/, the rest here):
//   image.h           the layer's records and operations
//   block_decode.h    the pixel layouts of packages' textures (P8, BC1-BC5, RGB8, BGRA8)
//   block_decode.cpp
//   image_decode.cpp  PCX and BMP read, PNG, TGA and JPEG through stb
//   image_encode.cpp  resizing, quantising, 8-bit PCX written
//   image_png.cpp     paletted and RGBA PNG written
//   pcx.h             the PCX byte layout
//   stb.cpp           stb's implementation, compiled once
//   stb_guard.cpp     checks made before stb sees a file
//   stb_guard.h
#pragma once
