// Reading an image file into pixels: the format told apart by its first
// bytes, and what every decoder shares. A refusal is a value: one sentence
// in words.
#include "meshfold/image/image.h"
#include "image/decoders.h"

#include <new>
#include <string>

namespace meshfold {

ImageDecoded refusedImage(std::string why) {
    ImageDecoded d;
    d.failure = std::move(why);
    return d;
}

std::string imageTooLarge(std::uint64_t width, std::uint64_t height) {
    return "too large: " + std::to_string(width) + " x " + std::to_string(height) +
           " pixels (at most " + std::to_string(kMaxImageSide) + " on a side)";
}

Image blankImage(std::uint32_t width, std::uint32_t height, bool paletted) {
    Image img;
    img.width = width;
    img.height = height;
    const std::size_t pixels = std::size_t{width} * height;
    img.rgba.resize(pixels * 4);
    if (paletted) {
        img.indices.resize(pixels);
    }
    return img;
}

ImageDecoded decodeImage(std::span<const std::uint8_t> file) {
    try {
        if (file.empty()) {
            return refusedImage("empty file");
        }
        if (looksLikePcx(file)) {
            return decodePcx(file);
        }
        if (looksLikeBmp(file)) {
            return decodeBmp(file);
        }
        return decodeWithStb(file);
    } catch (const std::bad_alloc&) {
        return refusedImage("out of memory");
    }
}

} // namespace meshfold
