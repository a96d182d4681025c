#include "meshfold/gltf/gltf_common.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace meshfold {
namespace {

TEST(MaterialName, NamesEveryTypeAndFlagAndReadsBackLongAndShortForms) {
    struct Case {
        std::uint8_t texture, type;
        const char* name;
    };
    const Case cases[] = {
        {0, 0x00, "000_NORMAL_Cube"},          {4, 0x01, "004_2SIDED_Cube"},
        {12, 0x02, "012_TRANSLUCENT_Cube"},    {255, 0x03, "255_MASKED_Cube"},
        {1, 0x04, "001_MODULATED_Cube"},       {1, 0x05, "001_ALPHABLEND_Cube"},
        {1, 0x08, "001_WEAPONTRI_Cube"},       {1, 0xF1, "001_2SIDED_UNLIT_FLAT_ENVIRONMENT_NOSMOOTH_Cube"},
        {9, 0x20, "009_NORMAL_FLAT_Cube"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(materialName(c.texture, c.type, "Cube"), c.name);
        const std::optional<MaterialCode> back = parseMaterialName(c.name);
        ASSERT_TRUE(back) << c.name;
        EXPECT_EQ(back->texture, c.texture) << c.name;
        EXPECT_EQ(back->type, c.type) << c.name;
    }
    // Types the name cannot tell are _NORMAL; the byte is kept elsewhere.
    EXPECT_EQ(materialName(7, 0x16, "M"), "007_NORMAL_UNLIT_M");
    EXPECT_TRUE(isDoubleSided(0x15));
    EXPECT_FALSE(isDoubleSided(0x08));
    EXPECT_FALSE(isDoubleSided(0x00));

    const auto code = [](const char* name) {
        const std::optional<MaterialCode> c = parseMaterialName(name);
        return c ? c->texture * 256 + c->type : -1;
    };
    EXPECT_EQ(code("003_ns_dd_UL"), 3 * 256 + 0x91);
    EXPECT_EQ(code("010_PH"), 10 * 256 + 0x08);
    // A later type word replaces the type; flags add to it, in any order.
    EXPECT_EQ(code("001_2SIDED_TRANSLUCENT"), 1 * 256 + 0x02);
    EXPECT_EQ(code("001_LU_dd"), 1 * 256 + 0x01);
    EXPECT_EQ(code("001_MODULATED_UNLIT_2SIDED"), 1 * 256 + 0x11);
    EXPECT_EQ(code("010"), 10 * 256);
    EXPECT_EQ(code("256_NORMAL"), -1);
    EXPECT_EQ(code("12_NORMAL"), -1);
    EXPECT_EQ(code("Material.001"), -1);
}

TEST(MaterialName, HexAndChecksumHelpers) {
    const std::vector<std::uint8_t> bytes = {0x00, 0x7f, 0xa5, 0xff};
    EXPECT_EQ(toHex(bytes), "007fa5ff");
    EXPECT_EQ(fromHex("007FA5ff"), bytes);
    EXPECT_FALSE(fromHex("abc"));
    EXPECT_FALSE(fromHex("zz"));
    Fnv1a64 sum;
    EXPECT_EQ(checksumHex(sum), "cbf29ce484222325");
    const std::uint8_t a[] = {'a'};
    sum.add(a);
    EXPECT_EQ(checksumHex(sum), "af63dc4c8601ec8c"); // the published FNV-1a value of "a"
}

} // namespace
} // namespace meshfold
