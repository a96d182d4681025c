// The package reader on small packages built byte by byte: encodings, each version's layout,
// properties, the polygon-flag table, pixel layouts, and damaged files of every kind.
#include "meshfold/package/cursor.h"
#include "meshfold/package/inventory.h"
#include "meshfold/package/mesh.h"
#include "meshfold/package/package.h"
#include "meshfold/package/polygon_flags.h"
#include "meshfold/package/properties.h"
#include "meshfold/package/texture.h"
#include "package_builder.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace meshfold::package {
namespace {

using test::Bytes;
using test::MeshRecipe;
using test::PackageBuilder;
using test::PropertyWriter;
using test::put16;
using test::put32;
using test::put8;
using test::putCompact;
using test::putFloat;
using test::frameVertsOf;
using test::meshData;
using test::OneMesh;
using test::oneMeshPackage;
using test::packedWord;
using test::paletteData;
using test::textureData;
using test::vertexItems;

// ---------------------------------------------------------------------------------------------
// Builders of object data.

// The package of `bytes`, which are kept alive for the records' spans and names (the tests pass
// packages they build as temporaries).
Package readOk(const Bytes& bytes) {
    static std::deque<Bytes> kept;
    kept.push_back(bytes);
    PackageRead r = readPackage(kept.back(), "Pkg");
    if (r.failure) {
        ADD_FAILURE() << "package refused, kind " << static_cast<int>(r.failure->kind);
        return {};
    }
    return std::move(*r.package);
}

// ---------------------------------------------------------------------------------------------
// Encodings.

std::optional<std::int32_t> compactOf(const Bytes& b) {
    detail::Cursor c(b, 0, b.size());
    const std::int32_t v = c.compact();
    if (!c.ok()) {
        return std::nullopt;
    }
    EXPECT_EQ(c.pos(), b.size()) << "all bytes of the index read";
    return v;
}

TEST(CompactIndex, DecodesOneToFiveBytesWithTheirSign) {
    struct Case {
        Bytes bytes;
        std::int32_t value;
    };
    const Case cases[] = {
        {{0x00}, 0},
        {{0x01}, 1},
        {{0x3F}, 63},
        {{0x81}, -1},
        {{0xBF}, -63},
        {{0x80}, 0}, // a negative zero is zero
        {{0x40, 0x01}, 64},
        {{0x7F, 0x7F}, 8191},
        {{0xC0, 0x01}, -64},
        {{0x40, 0x80, 0x01}, 8192},
        {{0x7F, 0xFF, 0x7F}, 1048575},
        {{0x40, 0x80, 0x80, 0x01}, 1048576},
        {{0x40, 0x80, 0x80, 0x80, 0x01}, 134217728},     // 2^27: five bytes
        {{0x7F, 0xFF, 0xFF, 0xFF, 0x0F}, 2147483647},    // the largest int32
        {{0xFF, 0xFF, 0xFF, 0xFF, 0x0F}, -2147483647},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(compactOf(c.bytes), std::optional<std::int32_t>(c.value)) << c.value;
        Bytes encoded;
        putCompact(encoded, c.value);
        if (c.bytes != Bytes{0x80}) {
            EXPECT_EQ(encoded, c.bytes) << "the builder encodes " << c.value << " the same way";
        }
    }
}

TEST(CompactIndex, RefusesSixBytesValuesPast31BitsAndTruncation) {
    const Bytes bad[] = {
        {0x40, 0x80, 0x80, 0x80, 0x80, 0x01}, // a sixth byte
        {0x40, 0x80, 0x80, 0x80, 0x10},       // 2^31
        {0x40, 0x80, 0x80, 0x80, 0x7F},
        {0x40},                               // "more follows" at the end
        {0x40, 0x80},
        {},
    };
    for (const Bytes& b : bad) {
        EXPECT_EQ(compactOf(b), std::nullopt) << b.size() << " bytes";
    }
}

TEST(Cursor, ACountMustLeaveRoomForItsItems) {
    const Bytes b = {0x05, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    detail::Cursor ok(b, 0, b.size());
    EXPECT_EQ(ok.count(2), 5u);
    detail::Cursor tooMany(b, 0, b.size());
    EXPECT_EQ(tooMany.count(3), 0u);
    EXPECT_FALSE(tooMany.ok());
    EXPECT_EQ(tooMany.failure().kind, FailureKind::CountPastObject);
    const Bytes negative = {0x81};
    detail::Cursor neg(negative, 0, negative.size());
    neg.count(1);
    EXPECT_FALSE(neg.ok());
}

TEST(Cursor, ReadsLittleEndianAndStopsAtTheWindow) {
    const Bytes b = {0x78, 0x56, 0x34, 0x12, 0x00, 0x00, 0x80, 0x3F, 0xFF};
    detail::Cursor c(b, 0, 8);
    EXPECT_EQ(c.u32(), 0x12345678u);
    EXPECT_EQ(c.f32(), 1.0f);
    EXPECT_EQ(c.u8(), 0) << "the byte past the window is not read";
    EXPECT_FALSE(c.ok());
    EXPECT_EQ(c.failure().kind, FailureKind::Truncated);
    EXPECT_EQ(c.failure().offset, 8u);
}

// ---------------------------------------------------------------------------------------------
// The container.

TEST(Container, RefusesAWrongTagAndVersionsOutsideTheRange) {
    MeshRecipe recipe;
    Bytes good = oneMeshPackage(recipe).bytes;
    Bytes wrongTag = good;
    wrongTag[0] ^= 1;
    EXPECT_EQ(readPackage(wrongTag, "Pkg").failure->kind, FailureKind::NotAPackage);
    for (const auto& [version, kind] : {std::pair{60, FailureKind::VersionTooOld},
                                        std::pair{0, FailureKind::VersionTooOld},
                                        std::pair{70, FailureKind::VersionTooNew},
                                        std::pair{0xFFFF, FailureKind::VersionTooNew}}) {
        Bytes b = good;
        b[4] = static_cast<std::uint8_t>(version);
        b[5] = static_cast<std::uint8_t>(version >> 8);
        const PackageRead r = readPackage(b, "Pkg");
        ASSERT_TRUE(r.failure);
        EXPECT_EQ(r.failure->kind, kind);
        EXPECT_EQ(r.failure->value, version);
    }
    EXPECT_EQ(readPackage(Bytes{}, "Pkg").failure->kind, FailureKind::NotAPackage);
}

TEST(Container, ReadsEachVersionsLayout) {
    for (std::uint16_t version : {61, 62, 63, 64, 65, 66, 67, 68, 69}) {
        SCOPED_TRACE(version);
        OneMesh m = oneMeshPackage(MeshRecipe{}, version);
        const Package p = readOk(m.bytes);
        EXPECT_EQ(p.header.version, version);
        ASSERT_EQ(p.exports.size(), 1u);
        EXPECT_EQ(fullName(p, exportRef(0)), "Pkg.Thing");
        EXPECT_EQ(className(p, exportRef(0)), "LodMesh");
        EXPECT_EQ(fullName(p, p.exports[0].classRef), "Engine.LodMesh");
        EXPECT_EQ(p.header.generations.size(), version >= 68 ? 1u : 0u);
        const MeshRead r = readMesh(p, 0);
        ASSERT_FALSE(r.failure) << static_cast<int>(r.failure->kind) << " " << r.failure->detail << " at " << r.failure->offset << " v " << r.failure->value << " l " << r.failure->limit;
        const Mesh& mesh = *r.mesh;
        EXPECT_EQ(mesh.sphere.radius, version > 61 ? 7.5f : 0.0f) << "no radius up to 61";
        EXPECT_EQ(mesh.textureLod.size(), version >= 65 ? 1u : 0u);
        EXPECT_EQ(mesh.frameCount, 2);
        EXPECT_EQ(mesh.frameVerts, 7);
        EXPECT_EQ(mesh.vertCount, 14u);
    }
}

TEST(Container, GivesFullNamesThroughOuterChains) {
    PackageBuilder pkg;
    const std::int32_t group = pkg.addExport(0, "Skins", Bytes{}, 0);
    const std::int32_t sub = pkg.addExport(0, "Faces", Bytes{}, group);
    pkg.exports[0].classRef = pkg.engineClass("Package");
    pkg.exports[1].classRef = pkg.exports[0].classRef;
    const std::int32_t tex = pkg.addExport(pkg.engineClass("Texture"), "Face", Bytes{}, sub);
    const std::int32_t other = pkg.addImport("Core", "Package", 0, "DeusExItems");
    const std::int32_t otherGroup = pkg.addImport("Core", "Package", other, "Skins");
    const std::int32_t imported = pkg.addImport("Engine", "Texture", otherGroup, "Hands");
    const Package p = readOk(pkg.build());
    EXPECT_EQ(fullName(p, ObjectRef{tex}), "Pkg.Skins.Faces.Face");
    EXPECT_EQ(groupPath(p, ObjectRef{tex}), "Skins.Faces");
    EXPECT_EQ(fullName(p, ObjectRef{imported}), "DeusExItems.Skins.Hands");
    EXPECT_EQ(groupPath(p, ObjectRef{imported}), "Skins");
    EXPECT_EQ(className(p, ObjectRef{imported}), "Texture");
    EXPECT_EQ(fullName(p, ObjectRef{0}), "None");
    EXPECT_TRUE(importsDeusExPackage(p));
    EXPECT_TRUE(sameName("none", "NONE"));
    EXPECT_FALSE(sameName("None", "Non"));
}

TEST(Container, RefusesBrokenTables) {
    struct Case {
        const char* what;
        std::function<void(PackageBuilder&)> change;
        std::function<void(Bytes&)> damage;
        FailureKind kind;
    };
    const Case cases[] = {
        {"name count past the end", nullptr,
         [](Bytes& b) { b[12] = 0xFF, b[13] = 0xFF, b[14] = 0xFF; }, FailureKind::TableOutOfFile},
        {"export offset past the end", nullptr,
         [](Bytes& b) { b[27] = 0x7F; }, FailureKind::TableOutOfFile},
        {"import offset past the end", nullptr,
         [](Bytes& b) { b[35] = 0x7F; }, FailureKind::TableOutOfFile},
        {"generations past the end", nullptr,
         [](Bytes& b) { b[55] = 0x7F; }, FailureKind::TableOutOfFile},
        {"an export's name out of range",
         [](PackageBuilder& pkg) { pkg.exports[0].name = "Thing"; }, 
         [](Bytes& b) {
             // The name table's count one less: the last name is no longer there.
             b[12] = static_cast<std::uint8_t>(b[12] - 1);
         },
         FailureKind::NameOutOfRange},
        {"an outer that goes round", [](PackageBuilder& pkg) { pkg.exports[0].outer = 1; },
         nullptr, FailureKind::OuterLoop},
        {"an outer past the exports", [](PackageBuilder& pkg) { pkg.exports[0].outer = 5; },
         nullptr, FailureKind::ObjectRefOutOfRange},
        {"a class past the imports", [](PackageBuilder& pkg) { pkg.exports[0].classRef = -9; },
         nullptr, FailureKind::ObjectRefOutOfRange},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PackageBuilder pkg;
        pkg.addExport(pkg.engineClass("Palette"), "Thing", paletteData(pkg));
        if (c.change) {
            c.change(pkg);
        }
        Bytes b = pkg.build();
        if (c.damage) {
            c.damage(b);
        }
        const PackageRead r = readPackage(b, "Pkg");
        ASSERT_TRUE(r.failure);
        EXPECT_EQ(r.failure->kind, c.kind);
    }
}

TEST(Container, RefusesOuterChainsPast64Links) {
    for (const int depth : {64, 65}) {
        PackageBuilder pkg;
        const std::int32_t cls = pkg.engineClass("Package");
        std::int32_t outer = 0;
        for (int i = 0; i < depth; ++i) {
            std::string name = "G";
            name += std::to_string(i);
            outer = pkg.addExport(cls, name, Bytes{}, outer);
        }
        const Bytes b = pkg.build();
        const PackageRead r = readPackage(b, "Pkg");
        EXPECT_EQ(r.failure.has_value(), depth > 64) << depth;
        if (r.failure) {
            EXPECT_EQ(r.failure->kind, FailureKind::OuterLoop);
        }
    }
}

TEST(Container, ReadsNulTerminatedNamesBeforeVersion64AndRefusesOneWithoutItsNul) {
    PackageBuilder pkg;
    pkg.version = 63;
    pkg.tablesFirst = false; // the names end the file
    pkg.addExport(pkg.engineClass("Palette"), "Thing", paletteData(pkg));
    Bytes b = pkg.build();
    const Package p = readOk(b);
    EXPECT_EQ(nameAt(p, p.exports[0].objectName), "Thing");
    // Cut inside the last table: the import and export tables follow the names, so cut those
    // off and point the name table at the very end.
    Bytes cut(b.begin(), b.end() - 1);
    const PackageRead r = readPackage(cut, "Pkg");
    EXPECT_TRUE(r.failure);
}

// ---------------------------------------------------------------------------------------------
// Meshes.

TEST(LodMesh, ReadsEveryFieldAndRebuildsTheTriangles) {
    MeshRecipe recipe;
    OneMesh m = oneMeshPackage(recipe);
    const Package p = readOk(m.bytes);
    const MeshRead r = readMesh(p, 0);
    ASSERT_FALSE(r.failure);
    const Mesh& mesh = *r.mesh;
    EXPECT_TRUE(mesh.lod);
    EXPECT_EQ(mesh.form, VertexForm::Packed);
    EXPECT_EQ(mesh.name, "Thing");
    ASSERT_EQ(mesh.sequences.size(), 2u);
    EXPECT_EQ(nameAt(p, mesh.sequences[1].name), "Wave");
    EXPECT_EQ(nameAt(p, mesh.sequences[1].group), "Gestures");
    EXPECT_EQ(nameAt(p, mesh.sequences[0].group), "None");
    EXPECT_EQ(mesh.sequences[1].rate, 15.0f);
    ASSERT_EQ(mesh.sequences[1].notifies.size(), 1u);
    EXPECT_EQ(mesh.sequences[1].notifies[0].time, 0.5f);
    EXPECT_EQ(nameAt(p, mesh.sequences[1].notifies[0].function), "Boom");
    EXPECT_EQ(mesh.scale.z, 0.4f);
    EXPECT_EQ(mesh.origin.y, 2.0f);
    EXPECT_EQ(mesh.rotation.yaw, -60 * kExecRotationScale);
    EXPECT_EQ(mesh.rotation.roll, 151);
    EXPECT_EQ(mesh.frameBoxes.size(), 2u);
    EXPECT_EQ(mesh.orFlags, 0x100u);
    ASSERT_TRUE(mesh.lodData);
    const LodData& d = *mesh.lodData;
    EXPECT_EQ(d.specialVerts, 3);
    EXPECT_EQ(d.lodHysteresis, 0.25f);
    EXPECT_EQ(d.lodMinVerts, 10);
    EXPECT_EQ(d.specialFaces[0].fourth, 0x7FFF);
    ASSERT_EQ(mesh.textures.size(), 2u);
    EXPECT_EQ(mesh.textures[0].kind, ObjectLink::Kind::None);

    const TrianglesRead t = rebuildTriangles(mesh);
    EXPECT_TRUE(t.warnings.empty());
    ASSERT_EQ(t.triangles.size(), 3u);
    const Triangle& a = t.triangles[0];
    EXPECT_EQ(a.corner, (std::array<std::uint32_t, 3>{3, 4, 5})) << "wedge vertex + special";
    EXPECT_EQ(a.u, (std::array<std::uint8_t, 3>{10, 11, 12}));
    EXPECT_EQ(a.v, (std::array<std::uint8_t, 3>{20, 21, 22}));
    EXPECT_EQ(a.textureNumber, 0);
    EXPECT_EQ(a.typeByte, 1);
    const Triangle& b = t.triangles[1];
    EXPECT_EQ(b.corner, (std::array<std::uint32_t, 3>{3, 5, 6}));
    EXPECT_EQ(b.textureNumber, 1);
    EXPECT_EQ(b.typeByte, 0x13) << "masked and unlit";
    const Triangle& w = t.triangles[2];
    EXPECT_EQ(w.corner, (std::array<std::uint32_t, 3>{0, 1, 2})) << "special vertices directly";
    EXPECT_EQ(w.typeByte, kWeaponTypeByte);
    EXPECT_FALSE(w.hasCoordinates);
    EXPECT_EQ(w.u, (std::array<std::uint8_t, 3>{}));

    for (std::uint32_t f = 0; f < 2; ++f) {
        for (std::uint32_t k = 0; k < 7; ++k) {
            const VertexValues v = vertexValues(mesh, f, k);
            ASSERT_EQ(v.word, packedWord(f, k));
            EXPECT_EQ(v.x, static_cast<std::int32_t>((k * 7 + f) & 0x7FF) -
                               (((k * 7 + f) & 0x400) ? 0x800 : 0));
            EXPECT_EQ(v.y, -static_cast<std::int32_t>(k) - 1) << "0x7FF - k as 11 signed bits";
        }
    }
}

TEST(LodMesh, MapsCornersThroughTheRemapOfAnimationVertices) {
    MeshRecipe recipe;
    recipe.remap = {6, 5, 4, 3, 2, 1, 0};
    OneMesh m = oneMeshPackage(recipe, 68);
    const MeshRead r = readMesh(readOk(m.bytes), 0);
    ASSERT_FALSE(r.failure);
    const TrianglesRead t = rebuildTriangles(*r.mesh);
    ASSERT_EQ(t.triangles.size(), 3u);
    EXPECT_EQ(t.triangles[0].corner, (std::array<std::uint32_t, 3>{3, 2, 1}));
    EXPECT_EQ(t.triangles[2].corner, (std::array<std::uint32_t, 3>{6, 5, 4})) << "special too";
    EXPECT_EQ(vertexValues(*r.mesh, 1, 2).word, packedWord(1, 2)) << "vertices stay as stored";
}

TEST(LodMesh, TellsDeusExVerticesFromTheArrayAndIgnoresTheirPad) {
    MeshRecipe recipe;
    recipe.wide = true;
    OneMesh m = oneMeshPackage(recipe, 68);
    const MeshRead r = readMesh(readOk(m.bytes), 0);
    ASSERT_FALSE(r.failure);
    EXPECT_EQ(r.mesh->form, VertexForm::Wide);
    EXPECT_EQ(r.mesh->verts.size(), 14u * 8);
    const VertexValues v = vertexValues(*r.mesh, 1, 3);
    EXPECT_EQ(v.x, 301);
    EXPECT_EQ(v.y, -3);
    EXPECT_EQ(v.z, -19999);
    EXPECT_EQ(v.word, 1471u);
    EXPECT_EQ(vertexBytes(*r.mesh, 1, 3).size(), 8u);
}

TEST(LodMesh, AnEmptyVertexArrayNeedsAClue) {
    MeshRecipe recipe;
    recipe.emptyVerts = true;
    // Version 69 is never Deus Ex: packed.
    {
        OneMesh m = oneMeshPackage(recipe, 69);
        const MeshRead r = readMesh(readOk(m.bytes), 0);
        ASSERT_FALSE(r.failure) << static_cast<int>(r.failure->kind);
        EXPECT_EQ(r.mesh->form, VertexForm::Packed);
        EXPECT_TRUE(rebuildTriangles(*r.mesh).triangles.empty());
    }
    // Version 68 with an import of Deus Ex's own packages: 8-byte vertices.
    {
        PackageBuilder pkg;
        pkg.version = 68;
        pkg.addImport("Core", "Package", 0, "DeusExItems");
        pkg.addExport(pkg.engineClass("LodMesh"), "Thing", [&pkg, recipe](std::uint64_t base) {
            return meshData(recipe, 68, base, pkg);
        });
        const MeshRead r = readMesh(readOk(pkg.build()), 0);
        ASSERT_FALSE(r.failure) << static_cast<int>(r.failure->kind);
        EXPECT_EQ(r.mesh->form, VertexForm::Wide);
    }
    // Version 68 without: the form cannot be told.
    {
        OneMesh m = oneMeshPackage(recipe, 68);
        const MeshRead r = readMesh(readOk(m.bytes), 0);
        ASSERT_TRUE(r.failure);
        EXPECT_EQ(r.failure->kind, FailureKind::UnknownVertexForm);
        EXPECT_EQ(r.failure->object, "Pkg.Thing");
    }
}

TEST(Mesh, APlainMeshsTrianglesAreItsTris) {
    MeshRecipe recipe;
    recipe.lod = false;
    recipe.materialFlags = {0x101, 0x1000 | 0x800};
    OneMesh m = oneMeshPackage(recipe);
    const MeshRead r = readMesh(readOk(m.bytes), 0);
    ASSERT_FALSE(r.failure);
    EXPECT_FALSE(r.mesh->lodData);
    const TrianglesRead t = rebuildTriangles(*r.mesh);
    ASSERT_EQ(t.triangles.size(), 2u);
    EXPECT_EQ(t.triangles[0].typeByte, kWeaponTypeByte) << "a plain mesh keeps its weapon triangle";
    EXPECT_TRUE(t.triangles[0].hasCoordinates);
    EXPECT_EQ(t.triangles[1].typeByte, 0x80);
    ASSERT_EQ(t.warnings.size(), 1u) << "0x1000 has no row";
    EXPECT_EQ(t.warnings[0].kind, WarningKind::UnmappedPolygonFlags);
    EXPECT_EQ(t.warnings[0].limit, 0x1000);
    EXPECT_EQ(t.warnings[0].offset, 1u);
    EXPECT_EQ(t.warnings[0].object, "Pkg.Thing");
}

TEST(Mesh, RefusesWhatIsNoVertexMeshByName) {
    for (const char* cls : {"SkeletalMesh", "StaticMesh"}) {
        PackageBuilder pkg;
        pkg.addExport(pkg.engineClass(cls), "Bones", Bytes{0, 1, 2});
        const Package p = readOk(pkg.build());
        const Contents c = readContents(p);
        ASSERT_EQ(c.failures.size(), 1u);
        EXPECT_EQ(c.failures[0].kind, FailureKind::NotAVertexMesh);
        EXPECT_EQ(c.failures[0].detail, cls);
        EXPECT_EQ(c.failures[0].object, "Pkg.Bones");
    }
}

TEST(Mesh, RefusesMeshesOfLicensee227) {
    OneMesh m = oneMeshPackage(MeshRecipe{});
    m.bytes[6] = 227;
    const MeshRead r = readMesh(readOk(m.bytes), 0);
    ASSERT_TRUE(r.failure);
    EXPECT_EQ(r.failure->kind, FailureKind::Licensee227Mesh);
}

TEST(Mesh, RefusesARunningState) {
    PackageBuilder pkg;
    MeshRecipe recipe;
    pkg.addExport(pkg.engineClass("LodMesh"), "Thing",
                  [&pkg, recipe](std::uint64_t base) { return meshData(recipe, 69, base, pkg); }, 0,
                  kObjectFlagHasStack);
    const MeshRead r = readMesh(readOk(pkg.build()), 0);
    ASSERT_TRUE(r.failure);
    EXPECT_EQ(r.failure->kind, FailureKind::RunningState);
}

// Damage to a mesh's data, each refused by name.
TEST(Mesh, RefusesDamagedData) {
    struct Case {
        const char* what;
        std::function<void(MeshRecipe&)> recipe;
        std::function<void(Bytes&)> data; // on the object's bytes, made for offset `base`
        FailureKind kind;
    };
    const Case cases[] = {
        {"a byte after the last field", nullptr, [](Bytes& d) { d.push_back(0); },
         FailureKind::FieldsEndEarly},
        {"the last field cut short", nullptr, [](Bytes& d) { d.pop_back(); },
         FailureKind::Truncated},
        {"a lazy array's end one past its items", nullptr,
         [](Bytes& d) { ++d[1 + 25 + 16]; }, FailureKind::UnknownVertexForm},
        {"a lazy array of known items whose end is one past them",
         [](MeshRecipe& s) { s.lod = false; },
         // The Tris array's end: after None, box, sphere and 2 frames of 4 packed vertices.
         [](Bytes& d) { ++d[1 + 25 + 16 + 4 + 1 + 8 * 4]; }, FailureKind::LazyArrayEnd},
        {"wedge vertex past the model vertices", [](MeshRecipe& s) { s.modelVerts = 3; }, nullptr,
         FailureKind::MeshIndexOutOfRange},
        {"a remap shorter than a frame", [](MeshRecipe& s) { s.remap = {0, 1}; }, nullptr,
         FailureKind::MeshCounts},
        {"a remap past the frame", [](MeshRecipe& s) { s.remap = {0, 1, 2, 3, 4, 5, 7}; }, nullptr,
         FailureKind::MeshIndexOutOfRange},
        {"a face's material past the materials",
         [](MeshRecipe& s) { s.materialFlags = {0x100}; }, nullptr,
         FailureKind::MeshIndexOutOfRange},
        {"a texture slot past the imports", [](MeshRecipe& s) { s.textureSlotRef = -40; }, nullptr,
         FailureKind::ObjectRefOutOfRange},
        {"vertices that are not frames x vertices", [](MeshRecipe& s) { s.frameCountDelta = 1; },
         nullptr, FailureKind::MeshCounts},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MeshRecipe recipe;
        if (c.recipe) {
            c.recipe(recipe);
        }
        PackageBuilder pkg;
        auto damage = c.data;
        pkg.addExport(pkg.engineClass("LodMesh"), "Thing", [&pkg, recipe, damage](std::uint64_t base) {
            Bytes d = meshData(recipe, 69, base, pkg);
            if (damage) {
                damage(d);
            }
            return d;
        });
        const MeshRead r = readMesh(readOk(pkg.build()), 0);
        ASSERT_TRUE(r.failure);
        EXPECT_EQ(r.failure->kind, c.kind) << r.failure->detail;
        EXPECT_EQ(r.failure->object, "Pkg.Thing");
    }
}

// ---------------------------------------------------------------------------------------------
// Properties.

PropertyList propertiesOf(PackageBuilder& pkg, const Bytes& props, Package& out,
                          std::optional<Failure>& failure) {
    pkg.addExport(pkg.engineClass("Palette"), "Thing", props);
    out = readOk(pkg.build());
    PropertiesRead r = readObjectProperties(out, 0);
    failure = r.failure;
    return r.list;
}

TEST(Properties, ReadsEverySizeCodeAndArrayIndexForm) {
    PackageBuilder pkg;
    PropertyWriter w{pkg, {}};
    Bytes four;
    put32(four, 0x11223344);
    w.raw("A", 0x02, {7});                             // code 0: 1 byte
    w.raw("B", 0x12, {1, 2});                          // code 1: 2 bytes
    w.raw("C", 0x22, four);                            // code 2: 4 bytes
    w.raw("D", 0x3B, Bytes(12, 9));                    // code 3: 12 bytes (a vector)
    w.raw("E", 0x4A, [] {                              // code 4: 16 bytes, a struct
        Bytes b;
        b.push_back(0); // struct name: index 0 ("None" here; any name)
        b.insert(b.end(), 16, 3);
        return b;
    }());
    w.raw("F", 0x57, {3, 'a', 'b', 0});                // code 5: a byte of size
    w.raw("G", 0x67, {3, 0, 'c', 'd', 0});             // code 6: a uint16 size
    w.raw("H", 0x77, {3, 0, 0, 0, 'e', 'f', 0});       // code 7: a uint32 size
    w.raw("I", 0x82, {0x05, 1});                       // array index in one byte
    w.raw("J", 0x82, {0x81, 0x02, 1});                 // two bytes: 0x102
    w.raw("K", 0x82, {0xC1, 0x02, 0x03, 0x04, 1});     // four bytes: 0x1020304
    w.boolean("L", true);
    w.boolean("M", false);
    Package p;
    std::optional<Failure> failure;
    const PropertyList list = propertiesOf(pkg, w.end(), p, failure);
    ASSERT_FALSE(failure) << static_cast<int>(failure->kind);
    ASSERT_EQ(list.items.size(), 13u);
    const std::uint32_t sizes[] = {1, 2, 4, 12, 16, 3, 3, 3, 1, 1, 1, 0, 0};
    for (std::size_t i = 0; i < 13; ++i) {
        EXPECT_EQ(list.items[i].size, sizes[i]) << i;
        EXPECT_EQ(list.items[i].value.size(), sizes[i]) << i;
    }
    EXPECT_EQ(intValue(list.items[2]), 0x11223344);
    EXPECT_EQ(list.items[4].type, PropertyType::Struct);
    EXPECT_EQ(list.items[4].structName, 0);
    EXPECT_EQ(list.items[8].arrayIndex, 5u);
    EXPECT_EQ(list.items[9].arrayIndex, 0x102u);
    EXPECT_EQ(list.items[10].arrayIndex, 0x1020304u);
    EXPECT_TRUE(list.items[11].boolValue);
    EXPECT_FALSE(list.items[12].boolValue);
    EXPECT_EQ(findProperty(p, list, "k", 0x1020304), &list.items[10]);
    EXPECT_EQ(findProperty(p, list, "K", 0), nullptr);
}

TEST(Properties, RefusesASizePastTheObjectAndNamesOutOfRange) {
    struct Case {
        const char* what;
        Bytes props;
        FailureKind kind;
    };
    PackageBuilder pkg;
    const std::int32_t a = pkg.name("A");
    const Case cases[] = {
        {"a size past the object", {static_cast<std::uint8_t>(a), 0x57, 200, 1, 2},
         FailureKind::PropertyPastObject},
        {"a name past the table", {0x3F}, FailureKind::NameOutOfRange},
        {"type 0", {static_cast<std::uint8_t>(a), 0x00, 0}, FailureKind::BadProperty},
        {"no None at the end", {static_cast<std::uint8_t>(a), 0x02, 1}, FailureKind::Truncated},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PackageBuilder each;
        each.name("A");
        Package p;
        std::optional<Failure> failure;
        propertiesOf(each, c.props, p, failure);
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->kind, c.kind);
    }
}

// ---------------------------------------------------------------------------------------------
// Textures and palettes.

struct OneTexture {
    PackageBuilder pkg;
    Bytes bytes;
};

OneTexture texturePackage(std::uint16_t version,
                          const std::function<void(PropertyWriter&, std::int32_t)>& props,
                          std::uint32_t w = 8, std::uint32_t h = 4, std::uint32_t mips = 3,
                          std::uint32_t bytesPerPixel = 1) {
    OneTexture t;
    t.pkg.version = version;
    const std::int32_t group = t.pkg.addExport(t.pkg.engineClass("Package"), "Skins", Bytes{});
    const std::int32_t palette =
        t.pkg.addExport(t.pkg.engineClass("Palette"), "Pal", paletteData(t.pkg), group);
    t.pkg.addExport(
        t.pkg.engineClass("Texture"), "Tex",
        [&t, version, props, palette, w, h, mips, bytesPerPixel](std::uint64_t base) {
            return textureData(
                t.pkg, version, base, [&](PropertyWriter& pw) { props(pw, palette); }, w, h, mips,
                bytesPerPixel);
        },
        group);
    t.bytes = t.pkg.build();
    return t;
}

TEST(Texture, SuppliesTheDefaultsOfPropertiesThatAreNotWritten) {
    OneTexture t = texturePackage(69, [](PropertyWriter& w, std::int32_t pal) {
        w.object("Palette", pal);
        w.intValue("USize", 8);
        w.intValue("VSize", 4);
        w.byteValue("UBits", 3);
        w.byteValue("VBits", 2);
        w.boolean("bMasked", true);
    });
    const Package p = readOk(t.bytes);
    const Contents c = readContents(p);
    ASSERT_TRUE(c.failures.empty());
    ASSERT_EQ(c.textures.size(), 1u);
    const Texture& tex = c.textures[0];
    EXPECT_EQ(tex.format, PixelFormat::P8) << "no Format property: the default";
    EXPECT_FALSE(tex.hasComp);
    EXPECT_TRUE(tex.surface.masked);
    EXPECT_FALSE(tex.surface.translucent);
    EXPECT_EQ(tex.uSize, 8);
    EXPECT_EQ(tex.vBits, 2);
    EXPECT_EQ(tex.group, "Skins");
    EXPECT_EQ(tex.fullName, "Pkg.Skins.Tex");
    ASSERT_EQ(tex.mips.size(), 3u);
    EXPECT_EQ(tex.mips[2].width, 2);
    EXPECT_EQ(tex.mips[2].height, 1);
    EXPECT_EQ(tex.mips[0].pixels.size(), 32u);
    EXPECT_EQ(tex.mips[0].pixels[1], 13);
    ASSERT_EQ(tex.palette.kind, ObjectLink::Kind::Export);
    const Palette* pal = paletteOf(c, tex);
    ASSERT_NE(pal, nullptr);
    EXPECT_EQ(pal->rgba[4 * 7 + 0], 7);
    EXPECT_EQ(pal->rgba[4 * 7 + 1], 248);
    EXPECT_EQ(pal->rgba[4 * 7 + 3], 0) << "alpha as stored from version 66";
    EXPECT_TRUE(c.warnings.empty());
}

TEST(Texture, PaletteAlphaBelowVersion66IsOpaque) {
    OneTexture t = texturePackage(65, [](PropertyWriter& w, std::int32_t pal) {
        w.object("Palette", pal);
    });
    const Contents c = readContents(readOk(t.bytes));
    ASSERT_EQ(c.palettes.size(), 1u);
    EXPECT_EQ(c.palettes[0].rgba[3], 255);
    EXPECT_EQ(c.palettes[0].stored[3], 0);
    EXPECT_EQ(c.palettes[0].rgba[4 * 9], 9);
}

TEST(Texture, WarnsOfAnImportedPaletteNoPaletteAndNoMips) {
    {
        PackageBuilder pkg;
        const std::int32_t other = pkg.addImport("Core", "Package", 0, "OtherPkg");
        const std::int32_t pal = pkg.addImport("Engine", "Palette", other, "TheirPal");
        pkg.addExport(pkg.engineClass("Texture"), "Tex", [&pkg, pal](std::uint64_t base) {
            return textureData(pkg, 69, base, [pal](PropertyWriter& w) { w.object("Palette", pal); },
                               4, 4, 0);
        });
        const Contents c = readContents(readOk(pkg.build()));
        ASSERT_EQ(c.textures.size(), 1u);
        ASSERT_EQ(c.warnings.size(), 2u);
        EXPECT_EQ(c.warnings[0].kind, WarningKind::NoMips);
        EXPECT_EQ(c.warnings[1].kind, WarningKind::ImportedPalette);
        EXPECT_EQ(c.warnings[1].detail, "OtherPkg.TheirPal");
        EXPECT_EQ(paletteOf(c, c.textures[0]), nullptr);
    }
    {
        OneTexture t = texturePackage(69, [](PropertyWriter&, std::int32_t) {});
        const Contents c = readContents(readOk(t.bytes));
        ASSERT_EQ(c.warnings.size(), 1u);
        EXPECT_EQ(c.warnings[0].kind, WarningKind::NoPalette);
        EXPECT_EQ(c.warnings[0].object, "Pkg.Skins.Tex");
    }
}

TEST(Texture, ReadsTheCompressedCopyAfterTheMips) {
    PackageBuilder pkg;
    pkg.addExport(pkg.engineClass("Texture"), "Tex", [&pkg](std::uint64_t base) {
        Bytes b = textureData(
            pkg, 69, base,
            [](PropertyWriter& w) {
                w.boolean("bHasComp", true);
                w.byteValue("CompFormat", 3);
            },
            8, 8, 1);
        // One DXT1 mip of 8 x 8: four blocks.
        putCompact(b, 1);
        put32(b, static_cast<std::uint32_t>(base + b.size() + 4 + 1 + 32));
        putCompact(b, 32);
        b.insert(b.end(), 32, 0x55);
        put32(b, 8);
        put32(b, 8);
        put8(b, 3);
        put8(b, 3);
        return b;
    });
    const TextureRead r = readTexture(readOk(pkg.build()), 0);
    ASSERT_FALSE(r.failure) << static_cast<int>(r.failure->kind);
    EXPECT_TRUE(r.texture->hasComp);
    EXPECT_EQ(r.texture->compFormat, PixelFormat::Dxt1);
    ASSERT_EQ(r.texture->compMips.size(), 1u);
    EXPECT_EQ(r.texture->compMips[0].pixels.size(), 32u);
}

TEST(Texture, RefusesFormatsThePatchesDisagreeOnAndMipsThatDoNotFit) {
    struct Case {
        const char* what;
        std::function<void(PropertyWriter&, std::int32_t)> props;
        std::uint32_t bytesPerPixel;
        FailureKind kind;
    };
    const Case cases[] = {
        {"format 1", [](PropertyWriter& w, std::int32_t) { w.byteValue("Format", 1); }, 1,
         FailureKind::UnsupportedFormat},
        {"format 2", [](PropertyWriter& w, std::int32_t) { w.byteValue("Format", 2); }, 1,
         FailureKind::UnsupportedFormat},
        {"format 19", [](PropertyWriter& w, std::int32_t) { w.byteValue("Format", 19); }, 1,
         FailureKind::UnsupportedFormat},
        {"a compressed format 25",
         [](PropertyWriter& w, std::int32_t) {
             w.boolean("bHasComp", true);
             w.byteValue("CompFormat", 25);
         },
         1, FailureKind::UnsupportedFormat},
        {"RGBA8 mips of one byte a pixel",
         [](PropertyWriter& w, std::int32_t) { w.byteValue("Format", 5); }, 1,
         FailureKind::MipSize},
        {"P8 mips of four bytes a pixel", [](PropertyWriter&, std::int32_t) {}, 4,
         FailureKind::MipSize},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        OneTexture t = texturePackage(69, c.props, 8, 4, 2, c.bytesPerPixel);
        const TextureRead r = readTexture(readOk(t.bytes), 2);
        ASSERT_TRUE(r.failure);
        EXPECT_EQ(r.failure->kind, c.kind);
        EXPECT_EQ(r.failure->object, "Pkg.Skins.Tex");
    }
}

TEST(Texture, RefusesAMipWhoseEndDisagreesAndAPaletteOfAnotherSize) {
    OneTexture t = texturePackage(69, [](PropertyWriter&, std::int32_t) {});
    Package p = readOk(t.bytes);
    // The first mip's end offset, just after the closing None of the properties.
    Bytes damaged = t.bytes;
    const std::size_t at = p.exports[2].serialOffset + 2; // after None and the mip count
    ++damaged[at];
    const TextureRead r = readTexture(readOk(damaged), 2);
    ASSERT_TRUE(r.failure);
    EXPECT_EQ(r.failure->kind, FailureKind::MipEnd);

    PackageBuilder pkg;
    pkg.addExport(pkg.engineClass("Palette"), "Pal", paletteData(pkg, 255));
    const PaletteRead pr = readPalette(readOk(pkg.build()), 0);
    ASSERT_TRUE(pr.failure);
    EXPECT_EQ(pr.failure->kind, FailureKind::PaletteSize);
    EXPECT_EQ(pr.failure->value, 255);
}

TEST(Texture, MipByteCountsRoundBlocksUp) {
    EXPECT_EQ(mipByteCount(PixelFormat::Dxt1, 1, 1), 8u);
    EXPECT_EQ(mipByteCount(PixelFormat::Dxt1, 5, 4), 16u);
    EXPECT_EQ(mipByteCount(PixelFormat::Bc3, 2, 2), 16u);
    EXPECT_EQ(mipByteCount(PixelFormat::Bc3, 8, 9), 2u * 3 * 16);
    EXPECT_EQ(mipByteCount(PixelFormat::P8, 7, 3), 21u);
    EXPECT_EQ(mipByteCount(PixelFormat::Rgb8, 2, 2), 12u);
    EXPECT_EQ(mipByteCount(PixelFormat::Rgba32, 2, 1), 32u);
    EXPECT_EQ(mipByteCount(PixelFormat::P8, 0x7FFFFFFF, 0x7FFFFFFF),
              std::uint64_t{0x7FFFFFFF} * 0x7FFFFFFF) << "64-bit, no wrap";
    EXPECT_FALSE(knownPixelFormat(1));
    EXPECT_FALSE(knownPixelFormat(2));
    EXPECT_TRUE(knownPixelFormat(18));
    EXPECT_FALSE(knownPixelFormat(19));
}

// ---------------------------------------------------------------------------------------------
// The polygon-flag table: every row, both ways.

TEST(PolygonFlags, EachRowOfTheTable) {
    struct Row {
        std::uint8_t type;
        std::uint32_t flags;
    };
    const Row rows[] = {
        {0x00, 0x000},    {0x01, 0x100},      {0x02, 0x104},     {0x03, 0x102},
        {0x04, 0x140},    {0x08, 0x101},      {0x10, 0x400000},  {0x20, 0x4000},
        {0x40, 0x10},     {0x80, 0x800},      {0x12, 0x400104},  {0x14, 0x400140},
        {0xF3, 0x102 | 0x400000 | 0x4000 | 0x10 | 0x800},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.type);
        const PolygonType t = polygonTypeOf(r.flags);
        EXPECT_EQ(t.typeByte, r.type);
        EXPECT_EQ(t.unmappedBits, 0u);
        EXPECT_EQ(polygonFlagsOf(r.type), r.flags);
    }
}

TEST(PolygonFlags, ReportsBitsNoRowHolds) {
    const PolygonType a = polygonTypeOf(0x1000 | 0x100);
    EXPECT_EQ(a.typeByte, 1);
    EXPECT_EQ(a.unmappedBits, 0x1000u);
    const PolygonType b = polygonTypeOf(0x004); // translucent without two-sided
    EXPECT_EQ(b.typeByte, 0);
    EXPECT_EQ(b.unmappedBits, 0x4u);
    const PolygonType c = polygonTypeOf(0x106); // translucent and masked at once
    EXPECT_EQ(c.typeByte, 2);
    EXPECT_EQ(c.unmappedBits, 0x2u);
    EXPECT_EQ(polygonTypeOf(0xFFFFFFFF).unmappedBits != 0, true);
    EXPECT_EQ(polygonFlagsOf(0x05), 0u) << "a base type with no row";
}


// ---------------------------------------------------------------------------------------------
// Damaged packages: every cut of a small one is refused (or reads what is whole), never a crash.

void readEverything(const Bytes& b) {
    const PackageRead r = readPackage(b, "Pkg");
    if (!r.package) {
        ASSERT_TRUE(r.failure);
        return;
    }
    const Contents c = readContents(*r.package);
    for (const Mesh& m : c.meshes) {
        const TrianglesRead t = rebuildTriangles(m);
        for (const Triangle& tri : t.triangles) {
            for (std::uint32_t k : tri.corner) {
                ASSERT_LT(k, static_cast<std::uint32_t>(m.frameVerts));
                vertexValues(m, static_cast<std::uint32_t>(m.frameCount - 1), k);
            }
        }
    }
}

TEST(Damaged, EveryTruncationOfASmallPackage) {
    for (bool tablesFirst : {true, false}) {
        PackageBuilder pkg;
        pkg.tablesFirst = tablesFirst;
        MeshRecipe recipe;
        pkg.addExport(pkg.engineClass("LodMesh"), "Thing",
                      [&pkg, recipe](std::uint64_t base) { return meshData(recipe, 69, base, pkg); });
        const std::int32_t pal = pkg.addExport(pkg.engineClass("Palette"), "Pal", paletteData(pkg));
        pkg.addExport(pkg.engineClass("Texture"), "Tex", [&pkg, pal](std::uint64_t base) {
            return textureData(pkg, 69, base, [pal](PropertyWriter& w) { w.object("Palette", pal); },
                               8, 8, 4);
        });
        const Bytes whole = pkg.build();
        {
            const Contents c = readContents(readOk(whole));
            ASSERT_TRUE(c.failures.empty());
            ASSERT_EQ(c.meshes.size(), 1u);
            ASSERT_EQ(c.textures.size(), 1u);
        }
        for (std::size_t n = 0; n < whole.size(); ++n) {
            const Bytes cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(n));
            const PackageRead r = readPackage(cut, "Pkg");
            if (r.package) {
                // The tables survived: then some object lies past the end and is refused.
                const Contents c = readContents(*r.package);
                EXPECT_FALSE(c.failures.empty()) << n;
                for (const Failure& f : c.failures) {
                    EXPECT_FALSE(f.object.empty());
                }
            }
            readEverything(cut);
        }
    }
}

// Every byte of a small package set to a few values: the reader refuses or reads, safely.
TEST(Damaged, EveryByteChanged) {
    PackageBuilder pkg;
    MeshRecipe recipe;
    recipe.remap = {0, 1, 2, 3, 4, 5, 6};
    pkg.addExport(pkg.engineClass("LodMesh"), "Thing",
                  [&pkg, recipe](std::uint64_t base) { return meshData(recipe, 68, base, pkg); });
    pkg.version = 68;
    const Bytes whole = pkg.build();
    for (std::size_t i = 0; i < whole.size(); ++i) {
        for (std::uint8_t v : {0x00, 0x7F, 0x80, 0xFF}) {
            Bytes b = whole;
            b[i] = v;
            readEverything(b);
        }
    }
}

} // namespace
} // namespace meshfold::package
