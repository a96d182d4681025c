// The one translation unit that holds stb's image decoders, PNG encoder and
// resizer (Debian's libstb-dev, header-only). Compiled without our warnings:
// the code is theirs. Its PNG encoder compresses with zlib, as the paletted
// writer does, instead of its own deflate.
#include "image/deflate.h"
#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_RESIZE_IMPLEMENTATION
// Only the formats a texture may come in; no stdio, every file is in memory.
#define STBI_NO_STDIO
#define STBI_WRITE_NO_STDIO
#define STBIW_ZLIB_COMPRESS meshfold::stbZlibCompress
#define STBI_ONLY_PNG
#define STBI_ONLY_JPEG
#define STBI_ONLY_TGA
#include <stb_image.h>
#include <stb_image_write.h>
#include <stb_image_resize.h>
