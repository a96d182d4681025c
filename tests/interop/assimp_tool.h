// The independent reference: the Open Asset Import Library's command-line tool
// (`assimp`, Debian package assimp-utils), run as a separate process, and a
// reader for the Wavefront OBJ file it exports.
#pragma once

#include <array>
#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

namespace meshfold::interop {

namespace fs = std::filesystem;

// Processes are started with the POSIX calls of the test support; on Windows
// the interop test skips.
#ifdef _WIN32
inline constexpr bool kCanRunPrograms = false;
#else
inline constexpr bool kCanRunPrograms = true;
#endif

// One corner as the importer reports it: the three signed bit fields of the
// packed word (X and Y 11 bits, Z 10 bits), which assimp writes unscaled.
struct FieldTriple {
    int x = 0;
    int y = 0;
    int z = 0;
    bool operator==(const FieldTriple&) const = default;
};

using ObjFace = std::array<FieldTriple, 3>;

// One mesh of the export: the faces of one material, in the order written.
struct ObjGroup {
    std::vector<ObjFace> faces;
};

struct ObjScene {
    std::vector<ObjGroup> groups;
    std::string error; // empty when the text was read completely
};

// Reads the OBJ text that `assimp export` writes for a vertex mesh:
//   v X Y Z            one line per distinct position (1-based, file-wide)
//   usemtl NAME        starts the faces of the next mesh
//   f A/T/N B/T/N C/T/N  a triangle; only the position index A, B, C is used
// Every coordinate must be a whole number and every face a triangle whose
// indices name an earlier `v` line; anything else sets `error`.
ObjScene parseAssimpObj(const std::string& text);

} // namespace meshfold::interop
