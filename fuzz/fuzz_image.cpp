// libFuzzer target: the texture decoders (PCX, BMP, and PNG, TGA and JPEG
// through stb) on arbitrary bytes, held in a heap block of exactly their size.
// Beyond "no crash" (AddressSanitizer and UndefinedBehaviorSanitizer watch
// every access), each run must keep the decoder's promises:
//   - a refusal gives a reason and no pixels;
//   - an image is 1 to kMaxImageSide on a side with 4 bytes a pixel, and an
//     8-bit one an index a pixel, a palette of at most 256 colours, and each
//     pixel its palette colour (black past a short BMP palette), opaque;
//   - where the tests' reference decoder also reads the file (8-bit PCX,
//     24-bit BMP), every pixel agrees with it;
//   - a small image encoded as PNG decodes to the same pixels;
//   - a PNG's recovered palette indices each name their pixel's colour.
#include "meshfold/image/image.h"
#include "reference_image.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "broken promise: %s\n", what);
        std::abort();
    }
}

// PNG round trips are kept to small images: the fuzzer's time goes to the
// decoders.
constexpr std::size_t kRoundTripPixels = 4096;

void checkPaletted(const meshfold::Image& img) {
    check(img.indices.size() == img.rgba.size() / 4, "an index a pixel");
    check(!img.palette.empty() && img.palette.size() <= 768 && img.palette.size() % 3 == 0,
          "palette size");
    const std::size_t colours = img.palette.size() / 3;
    for (std::size_t p = 0; p < img.indices.size(); ++p) {
        const std::uint8_t* c = &img.rgba[4 * p];
        const std::size_t i = img.indices[p];
        const bool black = c[0] == 0 && c[1] == 0 && c[2] == 0;
        check(i < colours ? c[0] == img.palette[3 * i] && c[1] == img.palette[3 * i + 1] &&
                                c[2] == img.palette[3 * i + 2]
                          : black,
              "each pixel its palette colour");
        check(c[3] == 255, "paletted pixels opaque");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace meshfold;
    const std::vector<std::uint8_t> file(data, data + size);
    const ImageDecoded d = decodeImage(file);
    const Image& img = d.image;
    if (!d.failure.empty()) {
        check(img.rgba.empty() && img.width == 0, "a refusal gives no pixels");
        return 0;
    }
    check(img.width >= 1 && img.width <= kMaxImageSide && img.height >= 1 &&
              img.height <= kMaxImageSide,
          "size within the limits");
    check(img.rgba.size() == std::size_t{img.width} * img.height * 4, "4 bytes a pixel");
    if (!img.indices.empty()) {
        checkPaletted(img);
    }
    const test::ReferenceImage r = test::referenceDecode(file);
    if (r.ok) {
        check(r.width == img.width && r.height == img.height && r.rgba == img.rgba,
              "the reference decoder's pixels");
        check(r.indices.empty() || r.indices == img.indices, "the reference decoder's indices");
    }
    Image recovered = img;
    if (recoverPngPalette(file, recovered)) {
        check(recovered.indices.size() == recovered.rgba.size() / 4, "a recovered index a pixel");
        for (std::size_t p = 0; p < recovered.indices.size(); ++p) {
            const std::size_t k = recovered.indices[p];
            check(3 * k + 2 < recovered.palette.size() &&
                      std::equal(recovered.rgba.begin() + static_cast<std::ptrdiff_t>(4 * p),
                                 recovered.rgba.begin() + static_cast<std::ptrdiff_t>(4 * p + 3),
                                 recovered.palette.begin() + static_cast<std::ptrdiff_t>(3 * k)),
                  "a recovered index names its pixel's colour");
        }
    }
    if (img.rgba.size() / 4 <= kRoundTripPixels) {
        const ImageDecoded back = decodeImage(encodePng(img));
        check(back.failure.empty() && back.image.rgba == img.rgba, "PNG round trip");
    }
    return 0;
}
