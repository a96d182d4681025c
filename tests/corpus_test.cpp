// Every real mesh of the corpus beside the repository, converted on copies.
#include "support.h"

#include <gtest/gtest.h>

namespace meshfold::test {
namespace {

std::uint16_t le16(const Bytes& b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

std::int16_t s16(const Bytes& b, std::size_t at) {
    return static_cast<std::int16_t>(le16(b, at));
}

std::vector<std::string> corpusMeshes() {
    std::vector<std::string> names;
    const fs::path dir = corpusDir();
    if (dir.empty()) {
        return names;
    }
    for (const std::string& f : listFolder(dir)) {
        if (endsWith(f, "_a.3d")) {
            const std::string base = f.substr(0, f.size() - 5);
            if (fs::exists(dir / (base + "_d.3d"))) {
                names.push_back(base);
            }
        }
    }
    return names;
}

struct Pair {
    Bytes anim;
    Bytes data;
    unsigned bytesPerVertex() const { return le16(anim, 2) / le16(data, 2); }
};

Pair readPair(const std::string& base) {
    return {readFile(corpusDir() / (base + "_a.3d")), readFile(corpusDir() / (base + "_d.3d"))};
}

class Corpus : public ::testing::Test {
protected:
    void SetUp() override {
        if (corpusDir().empty()) {
            GTEST_SKIP() << "no corpus of real meshes at ../shared/corpus beside the repository";
        }
    }
    // Copies a mesh into the scratch folder, writable.
    void copyIn(const std::string& base) const {
        for (const char* s : {"_a.3d", "_d.3d"}) {
            writeFile(scratch.dir / (base + s), readFile(corpusDir() / (base + s)));
        }
    }
    Bytes get(const std::string& name) const { return readFile(scratch.dir / name); }
    Scratch scratch;
};

// Decodes field `bits` wide at `shift` of a packed word, two's complement.
int field(std::uint32_t word, unsigned shift, unsigned bits) {
    const int v = static_cast<int>((word >> shift) & ((1u << bits) - 1));
    return v >= (1 << (bits - 1)) ? v - (1 << bits) : v;
}

TEST_F(Corpus, PackedMeshesConvertAndRoundTrip) {
    int packed = 0;
    for (const std::string& base : corpusMeshes()) {
        SCOPED_TRACE(base);
        const Pair pair = readPair(base);
        if (pair.bytesPerVertex() != 4) {
            continue;
        }
        const Bytes& anim = pair.anim;
        const Bytes& data = pair.data;
        ++packed;
        const std::size_t words = (anim.size() - 4) / 4;

        // Plain: size, header, and X = -(fx >> 3), Y = -(fy >> 3), Z = fz >> 2 throughout.
        copyIn(base);
        RunResult r = runTool({base}, scratch.dir);
        ASSERT_EQ(r.status, 0) << r.out;
        Bytes out = get(base + "_a.3d");
        ASSERT_EQ(out.size(), 4 + 8 * words);
        EXPECT_EQ(le16(out, 0), le16(anim, 0));
        EXPECT_EQ(le16(out, 2), 2 * le16(anim, 2));
        EXPECT_EQ(get(base + "_d.3d"), data);
        for (std::size_t i = 0; i < words; ++i) {
            const std::uint32_t w = le16(anim, 4 + 4 * i) | (std::uint32_t{le16(anim, 6 + 4 * i)} << 16);
            ASSERT_EQ(s16(out, 4 + 8 * i), -(field(w, 0, 11) >> 3)) << i;
            ASSERT_EQ(s16(out, 6 + 8 * i), -(field(w, 11, 11) >> 3)) << i;
            ASSERT_EQ(s16(out, 8 + 8 * i), field(w, 22, 10) >> 2) << i;
            ASSERT_EQ(s16(out, 10 + 8 * i), 0) << i;
        }
        // A second run refuses and changes nothing.
        r = runTool({base}, scratch.dir);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.out.find("Mesh file has already been converted !"), std::string::npos);
        EXPECT_EQ(get(base + "_a.3d"), out);

        // Hi-res: every bit, X = -fx * 32 saturated, Y = -fy * 32, Z = fz * 64.
        copyIn(base);
        ASSERT_EQ(runTool({"-h", base}, scratch.dir).status, 0);
        out = get(base + "_a.3d");
        ASSERT_EQ(out.size(), 4 + 8 * words);
        for (std::size_t i = 0; i < words; ++i) {
            const std::uint32_t w = le16(anim, 4 + 4 * i) | (std::uint32_t{le16(anim, 6 + 4 * i)} << 16);
            ASSERT_EQ(s16(out, 4 + 8 * i), std::min(-field(w, 0, 11) * 32, 32767)) << i;
            ASSERT_EQ(s16(out, 6 + 8 * i), std::min(-field(w, 11, 11) * 32, 32767)) << i;
            ASSERT_EQ(s16(out, 8 + 8 * i), field(w, 22, 10) * 64) << i;
        }

        // MilkShape fix twice on the data file gives the original triangles back.
        copyIn(base);
        ASSERT_EQ(runTool({"-ms", base}, scratch.dir).status, 0);
        const std::size_t tableEnd = 48 + 16 * std::size_t{le16(data, 0)};
        EXPECT_EQ(get(base + "_d.3d").size(), tableEnd);
        writeFile(scratch.dir / (base + "_a.3d"), anim);
        ASSERT_EQ(runTool({"-ms", base}, scratch.dir).status, 0);
        const Bytes twice = get(base + "_d.3d");
        EXPECT_EQ(Bytes(twice.begin() + 48, twice.end()),
                  Bytes(data.begin() + 48, data.begin() + static_cast<std::ptrdiff_t>(tableEnd)));
        EXPECT_EQ(Bytes(twice.begin(), twice.begin() + 4), Bytes(data.begin(), data.begin() + 4));
    }
    EXPECT_GT(packed, 0);
}

TEST_F(Corpus, MeshesOfAnyOtherFormAreRefusedUntouched) {
    int refused = 0;
    for (const std::string& base : corpusMeshes()) {
        SCOPED_TRACE(base);
        const Pair pair = readPair(base);
        const Bytes& anim = pair.anim;
        const Bytes& data = pair.data;
        const unsigned q = pair.bytesPerVertex();
        if (q == 4) {
            continue;
        }
        ++refused;
        const std::string message = q == 8 ? "\n\nMesh file has already been converted !\n"
                                           : "\n\nCound not determine vertex format !\n";
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{base}, {"-ms", base}, {"-h", base}}) {
            copyIn(base);
            const RunResult r = runTool(args, scratch.dir);
            EXPECT_EQ(r.status, 1);
            EXPECT_TRUE(endsWith(r.out, message)) << r.out;
            EXPECT_EQ(get(base + "_a.3d"), anim);
            EXPECT_EQ(get(base + "_d.3d"), data);
        }
    }
    EXPECT_GT(refused, 0);
}

// The README's "meshfold *.3d" on a copy of the whole corpus: every mesh is
// named by both of its files, across several groups of meshes, and each is
// converted once. The dry run says exactly what the real run then does.
TEST_F(Corpus, EveryFileOfTheFolderNamedConvertsEachMeshOnce) {
    std::vector<std::string> names;
    for (const std::string& f : listFolder(corpusDir())) {
        if (endsWith(f, ".3d")) {
            writeFile(scratch.dir / f, readFile(corpusDir() / f));
            names.push_back(f);
        }
    }
    std::vector<std::string> dryArgs = names;
    dryArgs.push_back("--dry-run");
    const RunResult dry = runTool(dryArgs, scratch.dir);
    const RunResult real = runTool(names, scratch.dir);
    const std::string meshes = "\n\n" + std::to_string(corpusMeshes().size()) + " meshes: ";
    EXPECT_NE(real.out.find(meshes), std::string::npos) << real.out.substr(real.out.size() - 80);
    EXPECT_EQ(dry.out, asDryRun(real.out));
    EXPECT_EQ(dry.status, real.status);
}

} // namespace
} // namespace meshfold::test
