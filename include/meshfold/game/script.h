// The import lines of an Unreal package's scripts: which mesh a package
// imports from which files, its sequences, and which texture (from which
// file, with which flags) goes on each of its texture slots.
//
// A package as its author keeps it: PKG/Classes/*.uc hold the `#exec` lines,
// which name the mesh and texture files relative to PKG (`Models\x_a.3d`,
// `Textures\Skin.pcx`). The lines read:
//   #exec MESH IMPORT MESH=m ANIVFILE=path DATAFILE=path ...
//   #exec MESH SEQUENCE MESH=m SEQ=s STARTFRAME=a NUMFRAMES=n [RATE=r]
//   #exec MESHMAP NEW MESHMAP=map MESH=m
//   #exec MESHMAP SETTEXTURE MESHMAP=map NUM=n TEXTURE=t
//   #exec TEXTURE IMPORT [NAME=t] FILE=path [GROUP=g] [FLAGS=f]
// Words and keys in any case; values bare or in double quotes (which may hold
// spaces); `KEY = value` with spaces around the `=` too. Text inside `//` and
// `/* */` comments does not count. Every other line is ignored.
//
// Pure: text in, records out. Finding the package and its files is
// the package folder's (bridge/package_folder.h).
#pragma once

#include "meshfold/game/sequence.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace meshfold {

struct MeshImportLine {
    std::string mesh;     // MESH=
    std::string animFile; // ANIVFILE=, as written
    std::string dataFile; // DATAFILE=, as written
};

struct MeshMapLine {
    std::string meshMap; // MESHMAP=
    std::string mesh;    // MESH=
};

struct SetTextureLine {
    std::string meshMap; // MESHMAP=
    std::uint8_t slot = 0; // NUM=, 0 to 255
    std::string texture; // TEXTURE=, perhaps qualified (Pkg.Group.Name)
};

struct TextureImportLine {
    std::string name;  // NAME=, or the file's base name when there is none
    std::string file;  // FILE=, as written
    std::string group; // GROUP=, empty when none
    std::uint32_t flags = 0; // FLAGS=, 0 when none
};

struct SequenceLine {
    std::string mesh; // MESH=
    MeshSequence clip;
};

// The lines of one script or several, in the order read.
struct ExecLines {
    std::vector<MeshImportLine> meshImports;
    std::vector<MeshMapLine> meshMaps;
    std::vector<SetTextureLine> setTextures;
    std::vector<TextureImportLine> textureImports;
    std::vector<SequenceLine> sequences;
};

// `text` with its comments replaced by spaces (a `//` comment up to the end
// of its line, a `/* */` one over as many lines as it takes; line breaks are
// kept). A `//` or `/*` inside a double-quoted value starts no comment.
std::string withoutComments(std::string_view text);

// Appends the `#exec` lines of a script's text to `lines`. A line missing
// what it needs (MESH IMPORT without MESH= or ANIVFILE=, SETTEXTURE without a
// number from 0 to 255 or a texture, TEXTURE IMPORT without FILE=, SEQUENCE
// without a name or a frame count of at least 1) is left out. A sequence
// without RATE= (or with one that is no number above 0 and up to 1000) runs
// at `fps`.
void readExecLines(std::string_view text, double fps, ExecLines& lines);

// The last part of a qualified name: "Skins.Body" and "Pkg.Skins.Body" give
// "Body".
std::string_view unqualifiedName(std::string_view name);

// The parts of a path written in a script, split at `/` and `\`, empty and
// "." parts left out: "Models\\x_a.3d" gives {"Models", "x_a.3d"}.
std::vector<std::string> scriptPathParts(std::string_view path);

// The texture a slot of a mesh gets from its lines.
struct SlotTexture {
    std::uint8_t slot = 0;
    std::string texture; // as the SETTEXTURE line names it
    std::optional<TextureImportLine> import; // none: the package does not import it
};

// The slots of mesh `mesh`: for each slot that a SETTEXTURE line of a mesh
// map of it sets (a mesh map is named like the mesh, or made from it by a
// MESHMAP NEW line; names ignore case), the texture of the last such line,
// with the last TEXTURE IMPORT whose name is the texture's unqualified name;
// of those, where the texture is qualified (Pkg.Group.Name, Group.Name), the
// last whose GROUP= the qualifier ends with, when there is one (two textures
// of a package may share a name in different groups). In slot order.
std::vector<SlotTexture> meshSlotTextures(const ExecLines& lines, std::string_view mesh);

// The sequences of mesh `mesh` (MESH= ignoring case), in order.
std::vector<MeshSequence> meshSequences(const ExecLines& lines, std::string_view mesh);

} // namespace meshfold
