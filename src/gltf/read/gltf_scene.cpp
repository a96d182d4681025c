// The scene: its nodes and the mesh instances in them, their geometry
// (vertex sources, triangles, skin attributes), and the positions of every
// vertex in one pose.
#include "gltf/read/gltf_reader.h"

#include <algorithm>
#include <map>

namespace meshfold::gltf {

// --- the scene's structure

// Parents of every node (-1 for roots), refusing a node that is the child
// of two nodes or of itself through others.
std::vector<int> parentsOf(const Model& m) {
    std::vector<int> parent(m.nodes.size(), -1);
    for (std::size_t n = 0; n < m.nodes.size(); ++n) {
        for (int c : m.nodes[n].children) {
            if (c < 0 || static_cast<std::size_t>(c) >= m.nodes.size()) {
                damaged("node " + num(n) + " has a child that does not exist");
            }
            if (parent[static_cast<std::size_t>(c)] != -1 || static_cast<std::size_t>(c) == n) {
                damaged("node " + std::to_string(c) + " has more than one parent");
            }
            parent[static_cast<std::size_t>(c)] = static_cast<int>(n);
        }
    }
    for (std::size_t n = 0; n < m.nodes.size(); ++n) { // no cycles: every chain reaches a root
        std::size_t steps = 0;
        for (int p = parent[n]; p != -1; p = parent[static_cast<std::size_t>(p)]) {
            if (++steps > m.nodes.size()) {
                damaged("the node hierarchy has a cycle");
            }
        }
    }
    return parent;
}

// Every node, parents before children: the order world transforms are built in.
std::vector<int> topologicalOrder(const Model& m, const std::vector<int>& parent) {
    std::vector<int> order;
    order.reserve(m.nodes.size());
    std::vector<int> stack;
    for (std::size_t n = 0; n < m.nodes.size(); ++n) {
        if (parent[n] == -1) {
            stack.push_back(static_cast<int>(n));
        }
    }
    while (!stack.empty()) {
        const int n = stack.back();
        stack.pop_back();
        order.push_back(n);
        const auto& kids = m.nodes[static_cast<std::size_t>(n)].children;
        for (auto it = kids.rbegin(); it != kids.rend(); ++it) {
            stack.push_back(*it);
        }
    }
    return order;
}

// The mesh instances of the scene, in depth-first order of its nodes.
std::vector<Instance> sceneInstances(const Model& m, const std::vector<int>& parent) {
    std::vector<int> roots;
    const int scene = m.defaultScene >= 0 ? m.defaultScene : 0;
    if (!m.scenes.empty()) {
        if (static_cast<std::size_t>(scene) >= m.scenes.size()) {
            damaged("the default scene does not exist");
        }
        roots = m.scenes[static_cast<std::size_t>(scene)].nodes;
    } else {
        for (std::size_t n = 0; n < m.nodes.size(); ++n) {
            if (parent[n] == -1) {
                roots.push_back(static_cast<int>(n));
            }
        }
    }
    std::vector<Instance> out;
    std::vector<int> stack(roots.rbegin(), roots.rend());
    std::vector<bool> seen(m.nodes.size(), false);
    while (!stack.empty()) {
        const int n = stack.back();
        stack.pop_back();
        if (n < 0 || static_cast<std::size_t>(n) >= m.nodes.size()) {
            damaged("the scene names a node that does not exist");
        }
        if (seen[static_cast<std::size_t>(n)]) {
            damaged("the scene holds node " + std::to_string(n) + " twice");
        }
        seen[static_cast<std::size_t>(n)] = true;
        const tinygltf::Node& node = m.nodes[static_cast<std::size_t>(n)];
        if (node.mesh >= 0) {
            if (static_cast<std::size_t>(node.mesh) >= m.meshes.size()) {
                damaged("node " + std::to_string(n) + " names a mesh that does not exist");
            }
            out.push_back({n, node.mesh});
        }
        for (auto it = node.children.rbegin(); it != node.children.rend(); ++it) {
            stack.push_back(*it);
        }
    }
    return out;
}

// --- geometry of the instances

std::vector<std::uint32_t> readIndices(const Model& m, const tinygltf::Primitive& p,
                                       std::size_t vertexCount, const std::string& what) {
    std::vector<std::uint32_t> idx;
    if (p.indices < 0) {
        idx.resize(vertexCount);
        for (std::size_t i = 0; i < vertexCount; ++i) {
            idx[i] = static_cast<std::uint32_t>(i);
        }
        return idx;
    }
    const Values v = readAccessor(m, p.indices, {TINYGLTF_TYPE_SCALAR}, what + "'s indices");
    if (v.componentType == TINYGLTF_COMPONENT_TYPE_FLOAT || v.componentType == TINYGLTF_COMPONENT_TYPE_BYTE ||
        v.componentType == TINYGLTF_COMPONENT_TYPE_SHORT) {
        damaged(what + "'s indices are not unsigned integers");
    }
    idx.reserve(v.count);
    for (double d : v.data) {
        if (d >= static_cast<double>(vertexCount)) {
            damaged(what + " has an index past its last vertex");
        }
        idx.push_back(static_cast<std::uint32_t>(d));
    }
    return idx;
}

namespace {

// Triangles of a list, strip or fan, as corner triples.
std::vector<std::uint32_t> triangulate(const std::vector<std::uint32_t>& idx, int mode) {
    std::vector<std::uint32_t> c;
    const std::size_t n = idx.size();
    if (mode == TINYGLTF_MODE_TRIANGLES) {
        c.assign(idx.begin(), idx.begin() + static_cast<std::ptrdiff_t>(n - n % 3));
    } else if (mode == TINYGLTF_MODE_TRIANGLE_STRIP) {
        for (std::size_t i = 0; i + 2 < n; ++i) { // every other one turned to keep its facing
            const std::size_t odd = i % 2;
            c.insert(c.end(), {idx[i], idx[i + 1 + odd], idx[i + 2 - odd]});
        }
    } else {
        for (std::size_t i = 1; i + 1 < n; ++i) {
            c.insert(c.end(), {idx[i], idx[i + 1], idx[0]});
        }
    }
    return c;
}

std::string attributeKey(const tinygltf::Primitive& p, std::size_t instance) {
    std::string key = std::to_string(instance);
    for (const auto& [name, index] : p.attributes) {
        if (name == "POSITION" || name.rfind("JOINTS_", 0) == 0 || name.rfind("WEIGHTS_", 0) == 0) {
            key += " " + name + "=" + std::to_string(index);
        }
    }
    for (const auto& t : p.targets) {
        const auto it = t.find("POSITION");
        key += " T" + std::to_string(it == t.end() ? -1 : it->second);
    }
    return key;
}

// Joints and weights of every JOINTS_n / WEIGHTS_n pair.
void readSkinAttributes(const Model& m, const tinygltf::Primitive& p, VertexSource& s,
                        const std::string& what) {
    for (std::size_t set = 0;; ++set) {
        const auto j = p.attributes.find("JOINTS_" + num(set));
        const auto w = p.attributes.find("WEIGHTS_" + num(set));
        if (j == p.attributes.end() || w == p.attributes.end()) {
            break;
        }
        const Values jv = readAccessor(m, j->second, {TINYGLTF_TYPE_VEC4}, what + "'s joints");
        const Values wv = readAccessor(m, w->second, {TINYGLTF_TYPE_VEC4}, what + "'s weights");
        if (jv.count != s.count || wv.count != s.count) {
            damaged(what + "'s joints or weights do not match its vertices");
        }
        if ((jv.componentType != TINYGLTF_COMPONENT_TYPE_UNSIGNED_BYTE &&
             jv.componentType != TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT) ||
            m.accessors[static_cast<std::size_t>(j->second)].normalized) {
            damaged(what + "'s joints are not unsigned whole numbers");
        }
        const std::size_t was = s.influences;
        s.influences += 4;
        std::vector<std::uint32_t> joints(s.count * s.influences);
        std::vector<double> weights(s.count * s.influences);
        for (std::size_t v = 0; v < s.count; ++v) {
            for (std::size_t k = 0; k < was; ++k) {
                joints[v * s.influences + k] = s.joints[v * was + k];
                weights[v * s.influences + k] = s.weights[v * was + k];
            }
            for (std::size_t k = 0; k < 4; ++k) {
                joints[v * s.influences + was + k] = static_cast<std::uint32_t>(jv.data[v * 4 + k]);
                weights[v * s.influences + was + k] = wv.data[v * 4 + k];
            }
        }
        s.joints = std::move(joints);
        s.weights = std::move(weights);
    }
}

// Skin weights mended while reading, counted for the warnings.
struct WeightMends {
    std::size_t reweighted = 0; // vertices whose weights did not add up to one
    std::size_t padded = 0;     // influences of weight zero naming a joint past the skin's last
};

// Farther from one than float rounding takes the weights of a well-made file.
constexpr double kWeightSumTolerance = 2e-3;

// Skins every vertex as viewers do: its weights divided by their sum, or,
// when they add up to nothing, wholly by the first joint it lists. An
// influence of weight zero counts for nothing whatever joint it names
// (exporters pad unused ones with the index past the skin's last joint); one
// with weight naming a joint the skin does not have is damage.
void mendWeights(VertexSource& s, std::size_t skinJoints, WeightMends& mends, const std::string& what) {
    const std::size_t n = s.influences;
    for (std::size_t v = 0; v < s.count; ++v) {
        double* w = s.weights.data() + v * n;
        const std::uint32_t* j = s.joints.data() + v * n;
        double sum = 0;
        for (std::size_t k = 0; k < n; ++k) {
            sum += w[k];
        }
        mends.reweighted += std::abs(sum - 1) > kWeightSumTolerance ? 1 : 0;
        for (std::size_t k = 0; k < n; ++k) {
            w[k] = sum > 0 ? w[k] / sum : k == 0 ? 1 : 0;
        }
        for (std::size_t k = 0; k < n; ++k) {
            if (j[k] >= skinJoints && w[k] != 0) {
                damaged(what + " names a joint its skin does not have");
            }
            mends.padded += j[k] >= skinJoints ? 1 : 0;
        }
    }
}

std::size_t addSource(const Model& m, const tinygltf::Primitive& p, std::size_t instance,
                      Geometry& g, std::map<std::string, std::size_t>& known, WeightMends& mends,
                      const std::string& what) {
    const std::string key = attributeKey(p, instance);
    if (const auto it = known.find(key); it != known.end()) {
        return it->second;
    }
    VertexSource s;
    s.instance = static_cast<int>(instance);
    const Values pos = readAccessor(m, p.attributes.at("POSITION"), {TINYGLTF_TYPE_VEC3}, what + "'s positions");
    s.count = pos.count;
    s.base = pos.data;
    for (std::size_t t = 0; t < p.targets.size(); ++t) {
        const auto it = p.targets[t].find("POSITION");
        if (it == p.targets[t].end()) {
            s.targets.emplace_back(s.count * 3, 0.0);
            continue;
        }
        Values d = readAccessor(m, it->second, {TINYGLTF_TYPE_VEC3}, what + "'s morph target " + num(t));
        if (d.count != s.count) {
            damaged(what + "'s morph target " + num(t) + " does not match its vertices");
        }
        s.targets.push_back(std::move(d.data));
    }
    const int skin = m.nodes[static_cast<std::size_t>(g.instances[instance].node)].skin;
    if (skin >= 0) {
        readSkinAttributes(m, p, s, what);
        mendWeights(s, m.skins[static_cast<std::size_t>(skin)].joints.size(), mends, what);
    }
    s.firstVertex = g.vertices;
    g.vertices += s.count;
    g.sources.push_back(std::move(s));
    known.emplace(key, g.sources.size() - 1);
    return g.sources.size() - 1;
}

} // namespace

Geometry readGeometry(const Model& m, const std::vector<Instance>& instances, std::vector<std::string>& warnings) {
    Geometry g;
    g.instances = instances;
    std::map<std::string, std::size_t> known;
    std::size_t skipped = 0;
    WeightMends mends;
    for (std::size_t i = 0; i < instances.size(); ++i) {
        const tinygltf::Mesh& mesh = m.meshes[static_cast<std::size_t>(instances[i].mesh)];
        const int skin = m.nodes[static_cast<std::size_t>(instances[i].node)].skin;
        if (skin >= 0 && static_cast<std::size_t>(skin) >= m.skins.size()) {
            damaged("node " + std::to_string(instances[i].node) + " names a skin that does not exist");
        }
        for (std::size_t pi = 0; pi < mesh.primitives.size(); ++pi) {
            const tinygltf::Primitive& p = mesh.primitives[pi];
            const std::string what = "mesh " + std::to_string(instances[i].mesh) + " primitive " + num(pi);
            const int mode = p.mode < 0 ? TINYGLTF_MODE_TRIANGLES : p.mode;
            if (mode != TINYGLTF_MODE_TRIANGLES && mode != TINYGLTF_MODE_TRIANGLE_STRIP &&
                mode != TINYGLTF_MODE_TRIANGLE_FAN) {
                ++skipped;
                continue;
            }
            if (p.attributes.count("POSITION") == 0) {
                damaged(what + " has no positions");
            }
            Primitive prim;
            prim.source = addSource(m, p, i, g, known, mends, what);
            const std::size_t count = g.sources[prim.source].count;
            prim.corners = triangulate(readIndices(m, p, count, what), mode);
            prim.material = p.material;
            if (p.material >= 0 && static_cast<std::size_t>(p.material) >= m.materials.size()) {
                damaged(what + " names a material that does not exist");
            }
            // The texture coordinates the material's texture is sampled with.
            const int set = texCoordSet(m, p.material);
            auto uv = p.attributes.find("TEXCOORD_" + std::to_string(set));
            if (uv == p.attributes.end() && set != 0) {
                warnings.push_back(what + " has no texture coordinate set " + std::to_string(set) +
                                   ", which its material's texture names: set 0 used");
                uv = p.attributes.find("TEXCOORD_0");
            }
            if (uv != p.attributes.end()) {
                Values t = readAccessor(m, uv->second, {TINYGLTF_TYPE_VEC2}, what + "'s texture coordinates");
                if (t.count != count) {
                    damaged(what + "'s texture coordinates do not match its vertices");
                }
                prim.uv = std::move(t.data);
            }
            g.primitives.push_back(std::move(prim));
        }
    }
    if (skipped > 0) {
        warnings.push_back(num(skipped) + " primitive(s) of points or lines skipped: the game draws triangles only");
    }
    if (mends.reweighted > 0) {
        warnings.push_back(num(mends.reweighted) + " vertices have skin weights that do not add up to one:"
                           " each vertex's weights were divided by their sum (all zero: its first joint)");
    }
    if (mends.padded > 0) {
        warnings.push_back(num(mends.padded) + " skin influence(s) of weight zero name a joint the skin does"
                           " not have: ignored");
    }
    return g;
}

// --- evaluating the scene at one moment

Pose restPose(const Model& m) {
    Pose p;
    const std::size_t n = m.nodes.size();
    p.translation.assign(n, {0, 0, 0});
    p.rotation.assign(n, {0, 0, 0, 1});
    p.scale.assign(n, {1, 1, 1});
    p.weights.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        const tinygltf::Node& node = m.nodes[i];
        if (node.translation.size() == 3) {
            p.translation[i] = {node.translation[0], node.translation[1], node.translation[2]};
        }
        if (node.rotation.size() == 4) {
            p.rotation[i] = normalized({node.rotation[0], node.rotation[1], node.rotation[2], node.rotation[3]});
        }
        if (node.scale.size() == 3) {
            p.scale[i] = {node.scale[0], node.scale[1], node.scale[2]};
        }
        const std::size_t targets = morphTargetCount(m, static_cast<int>(i));
        std::vector<double> w(targets, 0.0);
        const std::vector<double>& given =
            !node.weights.empty() ? node.weights
            : node.mesh >= 0 && static_cast<std::size_t>(node.mesh) < m.meshes.size()
                ? m.meshes[static_cast<std::size_t>(node.mesh)].weights
                : node.weights;
        std::copy_n(given.begin(), std::min(given.size(), targets), w.begin());
        p.weights[i] = std::move(w);
    }
    return p;
}

std::vector<Mat4> worldMatrices(const Scene& sc, const Pose& p) {
    std::vector<Mat4> world(sc.model.nodes.size(), kIdentity);
    for (int n : sc.order) {
        const auto i = static_cast<std::size_t>(n);
        const tinygltf::Node& node = sc.model.nodes[i];
        Mat4 local;
        if (node.matrix.size() == 16) {
            std::copy_n(node.matrix.begin(), 16, local.begin());
        } else {
            local = composeTrs(p.translation[i], p.rotation[i], p.scale[i]);
        }
        world[i] = sc.parent[i] < 0 ? local : multiply(world[static_cast<std::size_t>(sc.parent[i])], local);
    }
    return world;
}

// The positions of every glTF vertex, in the mesh's axes, appended to `out`.
void evaluate(const Scene& sc, const Geometry& g, const Pose& p, std::vector<float>& out) {
    const std::vector<Mat4> world = worldMatrices(sc, p);
    std::vector<Mat4> jointMatrices;
    for (const VertexSource& s : g.sources) {
        const Instance& inst = g.instances[static_cast<std::size_t>(s.instance)];
        const tinygltf::Node& node = sc.model.nodes[static_cast<std::size_t>(inst.node)];
        const std::vector<double>& w = p.weights[static_cast<std::size_t>(inst.node)];
        const bool skinned = node.skin >= 0 && s.influences > 0;
        if (skinned) {
            const tinygltf::Skin& skin = sc.model.skins[static_cast<std::size_t>(node.skin)];
            jointMatrices.resize(skin.joints.size());
            for (std::size_t j = 0; j < skin.joints.size(); ++j) {
                jointMatrices[j] = multiply(world[static_cast<std::size_t>(skin.joints[j])],
                                            sc.inverseBind[static_cast<std::size_t>(node.skin)][j]);
            }
        }
        const Mat4& nodeWorld = world[static_cast<std::size_t>(inst.node)];
        for (std::size_t v = 0; v < s.count; ++v) {
            Vec3 pos = {s.base[v * 3], s.base[v * 3 + 1], s.base[v * 3 + 2]};
            for (std::size_t t = 0; t < s.targets.size() && t < w.size(); ++t) {
                if (w[t] != 0) {
                    for (int c = 0; c < 3; ++c) {
                        pos[static_cast<std::size_t>(c)] += w[t] * s.targets[t][v * 3 + static_cast<std::size_t>(c)];
                    }
                }
            }
            Vec3 r = {0, 0, 0};
            if (skinned) {
                for (std::size_t k = 0; k < s.influences; ++k) {
                    const double wk = s.weights[v * s.influences + k];
                    if (wk != 0) {
                        const Vec3 q = transformPoint(jointMatrices[s.joints[v * s.influences + k]], pos);
                        for (int c = 0; c < 3; ++c) {
                            r[static_cast<std::size_t>(c)] += wk * q[static_cast<std::size_t>(c)];
                        }
                    }
                }
            } else {
                r = transformPoint(nodeWorld, pos);
            }
            out.push_back(static_cast<float>(r[0])); // X = x
            out.push_back(static_cast<float>(r[2])); // Y = z
            out.push_back(static_cast<float>(r[1])); // Z = y
        }
    }
}

std::vector<std::vector<Mat4>> inverseBindMatrices(const Model& m) {
    std::vector<std::vector<Mat4>> all;
    for (std::size_t s = 0; s < m.skins.size(); ++s) {
        const tinygltf::Skin& skin = m.skins[s];
        for (int j : skin.joints) {
            if (j < 0 || static_cast<std::size_t>(j) >= m.nodes.size()) {
                damaged("skin " + num(s) + " names a joint that does not exist");
            }
        }
        std::vector<Mat4> mats(skin.joints.size(), kIdentity);
        if (skin.inverseBindMatrices >= 0) {
            const Values v = readAccessor(m, skin.inverseBindMatrices, {TINYGLTF_TYPE_MAT4},
                                          "skin " + num(s) + "'s inverse bind matrices");
            if (v.count < skin.joints.size()) {
                damaged("skin " + num(s) + " has fewer inverse bind matrices than joints");
            }
            for (std::size_t j = 0; j < mats.size(); ++j) {
                std::copy_n(v.data.begin() + static_cast<std::ptrdiff_t>(j * 16), 16, mats[j].begin());
            }
        }
        all.push_back(std::move(mats));
    }
    return all;
}

} // namespace meshfold::gltf
