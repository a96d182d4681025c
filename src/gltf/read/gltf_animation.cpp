// Animation: the channels and samplers of an animation, its frames, and its
// value at any moment (STEP, LINEAR with slerp for rotations, CUBICSPLINE).
#include "gltf/read/gltf_reader.h"

#include <algorithm>
#include <cmath>

namespace meshfold::gltf {

namespace {

// Key times closer than this to a sample are that key.
constexpr double kKeySnap = 1e-6;

} // namespace

// --- animation

std::size_t morphTargetCount(const Model& m, int node) {
    const int mesh = m.nodes[static_cast<std::size_t>(node)].mesh;
    if (mesh < 0 || static_cast<std::size_t>(mesh) >= m.meshes.size()) {
        return 0;
    }
    std::size_t n = 0;
    for (const auto& p : m.meshes[static_cast<std::size_t>(mesh)].primitives) {
        n = std::max(n, p.targets.size());
    }
    return n;
}

Animation readAnimation(const Model& m, std::size_t index, double fps) {
    const tinygltf::Animation& a = m.animations[index];
    Animation out;
    out.name = a.name.empty() ? "Anim" + num(index + 1) : a.name;
    const std::string what = "animation " + num(index);
    std::vector<int> samplerWidth(a.samplers.size(), -1);
    std::vector<bool> samplerRotation(a.samplers.size(), false);
    for (const tinygltf::AnimationChannel& c : a.channels) {
        if (c.sampler < 0 || static_cast<std::size_t>(c.sampler) >= a.samplers.size() ||
            c.target_node < 0 || static_cast<std::size_t>(c.target_node) >= m.nodes.size()) {
            damaged(what + " has a channel with no sampler or node");
        }
        Channel ch;
        ch.sampler = static_cast<std::size_t>(c.sampler);
        ch.node = c.target_node;
        std::size_t width = 3;
        if (c.target_path == "translation") {
            ch.path = Channel::Translation;
        } else if (c.target_path == "rotation") {
            ch.path = Channel::Rotation;
            width = 4;
        } else if (c.target_path == "scale") {
            ch.path = Channel::Scale;
        } else if (c.target_path == "weights") {
            ch.path = Channel::Weights;
            width = morphTargetCount(m, c.target_node);
            if (width == 0) {
                continue;
            }
        } else {
            continue; // nothing a vertex depends on
        }
        samplerWidth[ch.sampler] = static_cast<int>(width);
        samplerRotation[ch.sampler] = ch.path == Channel::Rotation;
        out.channels.push_back(ch);
    }
    bool any = false;
    for (std::size_t s = 0; s < a.samplers.size(); ++s) {
        Sampler smp;
        if (samplerWidth[s] < 0) {
            out.samplers.push_back(std::move(smp));
            continue;
        }
        const tinygltf::AnimationSampler& as = a.samplers[s];
        const std::string sw = what + " sampler " + num(s);
        smp.width = static_cast<std::size_t>(samplerWidth[s]);
        smp.rotation = samplerRotation[s];
        smp.interpolation = as.interpolation == "STEP"          ? Sampler::Step
                            : as.interpolation == "CUBICSPLINE" ? Sampler::Cubic
                                                                : Sampler::Linear;
        const Values in = readAccessor(m, as.input, {TINYGLTF_TYPE_SCALAR}, sw + "'s times");
        const Values val = readAccessor(m, as.output, {TINYGLTF_TYPE_SCALAR, TINYGLTF_TYPE_VEC3, TINYGLTF_TYPE_VEC4}, sw + "'s values");
        smp.times = in.data;
        smp.values = val.data;
        const std::size_t per = (smp.interpolation == Sampler::Cubic ? 3 : 1) * smp.width;
        if (smp.times.empty() || smp.values.size() != smp.times.size() * per) {
            damaged(sw + " has values that do not match its times");
        }
        if (!std::is_sorted(smp.times.begin(), smp.times.end())) {
            damaged(sw + "'s times do not increase");
        }
        out.start = any ? std::min(out.start, smp.times.front()) : smp.times.front();
        out.end = any ? std::max(out.end, smp.times.back()) : smp.times.back();
        any = true;
        out.samplers.push_back(std::move(smp));
    }
    if (!any) {
        out.frames = 1;
        return out;
    }
    const double steps = (out.end - out.start) * fps;
    if (!(steps < 2.0 * kMaxCount)) {
        refuse(GltfProblem::TooManyFrames, out.name);
    }
    out.frames = static_cast<std::uint64_t>(std::floor(steps + kKeySnap)) + 1;
    if (out.start + static_cast<double>(out.frames - 1) / fps < out.end - kKeySnap) {
        ++out.frames; // the last key is always a frame
    }
    return out;
}

namespace {

// The value of a sampler at time t, `width` values into `out`.
void sample(const Sampler& s, double t, double* out) {
    const std::size_t keys = s.times.size();
    const bool cubic = s.interpolation == Sampler::Cubic;
    const std::size_t per = (cubic ? 3 : 1) * s.width;
    const std::size_t valueAt = cubic ? s.width : 0; // a cubic key: in-tangent, value, out-tangent
    auto value = [&](std::size_t k) { return s.values.data() + k * per + valueAt; };
    const auto upper = std::upper_bound(s.times.begin(), s.times.end(), t);
    if (upper == s.times.begin() || keys == 1) {
        std::copy_n(value(0), s.width, out);
        return;
    }
    if (upper == s.times.end()) {
        std::copy_n(value(keys - 1), s.width, out);
        return;
    }
    const std::size_t k = static_cast<std::size_t>(upper - s.times.begin()) - 1;
    const double dt = s.times[k + 1] - s.times[k];
    double f = dt > 0 ? (t - s.times[k]) / dt : 0;
    if (f < kKeySnap) {
        f = 0;
    } else if (f > 1 - kKeySnap) {
        f = 1;
    }
    if (s.interpolation == Sampler::Step || f == 0 || f == 1) {
        std::copy_n(value(f == 1 ? k + 1 : k), s.width, out);
        return;
    }
    if (!cubic && s.rotation) {
        const double* a = value(k);
        const double* b = value(k + 1);
        const Quat q = slerp(normalized({a[0], a[1], a[2], a[3]}), normalized({b[0], b[1], b[2], b[3]}), f);
        std::copy_n(q.begin(), 4, out);
        return;
    }
    if (!cubic) {
        for (std::size_t c = 0; c < s.width; ++c) {
            out[c] = value(k)[c] * (1 - f) + value(k + 1)[c] * f;
        }
        return;
    }
    const double f2 = f * f, f3 = f2 * f;
    const double* outTangent = s.values.data() + k * per + 2 * s.width;
    const double* inTangent = s.values.data() + (k + 1) * per;
    for (std::size_t c = 0; c < s.width; ++c) {
        out[c] = (2 * f3 - 3 * f2 + 1) * value(k)[c] + (f3 - 2 * f2 + f) * dt * outTangent[c] +
                 (-2 * f3 + 3 * f2) * value(k + 1)[c] + (f3 - f2) * dt * inTangent[c];
    }
}

} // namespace

void applyAnimation(const Animation& a, double t, Pose& p) {
    double v[4];
    for (const Channel& c : a.channels) {
        const Sampler& s = a.samplers[c.sampler];
        const auto n = static_cast<std::size_t>(c.node);
        if (c.path == Channel::Weights) {
            std::vector<double>& w = p.weights[n];
            std::vector<double> got(s.width);
            sample(s, t, got.data());
            std::copy_n(got.begin(), std::min(got.size(), w.size()), w.begin());
            continue;
        }
        sample(s, t, v);
        if (c.path == Channel::Translation) {
            p.translation[n] = {v[0], v[1], v[2]};
        } else if (c.path == Channel::Rotation) {
            p.rotation[n] = normalized({v[0], v[1], v[2], v[3]});
        } else {
            p.scale[n] = {v[0], v[1], v[2]};
        }
    }
}

} // namespace meshfold::gltf
