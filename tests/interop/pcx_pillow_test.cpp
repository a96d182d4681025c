// The PCX files of the texture writer read back by Pillow (python3-pil), a
// reader nobody on this project wrote: the size, the paletted mode, all 768
// bytes of the palette and every pixel must be what was written. Skipped
// when no python3 with Pillow is found.
#include "support.h"

#include "meshfold/image/image.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace meshfold::interop {
namespace {

using test::Bytes;

std::string lowerHex(const std::uint8_t* p, std::size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

// An image of `width` x `height` whose colours vary smoothly, with `holes`
// pixels of every so many fully transparent.
Image gradient(std::uint32_t width, std::uint32_t height, std::size_t holes) {
    Image image;
    image.width = width;
    image.height = height;
    for (std::uint32_t y = 0; y < height; ++y) {
        for (std::uint32_t x = 0; x < width; ++x) {
            const std::size_t i = std::size_t{y} * width + x;
            image.rgba.push_back(static_cast<std::uint8_t>(x * 255 / width));
            image.rgba.push_back(static_cast<std::uint8_t>(y * 255 / height));
            image.rgba.push_back(static_cast<std::uint8_t>((x * y) % 251));
            image.rgba.push_back(holes != 0 && i % holes == 0 ? 0 : 255);
        }
    }
    return image;
}

PalettedImage written(std::uint32_t width, std::uint32_t height, Bytes indices) {
    PalettedImage image;
    image.width = width;
    image.height = height;
    image.indices = std::move(indices);
    image.colours = 256;
    for (std::size_t i = 0; i < image.palette.size(); ++i) {
        image.palette[i] = static_cast<std::uint8_t>(i * 13 + 5); // not a grey ramp
    }
    return image;
}

struct PcxCase {
    const char* name;
    PalettedImage image;
};

std::vector<PcxCase> pcxCases() {
    Bytes oddWidth(5 * 3);
    for (std::size_t i = 0; i < oddWidth.size(); ++i) {
        oddWidth[i] = static_cast<std::uint8_t>(i < 7 ? 0xC0 + i % 2 : 0xBF);
    }
    Bytes runs(130 * 2, 0xFF);
    runs[129] = 0x00;
    return {
        {"one.pcx", written(1, 1, {0xC5})},
        {"odd.pcx", written(5, 3, oddWidth)},
        {"runs.pcx", written(130, 2, runs)},
        {"exact.pcx", quantise(gradient(37, 11, 0))},
        {"photo.pcx", quantise(resizeForTexture(gradient(300, 200, 0)))},
        {"masked.pcx", quantise(gradient(64, 48, 5), {.dither = true, .masked = true})},
    };
}

// The first of python3 on PATH and the system's own that has Pillow.
std::string pythonWithPillow(const test::fs::path& dir) {
    for (const char* python : {"python3", "/usr/bin/python3"}) {
        if (test::runProgram({python, "-c", "import PIL"}, dir).status == 0) {
            return python;
        }
    }
    return {};
}

TEST(PillowInterop, ReadsThePcxFilesAsWritten) {
    const test::Scratch scratch;
    const std::string python = pythonWithPillow(scratch.dir);
    if (python.empty()) {
        GTEST_SKIP() << "no python3 with Pillow (python3-pil)";
    }
    const std::vector<PcxCase> cases = pcxCases();
    std::vector<std::string> argv = {python,
                                     (test::sourceDir() / "tests/interop/pcx_read.py").string()};
    for (const PcxCase& c : cases) {
        ASSERT_EQ(c.image.indices.size(), std::size_t{c.image.width} * c.image.height) << c.name;
        test::writeFile(scratch.dir / c.name, encodePcx(c.image));
        argv.push_back(c.name);
    }
    const test::ProgramResult r = test::runProgram(argv, scratch.dir);
    ASSERT_EQ(r.status, 0) << r.errors;
    std::istringstream lines(r.output);
    for (const PcxCase& c : cases) {
        std::string format, mode, palette, pixels;
        std::uint32_t width = 0, height = 0;
        ASSERT_TRUE(lines >> format >> width >> height >> mode >> palette >> pixels) << c.name;
        EXPECT_EQ(format, "PCX") << c.name;
        EXPECT_EQ(width, c.image.width) << c.name;
        EXPECT_EQ(height, c.image.height) << c.name;
        EXPECT_EQ(mode, "P") << c.name;
        EXPECT_EQ(palette, lowerHex(c.image.palette.data(), c.image.palette.size())) << c.name;
        EXPECT_EQ(pixels, lowerHex(c.image.indices.data(), c.image.indices.size())) << c.name;
    }
}

// Blender's textured scene (tools/make_gltf_samples.py) brought in with
// --uc, read by Pillow against the scene's own images resized by Pillow
// (Lanczos, in sRGB: not the writer's filter, so the figure counts the
// filters' difference too): each texture's size, colours, mask and PSNR.
TEST(PillowInterop, BlendersTexturesAreTheirImagesWithinAPsnr) {
    const test::Scratch scratch;
    const std::string python = pythonWithPillow(scratch.dir);
    if (python.empty()) {
        GTEST_SKIP() << "no python3 with Pillow (python3-pil)";
    }
    test::writeFile(scratch.dir / "Panels.glb",
                    test::readFile(test::sourceDir() / "tests/data/gltf/textured.glb"));
    ASSERT_EQ(test::runTool({"--uc", "Panels.glb"}, scratch.dir).status, 0);
    const test::ProgramResult r = test::runProgram(
        {python, (test::sourceDir() / "tests/interop/texture_psnr.py").string(), "Panels.glb", "Panels"},
        scratch.dir);
    ASSERT_EQ(r.status, 0) << r.errors;
    struct Want {
        std::uint32_t width, height, colours;
        bool masked;
        double minPsnr; // as measured, less a margin
    };
    const Want wants[] = {{256, 256, 256, false, 35}, {128, 128, 256, true, 50},
                          {256, 64, 2, false, 99}, {256, 256, 256, false, 35}};
    std::istringstream lines(r.output);
    for (const Want& w : wants) {
        unsigned number = 0, width = 0, height = 0, colours = 0, hidden = 0, wrong = 0;
        double psnr = 0;
        ASSERT_TRUE(lines >> number >> width >> height >> colours >> hidden >> wrong >> psnr) << r.output;
        SCOPED_TRACE(number);
        EXPECT_EQ(width, w.width);
        EXPECT_EQ(height, w.height);
        EXPECT_LE(colours, w.colours);
        EXPECT_EQ(hidden > 0, w.masked);
        EXPECT_EQ(wrong, 0u); // hidden exactly where the source's alpha is below half
        EXPECT_GE(psnr, w.minPsnr);
        std::printf("[ figures  ] Pillow: texture %u %ux%u, %u colours, %u pixels hidden, PSNR %.2f dB\n", number,
                    width, height, colours, hidden, psnr);
    }
}

} // namespace
} // namespace meshfold::interop
