// Reading an image file, whatever its format: the format told apart by its
// first bytes, the fuzzer's seeds and finds, and the real textures of the mod
// packages against the tests' reference decoder.
#include "meshfold/image/image.h"
#include "image_samples.h"
#include "reference_image.h"
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace meshfold {
namespace {

using test::Bytes;
using test::Case;

TEST(ImageDecode, EmptyAndUnknownFilesAreRefused) {
    test::expectRefused({
        {"empty", [] { return Bytes{}; }, "empty file"},
        {"text", [] { return Bytes{'h', 'e', 'l', 'l', 'o'}; }, "not a PCX, BMP, PNG, TGA or JPEG file"},
    });
}

// The image fuzzer's seeds, made by another decoder's writer (Pillow), all
// decode; the inputs it found that broke stb are refused.
TEST(ImageDecode, FuzzSeedsDecodeAndTheFuzzersFindsAreRefused) {
    int found = 0;
    for (const auto& e : test::fs::directory_iterator(test::sourceDir() / "fuzz" / "image-seeds")) {
        SCOPED_TRACE(e.path().filename().string());
        const ImageDecoded d = decodeImage(test::readFile(e.path()));
        if (e.path().filename().string().rfind("found-", 0) == 0) {
            EXPECT_NE(d.failure, "");
            ++found;
        } else {
            EXPECT_EQ(d.failure, "");
            EXPECT_EQ(d.image.width, e.path().filename().string() == "v5alpha.bmp" ? 3u : 7u);
        }
    }
    EXPECT_EQ(found, 5);
}

// ---------------------------------------------------------------------------
// The real textures of the mod packages.

// Every texture of corpus-packages, with its size as PROVENANCE.md lists it.
const std::map<std::string, std::pair<std::uint32_t, std::uint32_t>>& corpusTextureSizes() {
    static const std::map<std::string, std::pair<std::uint32_t, std::uint32_t>> sizes = {
        {"AlienSwitchTex1.pcx", {128, 128}}, {"AlienSwitchTex2a.pcx", {256, 256}},
        {"AlienSwitchTex2b.pcx", {256, 256}}, {"OfficeChairBTex1.pcx", {256, 256}},
        {"OfficeChairBTex2.pcx", {256, 256}}, {"OfficeChairBTex3.pcx", {256, 256}},
        {"jazz_01.PCX", {256, 256}}, {"jazz_02.PCX", {256, 256}}, {"jazz_blue_bb.PCX", {256, 256}},
        {"jazz_green_rb.PCX", {256, 256}}, {"jazz_grey_bb.PCX", {256, 256}},
        {"jazz_purple_pb.PCX", {256, 256}}, {"jazz_red_gb.PCX", {256, 256}},
        {"jazz_yellow_pb.PCX", {256, 256}}, {"palmtree1_01.PCX", {256, 256}},
        {"palmtree1_02.PCX", {256, 256}}, {"BLTTex1.bmp", {256, 64}}, {"BlackMaskTex.pcx", {2, 2}},
        {"CheeseTex1.bmp", {256, 64}}, {"SandwichTex1.bmp", {256, 64}}, {"SandwichTex2.bmp", {128, 128}},
        {"X7PR2.pcx", {256, 256}}, {"display1.pcx", {256, 256}}, {"flbasketball.pcx", {256, 256}},
        {"oll_journal1.pcx", {256, 256}}, {"burgerbun.pcx", {128, 128}},
        {"burgerbunbottom.pcx", {128, 128}}, {"cheeseslice.pcx", {64, 64}}, {"hairclip1.pcx", {64, 64}},
        {"onionslice.pcx", {64, 64}}, {"patty.pcx", {64, 64}}, {"salad.pcx", {64, 64}},
        {"tomatoslice.pcx", {64, 64}},
    };
    return sizes;
}

std::vector<test::fs::path> corpusTextures() {
    std::vector<test::fs::path> files;
    const test::fs::path root = test::corpusPackagesDir();
    if (root.empty()) {
        return files;
    }
    for (const auto& e : test::fs::recursive_directory_iterator(root)) {
        std::string ext = e.path().extension().string();
        std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char ch) { return std::tolower(ch); });
        if (e.is_regular_file() && (ext == ".pcx" || ext == ".bmp")) {
            files.push_back(e.path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

TEST(ImageCorpus, EveryTextureDecodesAtItsSizeAndAgreesWithTheReferenceDecoder) {
    const std::vector<test::fs::path> files = corpusTextures();
    if (files.empty()) {
        GTEST_SKIP() << "corpus-packages is not beside the repository";
    }
    EXPECT_EQ(files.size(), corpusTextureSizes().size());
    for (const test::fs::path& f : files) {
        SCOPED_TRACE(f.string());
        const Bytes bytes = test::readFile(f);
        const ImageDecoded d = decodeImage(bytes);
        ASSERT_EQ(d.failure, "");
        const auto size = corpusTextureSizes().find(f.filename().string());
        ASSERT_NE(size, corpusTextureSizes().end());
        EXPECT_EQ(d.image.width, size->second.first);
        EXPECT_EQ(d.image.height, size->second.second);
        const test::ReferenceImage r = test::referenceDecode(bytes);
        ASSERT_TRUE(r.ok) << r.why;
        EXPECT_EQ(d.image.rgba, r.rgba);
        EXPECT_EQ(d.image.indices, r.indices);
        EXPECT_EQ(d.image.palette, r.palette);
    }
}

// A small real file cut short anywhere is refused; so is a real 24-bit BMP
// (sampled: the sweep is quadratic in the file's size).
TEST(ImageCorpus, PrefixesOfRealTexturesAreRefused) {
    const std::vector<test::fs::path> files = corpusTextures();
    if (files.empty()) {
        GTEST_SKIP() << "corpus-packages is not beside the repository";
    }
    for (const test::fs::path& f : files) {
        const std::string name = f.filename().string();
        if (name != "BlackMaskTex.pcx" && name != "hairclip1.pcx" && name != "SandwichTex2.bmp") {
            continue;
        }
        SCOPED_TRACE(name);
        const Bytes bytes = test::readFile(f);
        const std::size_t step = bytes.size() > 10000 ? 97 : 1;
        for (std::size_t n = 0; n < bytes.size(); n += step) {
            const Bytes prefix(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
            ASSERT_NE(decodeImage(prefix).failure, "") << n;
        }
    }
}

// The reference decoder itself, on the files built here: it must agree with
// the pixels they were built from, or comparing with it proves nothing.
TEST(ReferenceImage, ReadsTheBuiltFilesItCovers) {
    std::vector<Case> cases = test::pcxCases();
    for (Case& c : test::bmpCases()) {
        cases.push_back(std::move(c));
    }
    for (const Case& c : cases) {
        const bool covered = c.name.rfind("pcx8", 0) == 0 || c.name.rfind("bmp24", 0) == 0;
        const test::ReferenceImage r = test::referenceDecode(c.file);
        SCOPED_TRACE(c.name);
        ASSERT_EQ(r.ok, covered) << r.why;
        if (covered) {
            EXPECT_EQ(r.rgba, c.expected.rgba);
            EXPECT_EQ(r.indices, c.expected.indices);
        }
    }
}

} // namespace
} // namespace meshfold
