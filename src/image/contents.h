// image: image files to pixels and back: PCX, BMP, PNG, TGA and JPEG read,
// the pixel layouts of packages' textures decoded, paletted PNG and 8-bit
// PCX written, resizing and quantising.
// Rule: pure (bytes in, pixels out, and back); stb is compiled in stb.cpp
// alone, zlib is called from deflate.cpp alone.
// May include: common.
// Libraries: stb_image.h, stb_image_write.h, stb_image_resize.h, zlib.h.
//
// Contents (the contract in include/meshfold/image/, the rest here), by
// format and then by job:
//   image.h           the layer's records and operations
//   block_decode.h    the pixel layouts of packages' textures (P8, BC1-BC5, RGB8, BGRA8)
//   block_decode.cpp
//   image_decode.cpp  decodeImage: the format told apart by its first bytes
//   decoders.h        each format's decoder, and what they share
//   pcx.h             the PCX byte layout
//   pcx_decode.cpp    PCX read
//   pcx_encode.cpp    8-bit PCX written
//   bmp_decode.cpp    BMP read, its layout beside the code
//   png.h             the PNG byte layout, its chunks read and written, CRC
//   png.cpp
//   png_encode.cpp    paletted PNG written chunk by chunk, RGBA PNG through stb
//   png_palette.cpp   a paletted PNG's own palette and indices read back
//   deflate.h         the zlib stream of a written PNG, by zlib
//   deflate.cpp
//   stb_decode.cpp    PNG, TGA and JPEG read through stb
//   stb_guard.cpp     checks made before stb sees a file
//   stb_guard.h
//   stb.cpp           stb's implementation, compiled once
//   resize.cpp        an image brought to a texture's power-of-two sides
//   quantise.cpp      a palette of at most 256 colours chosen, the mask
#pragma once
