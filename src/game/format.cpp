#include "meshfold/game/format.h"

namespace meshfold {

TriangleRecord decodeTriangle(const std::uint8_t* p) {
    TriangleRecord t;
    for (std::size_t c = 0; c < 3; ++c) {
        t.vertex[c] = readLe16(p + kTriVertexOffset + 2 * c);
        t.u[c] = p[kTriUvOffset + 2 * c];
        t.v[c] = p[kTriUvOffset + 2 * c + 1];
    }
    t.attr0 = p[kTriAttr0Offset];
    t.attr1 = p[kTriAttr1Offset];
    t.attr2 = p[kTriAttr2Offset];
    t.attr3 = p[kTriAttr3Offset];
    return t;
}

void encodeTriangle(const TriangleRecord& t, std::uint8_t* out) {
    for (std::size_t c = 0; c < 3; ++c) {
        writeLe16(out + kTriVertexOffset + 2 * c, t.vertex[c]);
        out[kTriUvOffset + 2 * c] = t.u[c];
        out[kTriUvOffset + 2 * c + 1] = t.v[c];
    }
    out[kTriAttr0Offset] = t.attr0;
    out[kTriAttr1Offset] = t.attr1;
    out[kTriAttr2Offset] = t.attr2;
    out[kTriAttr3Offset] = t.attr3;
}

TriangleRecord reverseWinding(const TriangleRecord& t) {
    TriangleRecord r = t;
    for (std::size_t c = 0; c < 3; ++c) {
        r.vertex[c] = t.vertex[2 - c];
        r.u[c] = t.u[2 - c];
        r.v[c] = t.v[2 - c];
    }
    return r;
}

} // namespace meshfold
