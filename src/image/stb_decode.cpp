// PNG, TGA and JPEG files read through stb_image (compiled in stb.cpp),
// after stb_guard.h's checks of what stb would mishandle and the same size
// checks as the other decoders on what stbi_info reports.
#include "image/decoders.h"
#include "image/png.h"
#include "image/stb_guard.h"

#include <stb_image.h>

#include <climits>
#include <memory>

namespace meshfold {

namespace {

// The most pixels one byte of a file can stand for: a 1-bit PNG holds 8
// pixels a byte and deflate packs at most 1032 bytes into one; a JPEG spends
// at least a bit on every 8 x 8 block; a TGA run packet at least 2 bytes on
// 128 pixels. A header claiming more than its file can hold is refused
// before stb allocates for it (stb fills what is missing with zeros).
inline constexpr std::uint64_t kPngMostPixelsPerByte = 8 * 1032;
inline constexpr std::uint64_t kJpegMostPixelsPerByte = 64 * 8;
inline constexpr std::uint64_t kTgaMostPixelsPerByte = 128 / 2;

// Refuses what stb reports that no texture may be: a side of 0 or above
// kMaxImageSide, or more pixels than `mostPixelsPerByte` allow the file.
std::string checkStbSize(int width, int height, std::size_t fileSize,
                         std::uint64_t mostPixelsPerByte) {
    if (width <= 0 || height <= 0) {
        return "damaged: an image of " + std::to_string(width) + " x " + std::to_string(height) +
               " pixels";
    }
    const auto w = static_cast<std::uint64_t>(width);
    const auto h = static_cast<std::uint64_t>(height);
    if (w > kMaxImageSide || h > kMaxImageSide) {
        return imageTooLarge(w, h);
    }
    if (w * h > mostPixelsPerByte * fileSize) {
        return "truncated: " + std::to_string(w) + " x " + std::to_string(h) +
               " pixels cannot be held in " + std::to_string(fileSize) + " bytes";
    }
    return {};
}

} // namespace

ImageDecoded decodeWithStb(std::span<const std::uint8_t> file) {
    const bool png = hasPngSignature(file);
    const std::size_t jpegSegments = jpegSegmentsStart(file);
    const std::string kind = png ? "PNG" : jpegSegments != 0 ? "JPEG" : "TGA";
    std::string why = png ? pngHazard(file) : jpegSegments != 0 ? jpegHazard(file, jpegSegments) : "";
    if (!why.empty()) {
        return refusedImage(std::move(why));
    }
    if (file.size() > static_cast<std::size_t>(INT_MAX)) {
        return refusedImage("too large: a file of more than 2 GB");
    }
    const int length = static_cast<int>(file.size());
    int width = 0;
    int height = 0;
    int channels = 0;
    if (!stbi_info_from_memory(file.data(), length, &width, &height, &channels)) {
        // Only a TGA has no signature: anything else unknown is not an image.
        return refusedImage(png || jpegSegments != 0
                           ? "damaged: " + kind + " file (" + stbi_failure_reason() + ")"
                           : "not a PCX, BMP, PNG, TGA or JPEG file");
    }
    why = checkStbSize(width, height, file.size(),
                       png ? kPngMostPixelsPerByte
                       : jpegSegments != 0 ? kJpegMostPixelsPerByte
                                           : kTgaMostPixelsPerByte);
    if (why.empty() && !png && jpegSegments == 0) {
        why = tgaHazard(file);
    }
    if (!why.empty()) {
        return refusedImage(std::move(why));
    }
    const std::unique_ptr<stbi_uc, void (*)(void*)> pixels(
        stbi_load_from_memory(file.data(), length, &width, &height, &channels, 4), stbi_image_free);
    if (!pixels) {
        return refusedImage("damaged: " + kind + " file (" + stbi_failure_reason() + ")");
    }
    ImageDecoded d;
    d.image.width = static_cast<std::uint32_t>(width);
    d.image.height = static_cast<std::uint32_t>(height);
    d.image.rgba.assign(pixels.get(), pixels.get() + std::size_t{d.image.width} * d.image.height * 4);
    return d;
}

} // namespace meshfold
