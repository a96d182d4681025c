// The glTF reader's small linear algebra: column-major 4x4 matrices,
// points, and quaternions (x, y, z, w).
#pragma once

#include <algorithm>
#include <array>
#include <cmath>

namespace meshfold::gltf {

using Mat4 = std::array<double, 16>;
using Vec3 = std::array<double, 3>;
using Quat = std::array<double, 4>;

inline constexpr Mat4 kIdentity = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

inline Mat4 multiply(const Mat4& a, const Mat4& b) {
    Mat4 m{};
    for (int c = 0; c < 4; ++c) {
        for (int r = 0; r < 4; ++r) {
            double s = 0;
            for (int k = 0; k < 4; ++k) {
                s += a[k * 4 + r] * b[c * 4 + k];
            }
            m[c * 4 + r] = s;
        }
    }
    return m;
}

inline Vec3 transformPoint(const Mat4& m, const Vec3& p) {
    return {m[0] * p[0] + m[4] * p[1] + m[8] * p[2] + m[12],
            m[1] * p[0] + m[5] * p[1] + m[9] * p[2] + m[13],
            m[2] * p[0] + m[6] * p[1] + m[10] * p[2] + m[14]};
}

inline double determinant3(const Mat4& m) {
    return m[0] * (m[5] * m[10] - m[9] * m[6]) - m[4] * (m[1] * m[10] - m[9] * m[2]) +
           m[8] * (m[1] * m[6] - m[5] * m[2]);
}

inline Quat normalized(Quat q) {
    const double len = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
    if (!(len > 0) || !std::isfinite(len)) {
        return {0, 0, 0, 1};
    }
    for (double& c : q) {
        c /= len;
    }
    return q;
}

// Below this angle (radians) between two unit quaternions, linear
// interpolation differs from spherical by less than double precision holds.
inline constexpr double kLinearBelow = 1e-9;

// Spherical interpolation of unit quaternions, exact down to the closest
// keys: the angle comes from atan2 of the chord and its complement, which
// keeps its precision where acos of the dot product loses it.
inline Quat slerp(const Quat& a, Quat b, double s) {
    const double d = a[0] * b[0] + a[1] * b[1] + a[2] * b[2] + a[3] * b[3];
    if (d < 0) { // the shorter way round
        for (double& c : b) {
            c = -c;
        }
    }
    double apart = 0;
    double together = 0;
    for (int c = 0; c < 4; ++c) {
        apart += (a[c] - b[c]) * (a[c] - b[c]);
        together += (a[c] + b[c]) * (a[c] + b[c]);
    }
    const double theta = 2 * std::atan2(std::sqrt(apart), std::sqrt(together));
    double wa = 1 - s;
    double wb = s;
    if (theta >= kLinearBelow) {
        const double sinTheta = std::sin(theta);
        wa = std::sin((1 - s) * theta) / sinTheta;
        wb = std::sin(s * theta) / sinTheta;
    }
    return normalized({wa * a[0] + wb * b[0], wa * a[1] + wb * b[1], wa * a[2] + wb * b[2],
                       wa * a[3] + wb * b[3]});
}

// T * R * S.
inline Mat4 composeTrs(const Vec3& t, const Quat& r, const Vec3& s) {
    const double x = r[0], y = r[1], z = r[2], w = r[3];
    Mat4 m = {1 - 2 * (y * y + z * z), 2 * (x * y + z * w),     2 * (x * z - y * w),     0,
              2 * (x * y - z * w),     1 - 2 * (x * x + z * z), 2 * (y * z + x * w),     0,
              2 * (x * z + y * w),     2 * (y * z - x * w),     1 - 2 * (x * x + y * y), 0,
              t[0],                    t[1],                    t[2],                    1};
    for (int c = 0; c < 3; ++c) {
        for (int r2 = 0; r2 < 3; ++r2) {
            m[c * 4 + r2] *= s[c];
        }
    }
    return m;
}

} // namespace meshfold::gltf
