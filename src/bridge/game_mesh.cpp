#include "meshfold/bridge/game_mesh.h"

#include "meshfold/game/format.h"
#include "meshfold/game/script.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>

namespace meshfold {

namespace {

constexpr std::uint32_t kMaxCount = 65535;
constexpr char kAxisNames[3] = {'X', 'Y', 'Z'};

// Units of glTF in one step of each axis of a form.
double stepsPerUnit(int axis, bool unreal) {
    return !unreal ? 256.0 : axis == 2 ? 4.0 : 8.0;
}

std::string decimal(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", v);
    return text;
}

// The extent of each axis over every frame.
struct Extent {
    double low[3] = {0, 0, 0};
    double high[3] = {0, 0, 0};
    bool any = false;
};

Extent extentOf(const GltfRead& read) {
    Extent e;
    for (std::size_t i = 0; i + 2 < read.positions.size(); i += 3) {
        for (int a = 0; a < 3; ++a) {
            const double v = read.positions[i + static_cast<std::size_t>(a)];
            e.low[a] = e.any ? std::min(e.low[a], v) : v;
            e.high[a] = e.any ? std::max(e.high[a], v) : v;
        }
        e.any = true;
    }
    return e;
}

Failure limitFailure(Stop stop, const std::string& file, std::uint64_t count) {
    Failure f{stop, file};
    f.count = count;
    return f;
}

// The first axis some coordinate of which does not fit, as "X from A to B
// (the form takes C to D)"; empty when all fit.
std::string outOfRange(const GltfRead& read, double factor, bool unreal) {
    const Extent e = extentOf(read);
    const FormLimits l = formLimits(unreal);
    for (int a = 0; a < 3; ++a) {
        const long highest = !unreal ? 32767 : a == 2 ? 511 : 1023;
        const long lowest = -highest - 1;
        const long lowStep = quantiseCoordinate(e.low[a] * factor, a, unreal);
        const long highStep = quantiseCoordinate(e.high[a] * factor, a, unreal);
        if (e.any && (lowStep < lowest || highStep > highest)) {
            return std::string(1, kAxisNames[a]) + " from " + decimal(e.low[a] * factor) + " to " +
                   decimal(e.high[a] * factor) + " (the form takes " + decimal(l.low[a]) + " to " +
                   decimal(l.high[a]) + ")";
        }
    }
    return {};
}

void writeAnim(const GltfRead& read, const GameMeshOptions& o, double factor, std::uint16_t frameSize,
               GameMesh& out) {
    const std::size_t vertexSize = o.unreal ? kPackedVertexSize : kWideVertexSize;
    out.anim.assign(kAnimHeaderSize + std::size_t{read.frameCount} * frameSize, 0);
    writeLe16(out.anim.data(), static_cast<std::uint16_t>(read.frameCount));
    writeLe16(out.anim.data() + 2, frameSize);
    for (std::size_t f = 0; f < read.frameCount; ++f) {
        std::uint8_t* frame = out.anim.data() + kAnimHeaderSize + f * frameSize;
        for (std::size_t v = 0; v < read.vertexCount; ++v) {
            const float* p = read.positions.data() + (f * read.vertexCount + v) * 3;
            long q[3];
            for (int a = 0; a < 3; ++a) {
                q[a] = quantiseCoordinate(p[a] * factor, a, o.unreal);
            }
            includeInRange(out.ranges.x, static_cast<std::int16_t>(q[0]));
            includeInRange(out.ranges.y, static_cast<std::int16_t>(q[1]));
            includeInRange(out.ranges.z, static_cast<std::int16_t>(q[2]));
            std::uint8_t* at = frame + v * vertexSize;
            if (o.unreal) {
                const std::uint32_t word = (static_cast<std::uint32_t>(q[0]) & 0x7FF) << kPackedXShift |
                                           (static_cast<std::uint32_t>(q[1]) & 0x7FF) << kPackedYShift |
                                           (static_cast<std::uint32_t>(q[2]) & 0x3FF) << kPackedZShift;
                writeLe32(at, word);
            } else {
                encodeWideVertex({static_cast<std::int16_t>(q[0]), static_cast<std::int16_t>(q[1]),
                                  static_cast<std::int16_t>(q[2])},
                                 at);
            }
        }
    }
}

std::vector<std::uint8_t> dataFile(const GltfRead& read) {
    std::vector<std::uint8_t> data(kDataHeaderSize + read.triangles.size() * kTriangleRecordSize, 0);
    writeLe16(data.data(), static_cast<std::uint16_t>(read.triangles.size()));
    writeLe16(data.data() + 2, static_cast<std::uint16_t>(read.vertexCount));
    for (std::size_t t = 0; t < read.triangles.size(); ++t) {
        const GltfTriangle& g = read.triangles[t];
        TriangleRecord r;
        for (std::size_t k = 0; k < 3; ++k) {
            r.vertex[k] = static_cast<std::uint16_t>(g.vertex[k]);
            r.u[k] = g.u[k];
            r.v[k] = g.v[k];
        }
        r.attr0 = g.attr[0];
        r.attr1 = g.attr[1];
        r.attr2 = g.attr[2];
        r.attr3 = g.attr[3];
        encodeTriangle(r, data.data() + kDataHeaderSize + t * kTriangleRecordSize);
    }
    return data;
}

} // namespace

std::vector<MeshSequence> scriptSequences(std::string_view text, double fps) {
    ExecLines lines;
    readExecLines(text, fps, lines);
    std::vector<MeshSequence> clips;
    for (SequenceLine& s : lines.sequences) {
        clips.push_back(std::move(s.clip));
    }
    return clips;
}

FormLimits formLimits(bool unreal) {
    if (!unreal) {
        return {{-128, -128, -128}, {32767 / 256.0, 32767 / 256.0, 32767 / 256.0}};
    }
    return {{-128, -128, -128}, {1023 / 8.0, 1023 / 8.0, 511 / 4.0}};
}

long quantiseCoordinate(double v, int axis, bool unreal) {
    const double scaled = v * stepsPerUnit(axis, unreal);
    const double r = std::round(scaled); // halves away from zero
    return r > 1e9 ? 1000000000L : r < -1e9 ? -1000000000L : static_cast<long>(r);
}

double fitFactor(const GltfRead& read, bool unreal) {
    const Extent e = extentOf(read);
    const FormLimits l = formLimits(unreal);
    double factor = 0;
    bool bounded = false;
    for (int a = 0; a < 3; ++a) {
        for (const double limitOverValue : {e.high[a] > 0 ? l.high[a] / e.high[a] : 0.0,
                                            e.low[a] < 0 ? l.low[a] / e.low[a] : 0.0}) {
            if (limitOverValue > 0) {
                factor = bounded ? std::min(factor, limitOverValue) : limitOverValue;
                bounded = true;
            }
        }
    }
    return bounded ? factor : 1.0;
}

GameMesh buildGameMesh(const GltfRead& read, const GameMeshOptions& o, const std::string& fileName) {
    GameMesh out;
    const std::uint32_t vertexSize = o.unreal ? kPackedVertexSize : kWideVertexSize;
    const std::uint32_t polygons = read.restored ? readLe16(read.restored->dataFile.data())
                                                 : static_cast<std::uint32_t>(read.triangles.size());
    if (std::uint64_t{read.vertexCount} * vertexSize > kMaxFrameSize) {
        out.failure = limitFailure(Stop::TooManyVertices, fileName, read.vertexCount);
        if (!o.unreal && std::uint64_t{read.vertexCount} * kPackedVertexSize <= kMaxFrameSize) {
            out.failure.detail = "--to-unreal takes them"; // the packed form's frames have room
        }
        return out;
    }
    if (polygons > kMaxCount) {
        out.failure = limitFailure(Stop::TooManyTriangles, fileName, polygons);
        return out;
    }
    if (read.frameCount > kMaxCount) {
        out.failure = limitFailure(Stop::TooManyFrames, fileName, read.frameCount);
        return out;
    }
    out.factor = o.fit ? fitFactor(read, o.unreal) : 1.0;
    // A factor a hair too large for a value rounding up past the last step.
    for (int tries = 0; tries < 4 && o.fit && !outOfRange(read, out.factor, o.unreal).empty(); ++tries) {
        out.factor = std::nextafter(out.factor, 0.0) * (1 - 1e-12);
    }
    if (const std::string where = outOfRange(read, out.factor, o.unreal); !where.empty()) {
        out.failure = Failure{Stop::CoordinateOutOfRange, fileName, where};
        return out;
    }
    std::uint16_t frameSize = static_cast<std::uint16_t>(read.vertexCount * vertexSize);
    if (read.restored && read.restored->deusEx != o.unreal && read.restored->frameSize > frameSize) {
        frameSize = read.restored->frameSize; // the room to spare the file had
    }
    writeAnim(read, o, out.factor, frameSize, out);
    out.data = read.restored ? read.restored->dataFile : dataFile(read);
    out.frames = read.frameCount;
    out.vertices = read.vertexCount;
    out.polygons = polygons;
    return out;
}

std::string scriptIdentifier(const std::string& name) {
    // An identifier starts with a letter or "_": a leading digit gets one in
    // front (decided first, so that nothing is inserted into the string).
    const bool digitFirst = !name.empty() && name[0] >= '0' && name[0] <= '9';
    std::string id = name.empty() || digitFirst ? "_" : "";
    for (const char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        id += ok ? c : '_';
    }
    return id;
}

std::string importScript(const std::string& meshName, const GltfRead& read, const GameMesh& mesh,
                         bool unreal, double scale,
                         const std::vector<GameTexture>& gameTex) {
    const std::string name = scriptIdentifier(meshName);
    std::string s;
    s += "#exec MESH IMPORT MESH=" + name + " ANIVFILE=Models\\" + meshName + "_a.3d DATAFILE=Models\\" +
         meshName + "_d.3d X=0 Y=0 Z=0\n";
    s += "#exec MESH ORIGIN MESH=" + name + " X=0 Y=0 Z=0\n";
    s += "#exec MESH SEQUENCE MESH=" + name + " SEQ=All STARTFRAME=0 NUMFRAMES=" +
         std::to_string(mesh.frames) + "\n";
    std::set<std::string> used = {"All"};
    for (const GltfSequence& q : read.sequences) {
        if (q.name == "All" && q.firstFrame == 0 && q.frameCount == mesh.frames) {
            continue; // the one above, as a file written with --uc has it
        }
        std::string seq = scriptIdentifier(q.name);
        for (int n = 2; !used.insert(seq).second; ++n) {
            seq = scriptIdentifier(q.name) + "_" + std::to_string(n);
        }
        s += "#exec MESH SEQUENCE MESH=" + name + " SEQ=" + seq + " STARTFRAME=" +
             std::to_string(q.firstFrame) + " NUMFRAMES=" + std::to_string(q.frameCount) +
             " RATE=" + decimal(q.rate) + "\n";
    }
    s += "#exec MESHMAP NEW MESHMAP=" + name + " MESH=" + name + "\n";
    // One glTF unit is `scale` engine units: the inverse of each axis's steps
    // per unit, and of what --fit scaled by, times `scale`.
    std::string axis[3];
    for (int a = 0; a < 3; ++a) {
        char text[32];
        std::snprintf(text, sizeof text, "%.9g", scale / (stepsPerUnit(a, unreal) * mesh.factor));
        axis[a] = text;
    }
    s += "#exec MESHMAP SCALE MESHMAP=" + name + " X=" + axis[0] + " Y=" + axis[1] + " Z=" +
         axis[2] + "\n";
    std::set<unsigned> textures;
    if (read.restored) {
        const std::vector<std::uint8_t>& d = read.restored->dataFile;
        for (std::size_t at = kDataHeaderSize; at + kTriangleRecordSize <= d.size() &&
                                               (at - kDataHeaderSize) / kTriangleRecordSize < mesh.polygons;
             at += kTriangleRecordSize) {
            textures.insert(d[at + kTriAttr2Offset]);
        }
    } else {
        for (const GltfTriangle& t : read.triangles) {
            textures.insert(t.attr[2]);
        }
    }
    for (const GameTexture& t : gameTex) {
        if (textures.count(t.number) != 0 && !t.sameAsEarlier) {
            s += "#exec TEXTURE IMPORT NAME=" + t.name + " FILE=" + t.scriptFile +
                 (t.group.empty() ? std::string{} : " GROUP=" + t.group) +
                 (t.flags != 0 ? " FLAGS=" + std::to_string(t.flags) : std::string{}) + "\n";
        }
    }
    for (const unsigned t : textures) {
        const auto own = std::find_if(gameTex.begin(), gameTex.end(),
                                      [t](const GameTexture& g) { return g.number == t; });
        s += (own != gameTex.end() ? "#exec MESHMAP SETTEXTURE MESHMAP=" : "// #exec MESHMAP SETTEXTURE MESHMAP=") +
             name + " NUM=" + std::to_string(t) + " TEXTURE=" +
             (own != gameTex.end() ? own->name : name + "Tex" + std::to_string(t)) + "\n";
    }
    return s;
}

} // namespace meshfold
