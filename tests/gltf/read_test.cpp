#include "meshfold/bridge/game_mesh.h"
#include "meshfold/game/format.h"
#include "meshfold/gltf/gltf_common.h"
#include "meshfold/gltf/read/gltf_read.h"
#include "gltf_builder.h"
#include "reference_image.h"
#include "support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace meshfold {
namespace {

TEST(GltfRead, AQuadKeepsItsVerticesSwapsYAndZAndStoresCornersACB) {
    Quad q;
    const GltfRead r = read(q.g.file(q.mesh("0", ",\"translation\":[0,0,2]") +
                                     ",\"materials\":[{\"name\":\"004_2SIDED_UNLIT_Cube\"}]"));
    ASSERT_EQ(r.failure.problem, GltfProblem::None) << r.failure.detail;
    ASSERT_EQ(r.vertexCount, 4u);
    ASSERT_EQ(r.frameCount, 1u);
    EXPECT_EQ(at(r, 0, 2), (std::array<float, 3>{0, 2, 1})); // glTF (0, 1, 2): X = x, Y = z, Z = y
    ASSERT_EQ(r.triangles.size(), 2u);
    const GltfTriangle& t = r.triangles[0];
    EXPECT_EQ(t.vertex[0], 0u);
    EXPECT_EQ(t.vertex[1], 2u);
    EXPECT_EQ(t.vertex[2], 1u);
    // Corners with their own coordinates: u of 1 is 255, 0.5 is 128.
    EXPECT_EQ(t.u[1], 128);
    EXPECT_EQ(t.v[1], 255);
    EXPECT_EQ(t.u[2], 255);
    EXPECT_EQ(t.attr[0], 0x11); // _2SIDED | _UNLIT
    EXPECT_EQ(t.attr[2], 4);
    // (1.25, -0.25) tiles to (0.25, 0.75): 64, 192; counted in a warning.
    EXPECT_EQ(r.triangles[1].u[1], 64); // glTF (2, 1, 3) stored (2, 3, 1)
    EXPECT_EQ(r.triangles[1].v[1], 192);
    ASSERT_EQ(r.warnings.size(), 1u);
    EXPECT_NE(r.warnings[0].find("2 texture coordinate"), std::string::npos);
}

TEST(GltfRead, MaterialsWithoutACodeTakeTheirIndexAndNoMaterialIsZero) {
    Quad q;
    std::string mats = ",\"materials\":[{\"name\":\"a\"},{\"name\":\"b\"},{\"name\":\"Skin\"}]";
    EXPECT_EQ(read(q.g.file(q.mesh("2") + mats)).triangles[0].attr[2], 2);
    const GltfRead none = read(q.g.file(q.mesh("-1")));
    EXPECT_EQ(none.triangles[0].attr[2], 0);
    EXPECT_EQ(none.triangles[0].attr[0], 0);
}

TEST(GltfRead, VerticesAtOnePositionInEveryFrameBecomeOne) {
    Glb g;
    const int pos = g.floats({0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 0, 0, 0, 1, 0, 5, 5, 5}, "VEC3", 3);
    const int idx = g.indices({0, 1, 2, 3, 5, 4});
    const GltfRead r = read(g.file(",\"nodes\":[{\"mesh\":0}],\"meshes\":[{\"primitives\":[{\"attributes\":{"
                                   "\"POSITION\":" + std::to_string(pos) + "},\"indices\":" +
                                   std::to_string(idx) + "}]}]"));
    ASSERT_EQ(r.failure.problem, GltfProblem::None) << r.failure.detail;
    EXPECT_EQ(r.vertexCount, 4u);
    EXPECT_EQ(r.triangles[1].vertex[0], 1u); // glTF 3 is vertex 1
    EXPECT_EQ(r.triangles[1].vertex[1], 2u); // glTF 4
    EXPECT_EQ(r.triangles[1].vertex[2], 3u); // glTF 5, the first new position
}

TEST(GltfRead, StripsAndFansBecomeTrianglesAndPointsAreSkippedWithAWarning) {
    struct Case {
        int mode;
        std::size_t triangles;
        std::uint32_t first[3]; // stored corners of the first triangle
        std::uint32_t second[3];
    };
    const Case cases[] = {
        {5, 3, {0, 2, 1}, {1, 2, 3}}, // strip: (0,1,2) (1,3,2) (2,3,4)
        {6, 3, {1, 0, 2}, {2, 0, 3}}, // fan: (1,2,0) (2,3,0) (3,4,0)
    };
    for (const Case& c : cases) {
        Glb g;
        const int pos = g.floats({0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 1, 0, 2, 2, 0}, "VEC3", 3);
        const GltfRead r = read(g.file(",\"nodes\":[{\"mesh\":0}],\"meshes\":[{\"primitives\":[{\"attributes\":{"
                                       "\"POSITION\":" + std::to_string(pos) + "},\"mode\":" +
                                       std::to_string(c.mode) + "},{\"attributes\":{\"POSITION\":" +
                                       std::to_string(pos) + "},\"mode\":0}]}]"));
        ASSERT_EQ(r.failure.problem, GltfProblem::None) << c.mode;
        ASSERT_EQ(r.triangles.size(), c.triangles) << c.mode;
        for (int k = 0; k < 3; ++k) {
            EXPECT_EQ(r.triangles[0].vertex[k], c.first[k]) << c.mode;
            EXPECT_EQ(r.triangles[1].vertex[k], c.second[k]) << c.mode;
        }
        ASSERT_EQ(r.warnings.size(), 1u);
        EXPECT_NE(r.warnings[0].find("points or lines"), std::string::npos);
    }
}

// An animation of node 0's `path` with `values`, at key times `times`.
std::string animation(Glb& g, const char* path, const std::vector<float>& times,
                      const std::vector<float>& values, const char* type, int per,
                      const char* interpolation = "LINEAR") {
    const int in = g.floats(times, "SCALAR", 1);
    const int out = g.floats(values, type, per);
    return ",\"animations\":[{\"name\":\"Bend\",\"channels\":[{\"sampler\":0,\"target\":{\"node\":0,\"path\":\"" +
           std::string(path) + "\"}}],\"samplers\":[{\"input\":" + std::to_string(in) + ",\"output\":" +
           std::to_string(out) + ",\"interpolation\":\"" + interpolation + "\"}]}]";
}

TEST(GltfRead, AnimationsAreSampledFromFirstToLastKeyTheLastKeyAlwaysAFrame) {
    struct Case {
        const char* interpolation;
        float keyEnd;
        unsigned fps;
        std::uint32_t frames;
        float zOfVertex0AtFrame1; // the translation's y at 1/fps
    };
    const Case cases[] = {
        {"LINEAR", 1.0f, 4, 5, 0.5f},  // 0, 0.25 ... 1
        {"STEP", 1.0f, 4, 5, 0.0f},
        {"LINEAR", 0.9f, 2, 3, 1.0f / 0.9f}, // 0, 0.5, then the last key 0.9
    };
    for (const Case& c : cases) {
        Quad q;
        const std::string anim = animation(q.g, "translation", {0, c.keyEnd}, {0, 0, 0, 0, 2, 0}, "VEC3", 3,
                                           c.interpolation);
        const GltfRead r = read(q.g.file(q.mesh("-1") + anim), c.fps);
        ASSERT_EQ(r.failure.problem, GltfProblem::None) << r.failure.detail;
        EXPECT_EQ(r.frameCount, c.frames) << c.interpolation;
        EXPECT_NEAR(at(r, 1, 0)[2], c.zOfVertex0AtFrame1, 1e-6) << c.interpolation;
        EXPECT_NEAR(at(r, c.frames - 1, 0)[2], 2.0, 1e-6);
        ASSERT_EQ(r.sequences.size(), 1u);
        EXPECT_EQ(r.sequences[0].name, "Bend");
        EXPECT_EQ(r.sequences[0].frameCount, c.frames);
    }
}

TEST(GltfRead, RotationsTurnAtAnEvenRateAndCubicSplinesFollowTheirTangents) {
    Quad q;
    const float s = std::sqrt(0.5f);
    // A quarter turn about glTF y over one second: at 0.5 s an eighth turn.
    const std::string anim = animation(q.g, "rotation", {0, 1}, {0, 0, 0, 1, 0, s, 0, s}, "VEC4", 4);
    const GltfRead r = read(q.g.file(q.mesh("-1") + anim), 2);
    ASSERT_EQ(r.failure.problem, GltfProblem::None) << r.failure.detail;
    // Vertex 1 (1, 0, 0) turns to (cos 45, 0, -sin 45): X = x, Y = z.
    EXPECT_NEAR(at(r, 1, 1)[0], std::cos(M_PI / 4), 1e-6);
    EXPECT_NEAR(at(r, 1, 1)[1], -std::sin(M_PI / 4), 1e-6);

    Quad c;
    // Values 0 and 1 with tangents 0: the Hermite curve at half time is 0.5,
    // at a quarter 0.15625.
    const std::string cubic = animation(c.g, "translation", {0, 1},
                                        {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0}, "VEC3", 3,
                                        "CUBICSPLINE");
    const GltfRead rc = read(c.g.file(c.mesh("-1") + cubic), 4);
    ASSERT_EQ(rc.failure.problem, GltfProblem::None) << rc.failure.detail;
    EXPECT_NEAR(at(rc, 1, 0)[2], 0.15625, 1e-6);
    EXPECT_NEAR(at(rc, 2, 0)[2], 0.5, 1e-6);

    // Tangents are rates per second: keys a quarter second apart scale them
    // by 0.25. Out-tangent 4 from value 0, in-tangent -2 into value 1.
    Quad t;
    const double dt = 0.25, p0 = 0, p1 = 1, out0 = 4, in1 = -2;
    const std::string tangents = animation(t.g, "translation", {0, static_cast<float>(dt)},
                                           {0, 0, 0, 0, 0, 0, 0, 4, 0, 0, -2, 0, 0, 1, 0, 0, 0, 0}, "VEC3", 3,
                                           "CUBICSPLINE");
    const GltfRead rt = read(t.g.file(t.mesh("-1") + tangents), 16); // 0, 1/16 ... 1/4
    ASSERT_EQ(rt.failure.problem, GltfProblem::None) << rt.failure.detail;
    ASSERT_EQ(rt.frameCount, 5u);
    for (std::size_t f = 0; f < 5; ++f) {
        const double u = f / 4.0, u2 = u * u, u3 = u2 * u; // the fraction of the key interval
        const double hermite = (2 * u3 - 3 * u2 + 1) * p0 + (u3 - 2 * u2 + u) * dt * out0 +
                               (-2 * u3 + 3 * u2) * p1 + (u3 - u2) * dt * in1;
        EXPECT_NEAR(at(rt, f, 0)[2], hermite, 1e-6) << "frame " << f;
    }
}

// Quaternions (x, y, z, w) in double, for values the reader must give.
using Quatd = std::array<double, 4>;

Quatd axisAngle(std::array<double, 3> axis, double degrees) {
    const double len = std::sqrt(axis[0] * axis[0] + axis[1] * axis[1] + axis[2] * axis[2]);
    const double h = degrees * M_PI / 360;
    return {axis[0] / len * std::sin(h), axis[1] / len * std::sin(h), axis[2] / len * std::sin(h), std::cos(h)};
}

Quatd product(const Quatd& a, const Quatd& b) {
    return {a[3] * b[0] + a[0] * b[3] + a[1] * b[2] - a[2] * b[1],
            a[3] * b[1] - a[0] * b[2] + a[1] * b[3] + a[2] * b[0],
            a[3] * b[2] + a[0] * b[1] - a[1] * b[0] + a[2] * b[3],
            a[3] * b[3] - a[0] * b[0] - a[1] * b[1] - a[2] * b[2]};
}

// p turned by q: q p q*.
std::array<double, 3> turned(const Quatd& q, std::array<double, 3> p) {
    const Quatd r = product(product(q, {p[0], p[1], p[2], 0}), {-q[0], -q[1], -q[2], q[3]});
    return {r[0], r[1], r[2]};
}

// The rotation a fraction s of the way from a to b the shorter way round:
// a times the relative turn a* b (taken with w >= 0) to the power s.
Quatd shorterWay(const Quatd& a, const Quatd& b, double s) {
    Quatd d = product({-a[0], -a[1], -a[2], a[3]}, b);
    if (d[3] < 0) {
        d = {-d[0], -d[1], -d[2], -d[3]};
    }
    const double sinHalf = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
    const double half = std::atan2(sinHalf, d[3]);
    return product(a, axisAngle({d[0], d[1], d[2]}, 2 * half * s * 180 / M_PI));
}

TEST(GltfRead, RotationKeysOfOppositeSignTurnTheShorterWayAtAnEvenRate) {
    struct Case {
        Quatd from, to; // `to` is stored negated: the keys' dot product is negative
    };
    const Case cases[] = {
        {axisAngle({0, 1, 0}, 40), axisAngle({0, 1, 0}, 170)},
        {axisAngle({1, 0, 0}, -60), axisAngle({0, 0, 1}, 100)},
        {axisAngle({1, 1, 0}, 40), axisAngle({0, 1, 1}, 170)},
    };
    for (const Case& c : cases) {
        const Quatd stored = {-c.to[0], -c.to[1], -c.to[2], -c.to[3]};
        ASSERT_LT(c.from[0] * stored[0] + c.from[1] * stored[1] + c.from[2] * stored[2] + c.from[3] * stored[3], 0);
        Quad q;
        std::vector<float> keys;
        for (const Quatd* k : {&c.from, &stored}) {
            keys.insert(keys.end(), k->begin(), k->end());
        }
        const std::string anim = animation(q.g, "rotation", {0, 1}, keys, "VEC4", 4);
        const GltfRead r = read(q.g.file(q.mesh("-1") + anim), 8); // every eighth of the way
        ASSERT_EQ(r.failure.problem, GltfProblem::None) << r.failure.detail;
        ASSERT_EQ(r.frameCount, 9u);
        for (std::size_t f = 0; f < 9; ++f) {
            const Quatd expected = shorterWay(c.from, c.to, f / 8.0);
            for (std::size_t v : {1, 2}) { // glTF (1, 0, 0) and (0, 1, 0)
                const std::array<double, 3> p = turned(expected, {v == 1 ? 1.0 : 0.0, v == 2 ? 1.0 : 0.0, 0});
                const std::array<float, 3> got = at(r, f, v); // X = x, Y = z, Z = y
                EXPECT_NEAR(got[0], p[0], 1e-6) << "frame " << f << " vertex " << v;
                EXPECT_NEAR(got[1], p[2], 1e-6) << "frame " << f << " vertex " << v;
                EXPECT_NEAR(got[2], p[1], 1e-6) << "frame " << f << " vertex " << v;
            }
        }
    }
}

// A node's world transform turns glTF's corner order (a, b, c) back to
// itself only when it mirrors (its determinant is negative); a rotation
// about any axis, or a half turn made of two negated axes, does not. Each
// product of the determinant carries one of these rotations.
TEST(GltfRead, OnlyAMirroringNodeTransformKeepsGltfsCornerOrder) {
    const double s60 = std::sin(M_PI / 3), c60 = 0.5, r2 = std::sqrt(0.5);
    struct Case {
        std::string transform; // the node's members
        bool mirror;
    };
    const Case cases[] = {
        {"", false},
        {",\"rotation\":[" + std::to_string(s60) + ",0,0," + std::to_string(c60) + "]", false}, // 120 deg about x
        {",\"rotation\":[0," + std::to_string(s60) + ",0," + std::to_string(c60) + "]", false}, // about y
        {",\"rotation\":[0,0," + std::to_string(s60) + "," + std::to_string(c60) + "]", false}, // about z
        {",\"rotation\":[" + std::to_string(s60 * r2) + ",0," + std::to_string(s60 * r2) + "," + std::to_string(c60) +
             "]", false}, // about x and z at once
        {",\"rotation\":[0.5,0.5,0.5,0.5]", false},    // x to y to z: 120 deg about (1, 1, 1)
        {",\"rotation\":[-0.5,-0.5,-0.5,0.5]", false}, // x to z to y: the other way round
        {",\"scale\":[-1,-1,1]", false}, // a half turn about z
        {",\"scale\":[-1,1,1]", true},
        {",\"scale\":[1,1,-1]", true},
        {",\"scale\":[-1,-1,-1]", true},
        {",\"rotation\":[0,0," + std::to_string(s60) + "," + std::to_string(c60) + "],\"scale\":[1,-2,1]", true},
    };
    for (const Case& c : cases) {
        Quad q;
        const GltfRead r = read(q.g.file(q.mesh("-1", c.transform)));
        ASSERT_EQ(r.failure.problem, GltfProblem::None) << r.failure.detail;
        ASSERT_EQ(r.vertexCount, 4u) << c.transform;
        const std::array<std::uint32_t, 3> expected = c.mirror ? std::array<std::uint32_t, 3>{0, 1, 2}
                                                               : std::array<std::uint32_t, 3>{0, 2, 1};
        const GltfTriangle& t = r.triangles[0]; // glTF (0, 1, 2)
        EXPECT_EQ((std::array<std::uint32_t, 3>{t.vertex[0], t.vertex[1], t.vertex[2]}), expected) << c.transform;
    }
}

TEST(GltfRead, MorphWeightsAndSkinsMoveTheVertices) {
    Quad q;
    const int delta = q.g.floats({0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0}, "VEC3", 3);
    std::string mesh = q.mesh("-1");
    mesh.insert(mesh.find("\"indices\""), "\"targets\":[{\"POSITION\":" + std::to_string(delta) + "}],");
    const std::string anim = animation(q.g, "weights", {0, 1}, {0, 1}, "SCALAR", 1);
    const GltfRead r = read(q.g.file(mesh + anim), 2);
    ASSERT_EQ(r.failure.problem, GltfProblem::None) << r.failure.detail;
    EXPECT_NEAR(at(r, 1, 0)[1], 1.5, 1e-6); // glTF z +1.5 is Y
    EXPECT_NEAR(at(r, 2, 0)[1], 3.0, 1e-6);
    EXPECT_EQ(r.vertexCount, 4u);

    // A skin of one joint (node 1) moved 5 along glTF x; inverse bind identity.
    Quad k;
    Glb& g = k.g;
    const int joints = g.addAccessor(g.bin.size(), 16, 5121, 4, "VEC4");
    for (int v = 0; v < 4; ++v) {
        g.bin.insert(g.bin.end(), {0, 0, 0, 0});
    }
    const int weights = g.floats({1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0}, "VEC4", 4);
    std::string skinned = k.mesh("-1", ",\"skin\":0");
    skinned.replace(skinned.find("\"TEXCOORD_0\""), 0,
                    "\"JOINTS_0\":" + std::to_string(joints) + ",\"WEIGHTS_0\":" + std::to_string(weights) + ",");
    skinned.replace(skinned.find("\"nodes\":[{\"mesh\""), 0, "");
    skinned.replace(skinned.find("}],\"meshes\""), 2, "},{\"translation\":[5,0,0]}]");
    const GltfRead rs = read(g.file(skinned + ",\"skins\":[{\"joints\":[1]}]"));
    ASSERT_EQ(rs.failure.problem, GltfProblem::None) << rs.failure.detail;
    EXPECT_NEAR(at(rs, 0, 1)[0], 6.0, 1e-6);
    // Joints as signed bytes could name joint -128: refused (found by fuzzing).
    g.accessors.replace(g.accessors.find("\"componentType\":5121"), 20, "\"componentType\":5120");
    const GltfRead signedJoints = read(g.file(skinned + ",\"skins\":[{\"joints\":[1]}]"));
    EXPECT_EQ(signedJoints.failure.problem, GltfProblem::Damaged);
    EXPECT_NE(signedJoints.failure.detail.find("joints"), std::string::npos) << signedJoints.failure.detail;
}

// The quad skinned to two joints, node 1 moved 4 along glTF x and node 2
// moved 8 along glTF z (inverse binds identity). Every vertex has the
// influences `joints` / `weights`, four to each JOINTS_n / WEIGHTS_n pair,
// the weights as floats (5126) or normalised unsigned bytes (5121) or
// shorts (5123). `stored` gets the weights as the file holds them.
GltfRead skinnedQuad(const std::vector<std::uint32_t>& joints, const std::vector<double>& weights,
                     int weightType, std::vector<double>* stored = nullptr) {
    Quad q;
    std::string attributes;
    const double top = weightType == 5121 ? 255 : 65535;
    for (std::size_t set = 0; set * 4 < joints.size(); ++set) {
        std::vector<std::uint32_t> j;
        std::vector<float> wf;
        std::vector<std::uint32_t> wi;
        for (int v = 0; v < 4; ++v) {
            for (std::size_t k = set * 4; k < set * 4 + 4; ++k) {
                j.push_back(joints[k]);
                wf.push_back(static_cast<float>(weights[k]));
                wi.push_back(static_cast<std::uint32_t>(std::lround(weights[k] * top)));
                if (stored != nullptr && v == 0) {
                    stored->push_back(weightType == 5126 ? wf.back() : wi.back() / top);
                }
            }
        }
        const int ja = q.g.integers(j, 5121, "VEC4", 4);
        const int wa = weightType == 5126 ? q.g.floats(wf, "VEC4", 4) : q.g.integers(wi, weightType, "VEC4", 4, true);
        attributes += "\"JOINTS_" + std::to_string(set) + "\":" + std::to_string(ja) + ",\"WEIGHTS_" +
                      std::to_string(set) + "\":" + std::to_string(wa) + ",";
    }
    std::string mesh = q.mesh("-1", ",\"skin\":0");
    mesh.replace(mesh.find("\"TEXCOORD_0\""), 0, attributes);
    mesh.replace(mesh.find("}],\"meshes\""), 2, "},{\"translation\":[4,0,0]},{\"translation\":[0,0,8]}]");
    return read(q.g.file(mesh + ",\"skins\":[{\"joints\":[1,2]}]"));
}

// The warnings about skin weights (the quad also tiles its texture).
std::vector<std::string> skinWarnings(const GltfRead& r) {
    std::vector<std::string> w;
    std::copy_if(r.warnings.begin(), r.warnings.end(), std::back_inserter(w),
                 [](const std::string& line) { return line.find("skin") != std::string::npos; });
    return w;
}

TEST(GltfRead, SkinWeightsAreDividedByTheirSumOverEverySetInEveryForm) {
    for (const int type : {5126, 5121, 5123}) {
        for (const double sum : {0.2, 0.9, 1.3, 1.0}) {
            SCOPED_TRACE(std::to_string(type) + " sum " + std::to_string(sum));
            // A quarter of the weight on joint 0 in set 0, the rest on joint 1 in set 1.
            std::vector<double> w;
            const GltfRead r = skinnedQuad({0, 0, 0, 0, 1, 0, 0, 0},
                                           {0.25 * sum, 0, 0, 0, 0.75 * sum, 0, 0, 0}, type, &w);
            ASSERT_EQ(r.failure.problem, GltfProblem::None) << r.failure.detail;
            const double total = w[0] + w[4];
            // glTF vertex 3 (1, 1, 0) moved by (4, 0, 0) and (0, 0, 8) in those shares.
            EXPECT_NEAR(at(r, 0, 3)[0], 1 + 4 * w[0] / total, 1e-6);
            EXPECT_NEAR(at(r, 0, 3)[1], 8 * w[4] / total, 1e-6);
            EXPECT_NEAR(at(r, 0, 3)[2], 1, 1e-6);
            const std::vector<std::string> warned = skinWarnings(r);
            ASSERT_EQ(warned.size(), sum == 1.0 ? 0u : 1u);
            if (sum != 1.0) {
                EXPECT_NE(warned[0].find("4 vertices"), std::string::npos) << warned[0];
            }
        }
    }
    // Weights that are all zero: the vertex goes wholly with the first joint listed.
    const GltfRead none = skinnedQuad({1, 0, 0, 0}, {0, 0, 0, 0}, 5126);
    ASSERT_EQ(none.failure.problem, GltfProblem::None) << none.failure.detail;
    EXPECT_NEAR(at(none, 0, 3)[0], 1, 1e-6);
    EXPECT_NEAR(at(none, 0, 3)[1], 8, 1e-6);
    ASSERT_EQ(skinWarnings(none).size(), 1u);
    EXPECT_NE(skinWarnings(none)[0].find("4 vertices"), std::string::npos) << skinWarnings(none)[0];
}

TEST(GltfRead, AJointPastTheSkinIsIgnoredWithWeightZeroAndRefusedWithAnyOther) {
    // Unused influences padded with the joint one past the skin's last.
    const GltfRead padded = skinnedQuad({0, 2, 2, 2}, {1, 0, 0, 0}, 5126);
    ASSERT_EQ(padded.failure.problem, GltfProblem::None) << padded.failure.detail;
    EXPECT_NEAR(at(padded, 0, 3)[0], 5, 1e-6);
    ASSERT_EQ(skinWarnings(padded).size(), 1u);
    EXPECT_NE(skinWarnings(padded)[0].find("12 "), std::string::npos) << skinWarnings(padded)[0];
    const GltfRead weighed = skinnedQuad({0, 2, 0, 0}, {0.9, 0.1, 0, 0}, 5121);
    EXPECT_EQ(weighed.failure.problem, GltfProblem::Damaged);
    EXPECT_NE(weighed.failure.detail.find("names a joint its skin does not have"), std::string::npos)
        << weighed.failure.detail;
}

// `q` turning `v`, in double.
std::array<double, 3> turn(const std::array<double, 4>& q, const std::array<double, 3>& v) {
    const std::array<double, 3> u = {q[0], q[1], q[2]};
    auto cross = [](const std::array<double, 3>& a, const std::array<double, 3>& b) {
        return std::array<double, 3>{a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
    };
    const std::array<double, 3> t = cross(u, v);
    const std::array<double, 3> tt = cross(u, t);
    return {v[0] + 2 * (q[3] * t[0] + tt[0]), v[1] + 2 * (q[3] * t[1] + tt[1]), v[2] + 2 * (q[3] * t[2] + tt[2])};
}

TEST(GltfRead, RotationsBetweenCloseKeysAreExactSlerps) {
    for (const double degrees : {0.5, 2.0, 40.0}) {
        SCOPED_TRACE(degrees);
        const float half = static_cast<float>(degrees * M_PI / 360);
        const std::array<float, 4> key = {0, std::sin(half), 0, std::cos(half)};
        Quad q;
        const std::string anim =
            animation(q.g, "rotation", {0, 1}, {0, 0, 0, 1, key[0], key[1], key[2], key[3]}, "VEC4", 4);
        const GltfRead r = read(q.g.file(q.mesh("-1") + anim), 10);
        ASSERT_EQ(r.failure.problem, GltfProblem::None) << r.failure.detail;
        ASSERT_EQ(r.frameCount, 11u);
        // The exact slerp from (0, 0, 0, 1) to the key as stored.
        const double len = std::hypot(double{key[1]}, double{key[3]});
        const double theta = std::acos(key[3] / len);
        for (std::uint32_t f = 1; f < 10; ++f) {
            const double s = f / 10.0;
            const double wa = std::sin((1 - s) * theta) / std::sin(theta);
            const double wb = std::sin(s * theta) / std::sin(theta) / len;
            const std::array<double, 3> p = turn({0, wb * key[1], 0, wa + wb * key[3]}, {1, 0, 0});
            const std::array<double, 3> expected = {p[0], p[2], p[1]}; // X = x, Y = z, Z = y
            for (int a = 0; a < 3; ++a) {
                // Within the rounding to float alone.
                EXPECT_NEAR(at(r, f, 1)[a], expected[a], std::ldexp(std::abs(expected[a]), -23) + 1e-12)
                    << "frame " << f << " axis " << a;
            }
        }
    }
}

TEST(GltfRead, AFileWithTooManyVerticesForDeusExFramesSaysTheUnrealFormTakesIt) {
    Glb g;
    std::vector<float> pos;
    for (int i = 0; i < 9000; ++i) { // no two alike
        pos.insert(pos.end(), {static_cast<float>(i % 100) * 0.5f, static_cast<float>(i / 100) * 0.5f, 0});
    }
    const int p = g.floats(pos, "VEC3", 3);
    const GltfRead r = read(g.file(",\"nodes\":[{\"mesh\":0}],\"meshes\":[{\"primitives\":[{\"attributes\":{"
                                   "\"POSITION\":" + std::to_string(p) + "}}]}]"));
    ASSERT_EQ(r.failure.problem, GltfProblem::None) << r.failure.detail;
    ASSERT_EQ(r.vertexCount, 9000u);
    const GameMesh dx = buildGameMesh(r, {false, false}, "Big.glb");
    ASSERT_EQ(dx.failure.stop, Stop::TooManyVertices);
    EXPECT_EQ(failureMessage(dx.failure),
              "\n\nFile Big.glb gives 9000 vertices, more than a frame of 65535 bytes holds in this form"
              " (8191 Deus Ex, 16383 Unreal): --to-unreal takes them !\n");
    const GameMesh un = buildGameMesh(r, {true, false}, "Big.glb");
    EXPECT_EQ(un.failure.stop, Stop::None);
    EXPECT_EQ(un.anim.size(), 4u + 9000u * 4);
}

TEST(GltfRead, DamagedFilesAndForbiddenReferencesAreRefusedByName) {
    Quad q;
    const std::string good = q.mesh("-1");
    struct Case {
        std::string rest;
        GltfProblem problem;
        const char* detail;
    };
    const Case cases[] = {
        {good + ",\"extensionsRequired\":[\"KHR_draco_mesh_compression\"]", GltfProblem::Compressed,
         "KHR_draco_mesh_compression"},
        {good + ",\"extensionsRequired\":[\"EXT_meshopt_compression\"]", GltfProblem::Compressed,
         "EXT_meshopt_compression"},
        {good + ",\"extensionsRequired\":[\"KHR_gaussian_splatting\"]", GltfProblem::Extension,
         "KHR_gaussian_splatting"},
        {",\"nodes\":[{\"mesh\":0}],\"meshes\":[{\"primitives\":[{\"attributes\":{\"POSITION\":9}}]}]",
         GltfProblem::Damaged, "accessor 9"},
        {",\"nodes\":[{\"children\":[1]},{\"children\":[0]}]", GltfProblem::Damaged, "cycle"},
        {",\"nodes\":[{\"mesh\":0}],\"meshes\":[{\"primitives\":[{\"attributes\":{\"POSITION\":0},\"mode\":0}]}]",
         GltfProblem::NoTriangles, ""},
    };
    for (const Case& c : cases) {
        const GltfRead r = read(q.g.file(c.rest));
        EXPECT_EQ(r.failure.problem, c.problem) << c.rest;
        EXPECT_NE(r.failure.detail.find(c.detail), std::string::npos) << r.failure.detail;
    }
    // An accessor claiming more values than its view holds.
    Glb g;
    const int pos = g.floats({0, 0, 0, 1, 0, 0, 0, 1, 0}, "VEC3", 3);
    (void)pos;
    g.accessors.replace(g.accessors.find("\"count\":3"), 9, "\"count\":300000000");
    const GltfRead big = read(g.file(",\"nodes\":[{\"mesh\":0}],\"meshes\":[{\"primitives\":[{\"attributes\":{"
                                     "\"POSITION\":0}}]}]"));
    EXPECT_EQ(big.failure.problem, GltfProblem::Damaged);
    // The last element must end within its buffer view, packed or strided:
    // a view one byte short of it is refused, though its buffer goes on.
    struct Short {
        int stride;          // 0: packed, 12 bytes an element
        std::size_t length;  // the view's byteLength
        bool refused;
    };
    const Short shorts[] = {{0, 36, false}, {0, 35, true}, {16, 44, false}, {16, 43, true}};
    for (const Short& c : shorts) {
        Glb v; // vertex 2 is glTF (0, 1, 0); the buffer holds 48 bytes either way
        v.floats(c.stride > 0 ? std::vector<float>{0, 0, 0, 9, 1, 0, 0, 9, 0, 1, 0, 9}
                              : std::vector<float>{0, 0, 0, 1, 0, 0, 0, 1, 0, 9, 9, 9},
                 "VEC3", 4);
        v.views = "{\"buffer\":0,\"byteOffset\":0,\"byteLength\":" + std::to_string(c.length) +
                  (c.stride > 0 ? ",\"byteStride\":" + std::to_string(c.stride) : std::string()) + "}";
        const GltfRead r = read(v.file(",\"nodes\":[{\"mesh\":0}],\"meshes\":[{\"primitives\":[{\"attributes\":{"
                                       "\"POSITION\":0}}]}]"));
        SCOPED_TRACE(v.views);
        if (c.refused) {
            EXPECT_EQ(r.failure.problem, GltfProblem::Damaged);
            EXPECT_NE(r.failure.detail.find("more than its buffer view has room for"), std::string::npos)
                << r.failure.detail;
        } else {
            ASSERT_EQ(r.failure.problem, GltfProblem::None) << r.failure.detail;
            EXPECT_EQ(at(r, 0, 2), (std::array<float, 3>{0, 0, 1}));
        }
    }
    // Sparse indices of a type an index cannot have: one glTF does not know
    // (no size to step by: found by the fuzzer as a division by zero) and float.
    for (const char* type : {"5130", "5126"}) {
        Glb s;
        s.floats({0, 0, 0, 1, 0, 0, 0, 1, 0}, "VEC3", 3);
        s.accessors.replace(s.accessors.find("\"type\":\"VEC3\"}"), 14,
                            std::string("\"type\":\"VEC3\",\"sparse\":{\"count\":1,\"indices\":{\"bufferView\":0,"
                                        "\"componentType\":") + type + "},\"values\":{\"bufferView\":0}}}");
        const GltfRead r = read(s.file(",\"nodes\":[{\"mesh\":0}],\"meshes\":[{\"primitives\":[{\"attributes\":{"
                                       "\"POSITION\":0}}]}]"));
        EXPECT_EQ(r.failure.problem, GltfProblem::Damaged) << type;
        EXPECT_NE(r.failure.detail.find("sparse"), std::string::npos) << r.failure.detail;
    }
    EXPECT_EQ(read({'n', 'o', 'p', 'e'}).failure.problem, GltfProblem::NotGltf);
    // An extension that moves no vertex is read, with a warning where it
    // changes what the game shows.
    const GltfRead transformed = read(q.g.file(good + ",\"extensionsUsed\":[\"KHR_texture_transform\"],"
                                                      "\"extensionsRequired\":[\"KHR_texture_transform\"]"));
    EXPECT_EQ(transformed.failure.problem, GltfProblem::None);
    ASSERT_FALSE(transformed.warnings.empty()); // and the tiling one of the quad
    EXPECT_NE(transformed.warnings[0].find("KHR_texture_transform"), std::string::npos);
}

TEST(GltfRead, AtMost65535TrianglesAreRead) {
    for (const std::size_t triangles : {65535u, 65536u}) {
        Glb g;
        g.floats({0, 0, 0, 1, 0, 0, 0, 1, 0}, "VEC3", 3);
        std::vector<std::uint16_t> corners;
        for (std::size_t t = 0; t < triangles; ++t) {
            corners.insert(corners.end(), {0, 1, 2});
        }
        g.indices(corners);
        const GltfRead r = read(g.file(",\"nodes\":[{\"mesh\":0}],\"meshes\":[{\"primitives\":[{\"attributes\":{"
                                       "\"POSITION\":0},\"indices\":1}]}]"));
        if (triangles == 65535) {
            ASSERT_EQ(r.failure.problem, GltfProblem::None) << r.failure.detail;
            EXPECT_EQ(r.triangles.size(), triangles);
            EXPECT_EQ(buildGameMesh(r, {false, false}, "T.glb").failure.stop, Stop::None);
        } else {
            EXPECT_EQ(r.failure.problem, GltfProblem::TooManyTriangles);
            EXPECT_EQ(r.failure.detail, "65536");
        }
    }
}

// Compressed files as exporters lay them out: the library alone would call
// them damaged, before any extension is looked at.
TEST(GltfRead, CompressedFilesAreRefusedNamingTheirExtension) {
    const std::string mesh = ",\"nodes\":[{\"mesh\":0}],\"meshes\":[{\"primitives\":[{\"attributes\":{\"POSITION\":0},"
                             "\"indices\":1";
    // Draco: the accessors have no buffer view; the primitive's extension
    // names the compressed stream's.
    Glb draco;
    draco.bin.assign(40, 0x5A);
    draco.views = "{\"buffer\":0,\"byteOffset\":0,\"byteLength\":40}";
    draco.viewCount = 1;
    draco.accessors = "{\"componentType\":5126,\"count\":4,\"type\":\"VEC3\",\"min\":[0,0,0],\"max\":[1,1,0]},"
                      "{\"componentType\":5123,\"count\":6,\"type\":\"SCALAR\"}";
    draco.accessorCount = 2;
    const std::vector<std::uint8_t> dracoFile =
        draco.file(",\"extensionsUsed\":[\"KHR_draco_mesh_compression\"],\"extensionsRequired\":["
                   "\"KHR_draco_mesh_compression\"]" + mesh + ",\"extensions\":{\"KHR_draco_mesh_compression\":"
                   "{\"bufferView\":0,\"attributes\":{\"POSITION\":0}}}}]}]");
    // meshopt: the views lie in a fallback buffer without bytes; their
    // extension names the compressed bytes in the binary chunk.
    Glb meshopt;
    meshopt.bin.assign(40, 0x5A);
    meshopt.buffers = "{\"byteLength\":40},{\"byteLength\":60,\"extensions\":{\"EXT_meshopt_compression\":"
                      "{\"fallback\":true}}}";
    meshopt.views = "{\"buffer\":1,\"byteOffset\":0,\"byteLength\":48,\"byteStride\":12,\"extensions\":{"
                    "\"EXT_meshopt_compression\":{\"buffer\":0,\"byteOffset\":0,\"byteLength\":30,"
                    "\"byteStride\":12,\"mode\":\"ATTRIBUTES\",\"count\":4}}},"
                    "{\"buffer\":1,\"byteOffset\":48,\"byteLength\":12,\"extensions\":{"
                    "\"EXT_meshopt_compression\":{\"buffer\":0,\"byteOffset\":32,\"byteLength\":8,"
                    "\"byteStride\":2,\"mode\":\"TRIANGLES\",\"count\":6}}}";
    meshopt.viewCount = 2;
    meshopt.accessors = "{\"bufferView\":0,\"componentType\":5126,\"count\":4,\"type\":\"VEC3\"},"
                        "{\"bufferView\":1,\"componentType\":5123,\"count\":6,\"type\":\"SCALAR\"}";
    meshopt.accessorCount = 2;
    const std::vector<std::uint8_t> meshoptFile =
        meshopt.file(",\"extensionsUsed\":[\"EXT_meshopt_compression\"],\"extensionsRequired\":["
                     "\"EXT_meshopt_compression\"]" + mesh + "}]}]");
    for (const auto& [file, name] : {std::pair{dracoFile, "KHR_draco_mesh_compression"},
                                     std::pair{meshoptFile, "EXT_meshopt_compression"}}) {
        SCOPED_TRACE(name);
        const GltfRead r = read(file);
        EXPECT_EQ(r.failure.problem, GltfProblem::Compressed) << r.failure.detail;
        EXPECT_EQ(r.failure.detail, name);
        // The same JSON as a .gltf.
        const std::uint32_t jsonLength = readLe32(file.data() + 12);
        const std::vector<std::uint8_t> text(file.begin() + 20, file.begin() + 20 + jsonLength);
        EXPECT_EQ(read(text).failure.problem, GltfProblem::Compressed);
        // A GLB whose JSON chunk claims more than the file holds is damaged.
        std::vector<std::uint8_t> cut(file.begin(), file.begin() + 20 + jsonLength / 2);
        EXPECT_EQ(read(cut).failure.problem, GltfProblem::Damaged);
    }
}

TEST(GltfRead, EveryPrefixOfAFileIsRefusedWithoutReadingPastIt) {
    Quad q;
    const std::vector<std::uint8_t> whole =
        q.g.file(q.mesh("-1") + animation(q.g, "translation", {0, 1}, {0, 0, 0, 0, 2, 0}, "VEC3", 3));
    ASSERT_EQ(read(whole).failure.problem, GltfProblem::None);
    for (std::size_t n = 0; n < whole.size(); ++n) {
        const std::vector<std::uint8_t> prefix(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(n));
        EXPECT_NE(read(prefix).failure.problem, GltfProblem::None) << n;
    }
}

TEST(GltfRead, ResourcesStayInTheFilesFolder) {
    struct Case {
        const char* uri;
        const char* path; // "" when refused
    };
    const Case cases[] = {
        {"Cube.bin", "Cube.bin"},      {"sub/Cube%20A.bin", "sub/Cube A.bin"},
        {"../Cube.bin", ""},           {"sub/../../x.bin", ""},
        {"%2E%2E/x.bin", ""},          {"/etc/passwd", ""},
        {"C:/x.bin", ""},              {"file:///x.bin", ""},
        {"http://host/x.bin", ""},     {"\\\\server\\x.bin", ""},
        {"..", ""},                    {"a/..b.bin", "a/..b.bin"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(gltfResourcePath(c.uri), c.path) << c.uri;
    }
    // A .gltf whose buffer is outside its folder, or missing, is refused by name.
    for (const auto& [uri, problem] : std::map<std::string, GltfProblem>{
             {"../Cube.bin", GltfProblem::OutsideFolder}, {"Cube.bin", GltfProblem::MissingResource}}) {
        const std::string json = "{\"asset\":{\"version\":\"2.0\"},\"buffers\":[{\"byteLength\":4,\"uri\":\"" + uri + "\"}]}";
        const GltfRead r = read(std::vector<std::uint8_t>(json.begin(), json.end()));
        EXPECT_EQ(r.failure.problem, problem) << uri;
    }
}

// A file laid out as --to-gltf writes one (see gltf_common.h): mesh vertices
// 0-2, then glTF vertices 3-5 standing for mesh vertices 2, 1, 0 with other
// texture coordinates; two primitives, a triangle glTF cannot hold, a header
// tail and bytes after the last triangle.
struct WrittenFile {
    test::Bytes data; // the data file it was written from
    std::vector<std::uint8_t> glb;

    explicit WrittenFile(bool stale = false) {
        data.assign(48, 0x5A); // 3 triangles, 3 vertices, then the header tail
        data[0] = 3;
        data[1] = 0;
        data[2] = 3;
        data[3] = 0;
        const std::uint8_t t0[16] = {0, 0, 1, 0, 2, 0, 0x11, 0xAB, 0, 0, 10, 20, 30, 40, 4, 0xCD};
        const std::uint8_t t1[16] = {7, 0, 1, 0, 2, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
        const std::uint8_t t2[16] = {2, 0, 1, 0, 0, 0, 0x02, 0x01, 5, 6, 7, 8, 9, 10, 9, 0x02};
        for (const std::uint8_t* t : {t0, t1, t2}) {
            data.insert(data.end(), t, t + 16);
        }
        data.insert(data.end(), {'x', 'y', 'z'});
        Glb g;
        const std::vector<float> base = {0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 1, 0, 1, 0, 0, 0, 0, 0};
        const int pos = g.floats(base, "VEC3", 3);
        const int uv = g.floats({0, 0, 10 / 256.f, 20 / 256.f, 30 / 256.f, 40 / 256.f, 5 / 256.f, 6 / 256.f,
                                 7 / 256.f, 8 / 256.f, 9 / 256.f, 10 / 256.f},
                                "VEC2", 2);
        const int delta = g.floats({0, 0, 0.5f, 0, 0, 0.5f, 0, 0, 0.5f, 0, 0, 0.5f, 0, 0, 0.5f, 0, 0, 0.5f}, "VEC3", 3);
        const std::vector<std::uint16_t> i0 = {0, 2, 1};
        const std::vector<std::uint16_t> i1 = {3, 5, 4};
        const int idx0 = g.indices(i0);
        const int idx1 = g.indices(i1);
        Fnv1a64 sum;
        for (float f : base) {
            sum.addLe32(std::bit_cast<std::uint32_t>(f));
        }
        for (const auto* list : {&i0, &i1}) {
            for (std::uint16_t i : *list) {
                sum.addLe32(i);
            }
        }
        if (stale) { // moved in an editor after it was written
            g.bin[4 * 3] ^= 0x40;
        }
        const std::string prim = "{\"attributes\":{\"POSITION\":" + std::to_string(pos) + ",\"TEXCOORD_0\":" +
                                 std::to_string(uv) + "},\"targets\":[{\"POSITION\":" + std::to_string(delta) + "}],";
        std::string tail;
        for (int i = 0; i < 44; ++i) {
            tail += "5a";
        }
        glb = g.file(",\"nodes\":[{\"mesh\":0}],\"meshes\":[{\"primitives\":[" + prim + "\"indices\":" +
                     std::to_string(idx0) + ",\"material\":0}," + prim + "\"indices\":" + std::to_string(idx1) +
                     ",\"material\":1}],\"extras\":{\"meshfold\":{\"form\":\"deusex\",\"frameSize\":24,"
                     "\"vertexCount\":3,\"polygonCount\":3,\"fps\":30,\"dataHeaderTail\":\"" + tail +
                     "\",\"dataTrailer\":\"78797a\",\"triangles\":\"0000abcdffff020a01000102\","
                     "\"looseTriangles\":\"" + toHex(std::span(t1, 16)) + "\",\"vertexOf\":\"020001000000\","
                     "\"check\":\"" + checksumHex(sum) + "\"}}}],\"materials\":["
                     "{\"name\":\"004_2SIDED_UNLIT_M\",\"extras\":{\"meshfold\":{\"texture\":4,\"type\":17}}},"
                     "{\"name\":\"009_TRANSLUCENT_M\",\"extras\":{\"meshfold\":{\"texture\":9,\"type\":2}}}]");
    }
};

TEST(GltfRead, AFileWrittenByToGltfComesBackByteForByteWhileItsRecordMatches) {
    const WrittenFile w;
    const GltfRead r = read(w.glb);
    ASSERT_EQ(r.failure.problem, GltfProblem::None) << r.failure.detail;
    EXPECT_TRUE(r.warnings.empty()) << r.warnings[0];
    ASSERT_TRUE(r.restored.has_value());
    EXPECT_EQ(test::hex(r.restored->dataFile), test::hex(w.data));
    EXPECT_EQ(r.frameCount, 2u);
    EXPECT_EQ(r.vertexCount, 3u);
    const GameMesh m = buildGameMesh(r, {false, false}, "W.glb");
    ASSERT_EQ(m.failure.stop, Stop::None);
    EXPECT_EQ(m.data, w.data);
    // Frame 1: each vertex half a unit further along glTF z, the game's Y.
    const std::uint8_t* v1 = m.anim.data() + 4 + 24 + 8;
    EXPECT_EQ(readLe16(v1), 256);
    EXPECT_EQ(readLe16(v1 + 2), 128);
    EXPECT_EQ(readLe16(v1 + 4), 0);
    // In the Unreal form the frames are the same in its units; the data
    // file is the same bytes.
    const GameMesh u = buildGameMesh(r, {true, false}, "W.glb");
    ASSERT_EQ(u.failure.stop, Stop::None);
    EXPECT_EQ(u.data, w.data);
    EXPECT_EQ(readLe32(u.anim.data() + 4 + 12 + 4), 8u | 4u << 11);

    const WrittenFile stale(true);
    const GltfRead s = read(stale.glb);
    ASSERT_EQ(s.failure.problem, GltfProblem::None) << s.failure.detail;
    EXPECT_FALSE(s.restored.has_value());
    ASSERT_FALSE(s.warnings.empty());
    EXPECT_NE(s.warnings[0].find("ignored: the geometry changed"), std::string::npos) << s.warnings[0];
    EXPECT_EQ(s.triangles.size(), 2u); // the glTF triangles alone, read like any file's
}


// Files Blender's own glTF exporter wrote (tools/make_gltf_samples.py),
// beside Blender's own evaluated vertex positions at every frame: every
// frame of the Deus Ex file written from them lies within one step (1/256
// unit) of Blender's mesh on every axis.
TEST(GltfBlender, EveryFrameLiesWithinOneStepOfBlendersOwnMesh) {
    for (const char* name : {"shapekeys", "skinned"}) {
        SCOPED_TRACE(name);
        const test::fs::path dir = test::sourceDir() / "tests" / "data" / "gltf";
        const test::Bytes glb = test::readFile(dir / (std::string(name) + ".glb"));
        const test::Bytes json = test::readFile(dir / (std::string(name) + ".json"));
        const nlohmann::json blender = nlohmann::json::parse(json.begin(), json.end());
        const GltfRead r = readGltf(glb, kNoFiles, blender["fps"].get<unsigned>());
        ASSERT_EQ(r.failure.problem, GltfProblem::None) << r.failure.detail;
        const auto& frames = blender["frames"];
        ASSERT_EQ(r.frameCount, frames.size());
        ASSERT_EQ(r.vertexCount, frames[0].size());
        const GameMesh mesh = buildGameMesh(r, {false, false}, name);
        ASSERT_EQ(mesh.failure.stop, Stop::None);
        auto written = [&](std::size_t f, std::size_t v, int axis) {
            const std::uint8_t* p = mesh.anim.data() + kAnimHeaderSize + (f * r.vertexCount + v) * kWideVertexSize;
            return static_cast<std::int16_t>(readLe16(p + 2 * axis)) / 256.0;
        };
        // Blender (x, y, z) is glTF (x, z, -y) is the mesh's (x, -y, z).
        auto expected = [&](std::size_t f, std::size_t b, int axis) {
            const auto& p = frames[f][b];
            return axis == 0 ? p[0].get<double>() : axis == 1 ? -p[1].get<double>() : p[2].get<double>();
        };
        // Blender's vertex b is the game vertex nearest to it at rest.
        std::vector<std::size_t> gameOf(r.vertexCount);
        for (std::size_t b = 0; b < r.vertexCount; ++b) {
            double best = 1e9;
            for (std::size_t v = 0; v < r.vertexCount; ++v) {
                double d = 0;
                for (int a = 0; a < 3; ++a) {
                    d += std::abs(written(0, v, a) - expected(0, b, a));
                }
                if (d < best) {
                    best = d;
                    gameOf[b] = v;
                }
            }
        }
        double worst = 0;
        for (std::size_t f = 0; f < r.frameCount; ++f) {
            for (std::size_t b = 0; b < r.vertexCount; ++b) {
                for (int a = 0; a < 3; ++a) {
                    worst = std::max(worst, std::abs(written(f, gameOf[b], a) - expected(f, b, a)));
                }
            }
        }
        EXPECT_LE(worst, 1.0 / 256) << "largest difference " << worst;
    }
}

} // namespace
} // namespace meshfold

namespace meshfold {
namespace {

// Blender's textured scene (tools/make_gltf_samples.py): each material's
// image becomes a texture of the expected size, at most 256 colours, the
// leaf masked exactly where its cutoff hides, each read back by the tests'
// own decoder and within a PSNR of the image resized to the same size
// (resizeForTexture: the figure measures the palette alone). Prints the
// figures.
TEST(GltfBlender, TexturesOfBlendersImagesHaveTheirSizesMasksAndColours) {
    const test::fs::path dir = test::sourceDir() / "tests" / "data" / "gltf";
    const test::Bytes glb = test::readFile(dir / "textured.glb");
    const test::Bytes json = test::readFile(dir / "textured.json");
    const nlohmann::json blender = nlohmann::json::parse(json.begin(), json.end());
    const GltfRead r = readGltf(glb, kNoFiles, 30);
    ASSERT_EQ(r.failure.problem, GltfProblem::None) << r.failure.detail;
    std::vector<std::string> warnings;
    const std::vector<GameTexture> textures = gameTextures(r, "Panels", kDefaultTextureSideCap, warnings);
    EXPECT_TRUE(warnings.empty());
    ASSERT_EQ(textures.size(), blender["images"].size());
    struct Want {
        std::uint32_t w, h;
        double minPsnr; // as measured, less a margin
    };
    const Want wants[] = {{256, 256, 36}, {128, 128, 50}, {256, 64, 99}, {256, 256, 36}};
    for (std::size_t i = 0; i < textures.size(); ++i) {
        const nlohmann::json& source = blender["images"][i];
        SCOPED_TRACE(source["name"].get<std::string>());
        const GameTexture& t = textures[i];
        const bool masked = source["masked"];
        EXPECT_EQ(t.flags, masked ? kTextureFlagMasked : 0u);
        const test::ReferenceImage back = test::referenceDecode(t.pcx);
        ASSERT_TRUE(back.ok) << back.why;
        EXPECT_EQ(back.width, wants[i].w);
        EXPECT_EQ(back.height, wants[i].h);
        const Image resized = resizeForTexture(r.textures[i].image, kDefaultTextureSideCap);
        ASSERT_EQ(resized.rgba.size(), back.rgba.size());
        double squared = 0;
        std::size_t shown = 0;
        std::set<std::uint32_t> colours;
        for (std::size_t p = 0; p < back.indices.size(); ++p) {
            const std::uint8_t* a = resized.rgba.data() + 4 * p;
            const std::uint8_t* b = back.rgba.data() + 4 * p;
            colours.insert(std::uint32_t{b[0]} << 16 | std::uint32_t{b[1]} << 8 | b[2]);
            const bool hidden = masked && a[3] < 128;
            if (masked) {
                ASSERT_EQ(back.indices[p] == 0, hidden) << p; // index 0 exactly where hidden
            }
            if (!hidden) {
                for (int c = 0; c < 3; ++c) {
                    squared += (a[c] - b[c]) * double(a[c] - b[c]);
                }
                ++shown;
            }
        }
        const double mse = squared / (3.0 * static_cast<double>(shown));
        const double psnr = mse == 0 ? 100 : 10 * std::log10(255.0 * 255.0 / mse);
        EXPECT_LE(colours.size(), 256u);
        EXPECT_GE(psnr, wants[i].minPsnr);
        std::printf("[ figures  ] %s %ux%u -> %s %ux%u, %zu colours%s, PSNR %.1f dB\n",
                    source["name"].get<std::string>().c_str(), source["width"].get<unsigned>(),
                    source["height"].get<unsigned>(), t.fileName.c_str(), back.width, back.height, colours.size(),
                    masked ? ", masked" : "", psnr);
    }
    // The leaf's triangles are masked; the others two-sided, as Blender
    // marks every material double-sided.
    for (const GltfTriangle& tri : r.triangles) {
        EXPECT_EQ(tri.attr[0], tri.attr[2] == 1 ? kPolyTypeMasked : kPolyTypeTwoSided);
    }
}

} // namespace
} // namespace meshfold
