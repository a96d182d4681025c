// A model's image brought to the sides of a texture: powers of two, at most
// the cap, filtered in linear light by stb_image_resize.
#include "meshfold/image/image.h"

#include <stb_image_resize.h>

#include <algorithm>
#include <bit>
#include <new>

namespace meshfold {

bool isTextureSideCap(std::uint32_t cap) {
    return cap >= 1 && cap <= kMaxTextureSideCap && std::has_single_bit(cap);
}

std::uint32_t textureSide(std::uint32_t side, std::uint32_t cap) {
    return std::bit_floor(std::min(side, cap));
}

Image resizeForTexture(const Image& image, std::uint32_t cap) {
    const std::uint32_t width = textureSide(image.width, cap);
    const std::uint32_t height = textureSide(image.height, cap);
    if (image.rgba.size() != std::uint64_t{image.width} * image.height * 4) {
        return {};
    }
    if (width == 0 || height == 0 || (width == image.width && height == image.height)) {
        return image;
    }
    Image out;
    out.width = width;
    out.height = height;
    out.rgba.resize(std::size_t{width} * height * 4);
    constexpr int kChannels = 4;
    constexpr int kAlphaChannel = 3;
    // The sides fit an int: decoded images are at most kMaxImageSide.
    if (!stbir_resize_uint8_srgb(image.rgba.data(), static_cast<int>(image.width),
                                 static_cast<int>(image.height), 0, out.rgba.data(),
                                 static_cast<int>(width), static_cast<int>(height), 0, kChannels,
                                 kAlphaChannel, 0)) {
        throw std::bad_alloc(); // stb fails only when its buffers cannot be allocated
    }
    return out;
}

} // namespace meshfold
