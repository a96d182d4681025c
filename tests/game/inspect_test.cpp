#include "meshfold/game/format.h"
#include "meshfold/game/inspect.h"

#include "support.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

namespace meshfold {
namespace {

using Bytes = std::vector<std::uint8_t>;

RunOptions options(bool ms = false, bool hi = false) {
    return test::meshOptions(ms, hi);
}

Bytes le16s(std::initializer_list<std::uint16_t> values) {
    Bytes b;
    for (std::uint16_t v : values) {
        b.push_back(static_cast<std::uint8_t>(v));
        b.push_back(static_cast<std::uint8_t>(v >> 8));
    }
    return b;
}

// The data file's verdict for a mesh with these counts (frame count 1).
Stop verdict(std::uint16_t frameSize, std::uint16_t verts, bool ms = false, std::size_t tris = 1,
             bool toUnreal = false) {
    MeshHeaderInfo info;
    info.frameCount = 1;
    info.frameSize = frameSize;
    Bytes data = le16s({1, verts});
    if (ms) {
        data.resize(kDataHeaderSize + tris * kTriangleRecordSize);
    }
    RunOptions o = options(ms);
    o.toUnreal = toUnreal;
    return inspectDataHeader(o, data, info).failure.stop;
}

TEST(AnimHeader, StopsInOrderOnShortFiles) {
    MeshHeaderInfo info;
    InspectStep s = inspectAnimHeader(options(), Bytes{0x01}, info);
    EXPECT_EQ(s.failure.stop, Stop::NoFrameCount);
    EXPECT_EQ(s.progress, "");

    s = inspectAnimHeader(options(true, true), le16s({1}), info);
    EXPECT_EQ(s.failure.stop, Stop::NoFrameSize);
    EXPECT_EQ(s.progress, "\nConverting M_a.3d...\n"
                          "\n* MilkShape Fix Mode *\n"
                          "\n* Hi Res Experimental Mode *\n"
                          "\n  Single mesh (no animation)");
}

TEST(AnimHeader, FrameCountZeroStopsAfterTheBanners) {
    MeshHeaderInfo info;
    const InspectStep s = inspectAnimHeader(options(false, true), le16s({0, 40}), info);
    EXPECT_EQ(s.failure.stop, Stop::FrameCountInvalid);
    EXPECT_EQ(s.progress, "\nConverting M_a.3d...\n\n* Hi Res Experimental Mode *\n");
}

TEST(AnimHeader, FillsBothCountsAndPrintsUnsignedFrames) {
    MeshHeaderInfo info;
    const InspectStep s = inspectAnimHeader(options(), le16s({65535, 65534}), info);
    EXPECT_EQ(s.failure.stop, Stop::None);
    EXPECT_EQ(s.progress, "\nConverting M_a.3d...\n\n  65535 animation frames");
    EXPECT_EQ(info.frameCount, 65535);
    EXPECT_EQ(info.frameSize, 65534);
}

TEST(DataHeader, PrintsEachCountBeforeRejectingIt) {
    MeshHeaderInfo info;
    InspectStep s = inspectDataHeader(options(), Bytes{}, info);
    EXPECT_EQ(s.failure.stop, Stop::NoPolygonCount);
    EXPECT_EQ(s.progress, "");

    s = inspectDataHeader(options(), le16s({0, 10}), info);
    EXPECT_EQ(s.failure.stop, Stop::PolygonCountInvalid);
    EXPECT_EQ(s.progress, "\n  0 polygons");

    s = inspectDataHeader(options(), Bytes{5, 0, 1}, info);
    EXPECT_EQ(s.failure.stop, Stop::NoVertexCount);
    EXPECT_EQ(s.progress, "\n  5 polygons");

    s = inspectDataHeader(options(), le16s({5, 0}), info);
    EXPECT_EQ(s.failure.stop, Stop::VertexCountInvalid);
    EXPECT_EQ(s.progress, "\n  5 polygons\n  0 vertices");
}

TEST(VertexFormat, QuotientOfFrameSizeByVertexCount) {
    // Without the first frame, from 8 bytes a vertex on only the counts speak.
    for (std::uint16_t fs = 0; fs < 120; ++fs) {
        const Stop expected = fs >= 40 && fs <= 79   ? Stop::None
                              : fs >= 80 && fs <= 89 ? Stop::AlreadyConverted
                                                     : Stop::UnknownVertexFormat;
        EXPECT_EQ(verdict(fs, 10), expected) << "frame size " << fs;
    }
    EXPECT_EQ(verdict(4, 1), Stop::None);
    EXPECT_EQ(verdict(65535, 65535), Stop::UnknownVertexFormat);
}

TEST(VertexFormat, TakingBackAcceptsTheWideFormAndStopsAtThePackedOne) {
    // Without the first frame: room to spare is the Unreal form too.
    for (std::uint16_t fs = 0; fs < 120; ++fs) {
        const Stop expected = fs >= 40 && fs <= 79   ? Stop::AlreadyUnreal
                              : fs >= 80 && fs <= 89 ? Stop::None
                                                     : Stop::UnknownVertexFormat;
        EXPECT_EQ(verdict(fs, 10, false, 1, true), expected) << "frame size " << fs;
    }
    // Frame sizes no forward run could double are still packed, and the
    // largest wide frame takes back to 4 bytes a vertex.
    EXPECT_EQ(verdict(65535, 16383, false, 1, true), Stop::AlreadyUnreal);
    EXPECT_EQ(verdict(65528, 8191, true, 1, true), Stop::None);
    RunOptions o = options();
    o.toUnreal = true;
    const FrameForm widest{VertexForm::Wide, 8191, 65528};
    EXPECT_EQ(newFrameSize(o, widest), 32764);
    EXPECT_EQ(newFrameSize(options(), FrameForm{VertexForm::Packed, 8191, 32767}), 65534);
}

TEST(VertexFormat, FrameSizesThatCannotBeDoubledAreRefused) {
    EXPECT_EQ(verdict(32764, 8191), Stop::None);
    EXPECT_EQ(verdict(32767, 8191), Stop::None);
    EXPECT_EQ(verdict(32768, 8192), Stop::FrameSizeTooLarge);
    EXPECT_EQ(verdict(65535, 16383), Stop::FrameSizeTooLarge);
    // Frames with room to spare become 8 bytes a vertex: up to 8191 vertices.
    EXPECT_EQ(verdict(40955, 8191), Stop::None);
    EXPECT_EQ(verdict(40960, 8192), Stop::FrameSizeTooLarge);
    EXPECT_EQ(verdict(65535, 13107), Stop::FrameSizeTooLarge);
    // Already converted wins: nothing would be written anyway.
    EXPECT_EQ(verdict(65528, 8191), Stop::AlreadyConverted);
}

TEST(VertexFormat, EverySlotOfTheFirstFrameVotes) {
    // One vertex in frames of 8 bytes, the top half of its spare word not 0;
    // three vertices whose non-zero fourth words are the last two.
    const Bytes one = {0x11, 0x22, 0x33, 0x44, 0x00, 0x00, 0x34, 0x12};
    Bytes three(24, 0);
    three[8 + 6] = 0x01;
    three[16 + 7] = 0x80;
    for (const auto& [verts, frame, unused] : {std::tuple<std::uint16_t, Bytes, const char*>{1, one, "4"},
                                               {3, three, "12"}}) {
        MeshHeaderInfo info;
        info.frameCount = 1;
        info.frameSize = static_cast<std::uint16_t>(frame.size());
        const InspectStep s = inspectDataHeader(options(), le16s({1, verts}), info, frame);
        EXPECT_EQ(s.failure.stop, Stop::None) << verts << " vertices";
        EXPECT_EQ(s.progress, "\n  1 polygons\n  " + std::to_string(verts) + " vertices\n  " + unused +
                                  " unused bytes per frame left out");
    }
}

TEST(MilkShapeLoad, ShortTriangleTableStopsBeforeTheFormatCheck) {
    MeshHeaderInfo info;
    info.frameCount = 1;
    info.frameSize = 80; // already converted, but the table is checked first
    Bytes data = le16s({3, 10});
    data.resize(kDataHeaderSize + 3 * kTriangleRecordSize - 1);
    EXPECT_EQ(inspectDataHeader(options(true), data, info).failure.stop, Stop::NoTriangles);
    data.push_back(0);
    EXPECT_EQ(inspectDataHeader(options(true), data, info).failure.stop, Stop::AlreadyConverted);
    // Without the fix the table is never read, so its length does not matter.
    EXPECT_EQ(inspectDataHeader(options(false), le16s({3, 10}), info).failure.stop,
              Stop::AlreadyConverted);
}

TEST(DataFileLoad, WantsTheWholeTriangleTable) {
    EXPECT_EQ(dataBytesWanted(le16s({65535, 1})), 48u + 16u * 65535u);
    EXPECT_EQ(dataBytesWanted(le16s({1, 1})), 48u + 16u);
    EXPECT_EQ(dataBytesWanted(Bytes{1}), 4u);
}

TEST(DataFileLoad, TrianglesAreCheckedForWarnings) {
    // Corners, first attribute byte of each triangle; 4 vertices, 4 polygons.
    struct Case {
        const char* name;
        std::vector<std::array<std::uint16_t, 4>> triangles;
        std::size_t cutBytes; // taken off the end of the file
        TriangleFindings want;
    };
    const Case cases[] = {
        {"sound", {{0, 1, 2, 0x00}, {1, 2, 3, 0x07}, {3, 2, 1, 0xF7}, {0, 0, 0, 0}}, 0, {4, 0, 0, 0, 0}},
        {"corner equal to the count", {{0, 1, 2, 0}, {1, 4, 3, 0}, {0, 1, 2, 0}, {9, 9, 9, 0}}, 0,
         {4, 2, 1, 4, 0}},
        {"corner 65535", {{65535, 1, 2, 0}, {0, 1, 2, 0}, {0, 1, 2, 0}, {0, 1, 2, 0}}, 0,
         {4, 1, 0, 65535, 0}},
        {"weapon flags", {{0, 1, 2, 0x08}, {0, 1, 2, 0xFF}, {0, 1, 2, 0x10}, {0, 1, 2, 0x09}}, 0,
         {4, 0, 0, 0, 3}},
        {"short table: whole records only", {{0, 1, 2, 0x08}, {0, 7, 2, 0x08}, {0, 1, 2, 0x08},
                                             {0, 1, 2, 0x08}}, 17, {2, 1, 1, 7, 2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes data = le16s({4, 4});
        data.resize(kDataHeaderSize, 0);
        for (const auto& t : c.triangles) {
            const Bytes rec = le16s({t[0], t[1], t[2]});
            data.insert(data.end(), rec.begin(), rec.end());
            data.push_back(static_cast<std::uint8_t>(t[3]));
            data.resize(data.size() + 9, 0);
        }
        data.resize(data.size() - c.cutBytes);
        MeshHeaderInfo info;
        info.polygonCount = 4;
        info.vertexCount = 4;
        const TriangleFindings f = checkTriangles(data, info);
        EXPECT_EQ(f.checked, c.want.checked);
        EXPECT_EQ(f.badIndex, c.want.badIndex);
        EXPECT_EQ(f.firstBad, c.want.firstBad);
        EXPECT_EQ(f.firstBadIndex, c.want.firstBadIndex);
        EXPECT_EQ(f.weapons, c.want.weapons);
    }
}

TEST(MilkShapeDataFile, ZeroTailReversedRecordsNothingAfter) {
    Bytes data = le16s({2, 7});
    data.insert(data.end(), 44, 0xEE);
    const Bytes rec1 = {1, 0, 2, 0, 3, 0, 0xAA, 0xBB, 0x0A, 0x0B, 0x14, 0x15, 0x1E, 0x1F, 0xCC, 0xDD};
    const Bytes rec2 = {0xFF, 0xFF, 0, 0, 0x34, 0x12, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    data.insert(data.end(), rec1.begin(), rec1.end());
    data.insert(data.end(), rec2.begin(), rec2.end());
    data.insert(data.end(), {0x99, 0x99, 0x99}); // trailing bytes are dropped

    MeshHeaderInfo info;
    info.polygonCount = 2;
    info.vertexCount = 7;
    const Bytes out = milkShapeDataFile(data, info);

    Bytes expected = le16s({2, 7});
    expected.resize(kDataHeaderSize, 0);
    expected.insert(expected.end(), {3, 0, 2, 0, 1, 0, 0xAA, 0xBB, 0x1E, 0x1F, 0x14, 0x15, 0x0A,
                                     0x0B, 0xCC, 0xDD});
    expected.insert(expected.end(), {0x34, 0x12, 0, 0, 0xFF, 0xFF, 1, 2, 7, 8, 5, 6, 3, 4, 9, 10});
    EXPECT_EQ(out, expected);
}

} // namespace
} // namespace meshfold
