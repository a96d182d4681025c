// The PCX files of the texture writer read back by Pillow (python3-pil), a
// reader nobody on this project wrote: the size, the paletted mode, all 768
// bytes of the palette and every pixel must be what was written. Skipped
// when no python3 with Pillow is found.
#include "support.h"

#include "meshfold/bridge/package_extract.h"
#include "meshfold/image/image.h"
#include "meshfold/package/inventory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdio>
#include <map>
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

// Every texture of the real compiled packages (../shared/corpus-ue1), taken apart by the built
// binary, read back by Pillow: each one stored as P8 with its palette in the package is that
// palette and those indices exactly, every other is an 8-bit PCX of its size, and each masked
// texture is imported with FLAGS=2.
TEST(PillowInterop, EveryTextureOfTheRealPackagesIsItsStoredPaletteAndIndices) {
    const test::Scratch scratch;
    const std::string python = pythonWithPillow(scratch.dir);
    if (python.empty() || test::corpusUe1Dir().empty()) {
        GTEST_SKIP() << "no python3 with Pillow (python3-pil), or no ../shared/corpus-ue1";
    }
    struct Expected {
        const package::Texture* texture;
        const package::Palette* palette; // null: not written exactly
        ExtractedTexture planned;
        std::string script; // the package's Classes script
    };
    std::vector<Bytes> bytes;
    std::vector<package::Package> packages;
    std::vector<package::Contents> contents;
    std::vector<std::string> names;
    for (const auto& e : test::fs::recursive_directory_iterator(test::corpusUe1Dir())) {
        if (e.path().extension() == ".u" || e.path().extension() == ".utx") {
            names.push_back(e.path().string());
        }
    }
    std::sort(names.begin(), names.end());
    bytes.reserve(names.size());
    packages.reserve(names.size());
    contents.reserve(names.size());
    std::vector<std::string> argv = {python, (test::sourceDir() / "tests/interop/pcx_read.py").string()};
    std::vector<Expected> expected;
    for (const std::string& name : names) {
        const std::string stem = test::fs::path(name).stem().string();
        test::writeFile(scratch.dir / (stem + ".u"), test::readFile(name));
        const test::RunResult r = test::runTool({stem + ".u"}, scratch.dir);
        ASSERT_EQ(r.status, 0) << name << r.out;
        bytes.push_back(test::readFile(name));
        packages.push_back(*package::readPackage(bytes.back(), stem).package);
        contents.push_back(package::readContents(packages.back()));
        const Bytes uc = test::readFile(scratch.dir / stem / "Classes" / (stem + ".uc"));
        const std::vector<ExtractedTexture> planned = planTextures(packages.back(), contents.back());
        for (std::size_t i = 0; i < planned.size(); ++i) {
            const package::Texture& t = contents.back().textures[i];
            if (!test::fs::exists(scratch.dir / stem / planned[i].fileName)) {
                continue; // not written, with a warning: no palette or no pixels
            }
            const package::Palette* pal = package::paletteOf(contents.back(), t);
            const bool exact = t.format == package::PixelFormat::P8 && pal != nullptr && !t.mips.empty() &&
                               std::has_single_bit(static_cast<std::uint32_t>(t.mips.front().width)) &&
                               std::has_single_bit(static_cast<std::uint32_t>(t.mips.front().height));
            expected.push_back({&t, exact ? pal : nullptr, planned[i], std::string(uc.begin(), uc.end())});
            argv.push_back(stem + "/" + planned[i].fileName);
        }
    }
    ASSERT_GT(expected.size(), 250u);
    const test::ProgramResult r = test::runProgram(argv, scratch.dir);
    ASSERT_EQ(r.status, 0) << r.errors;
    std::istringstream lines(r.output);
    std::size_t exact = 0, masked = 0;
    for (const Expected& e : expected) {
        SCOPED_TRACE(e.texture->fullName);
        std::string format, mode, palette, pixels;
        std::uint32_t width = 0, height = 0;
        ASSERT_TRUE(lines >> format >> width >> height >> mode >> palette >> pixels);
        EXPECT_EQ(format, "PCX");
        // Pillow reads a PCX whose palette is the grey ramp as a grey image: its indices are
        // then its grey levels, the palette the ramp.
        const bool grey = mode == "L";
        EXPECT_TRUE(mode == "P" || grey) << mode;
        if (e.palette != nullptr) {
            const package::Mip& mip = e.texture->mips.front();
            EXPECT_EQ(width, static_cast<std::uint32_t>(mip.width));
            EXPECT_EQ(height, static_cast<std::uint32_t>(mip.height));
            std::vector<std::uint8_t> rgb;
            for (std::size_t c = 0; c < package::kPaletteColours; ++c) {
                rgb.insert(rgb.end(), e.palette->rgba.begin() + static_cast<std::ptrdiff_t>(4 * c),
                           e.palette->rgba.begin() + static_cast<std::ptrdiff_t>(4 * c + 3));
            }
            if (grey) {
                for (std::size_t c = 0; c < rgb.size(); ++c) {
                    rgb[c] = static_cast<std::uint8_t>(rgb[c] - c / 3); // 0 where it is the ramp
                }
                EXPECT_EQ(rgb, std::vector<std::uint8_t>(rgb.size(), 0)) << "a grey image of another palette";
            } else {
                EXPECT_EQ(palette, lowerHex(rgb.data(), rgb.size()));
            }
            EXPECT_EQ(pixels, lowerHex(mip.pixels.data(), mip.pixels.size()));
            ++exact;
        }
        const std::string import = "#exec TEXTURE IMPORT NAME=" + e.planned.name + " FILE=" + e.planned.scriptFile;
        const std::size_t at = e.script.find(import + " ");
        const std::size_t line = at == std::string::npos ? e.script.find(import + "\n") : at;
        ASSERT_NE(line, std::string::npos) << import;
        const std::string text = e.script.substr(line, e.script.find('\n', line) - line);
        EXPECT_EQ(text.find(" FLAGS=2") != std::string::npos, e.planned.masked) << text;
        if (e.texture->surface.masked) {
            EXPECT_NE(text.find(" FLAGS=2"), std::string::npos) << text;
            ++masked;
        }
    }
    std::printf("[ figures  ] Pillow: %zu textures of %zu real packages read, %zu of them their stored palette and"
                " indices exactly, %zu masked ones imported with FLAGS=2\n",
                expected.size(), names.size(), exact, masked);
}

} // namespace
} // namespace meshfold::interop
