// What the steps of a run share: the session every mesh of the run prints
// and writes through, the record one mesh's conversion holds between its
// steps, the row of steps of each kind of mesh, and the few helpers every
// step uses. The driver (run.cpp) picks a mesh's kind once and calls its
// steps in order; the steps of each kind live beside it (game_steps.h,
// gltf_steps.h) and work on the same records.
#pragma once

#include "meshfold/game/conversion.h"
#include "bridge/gltf_export.h"
#include "bridge/gltf_import.h"
#include "meshfold/common/messages.h"
#include "cli/names.h"
#include "meshfold/cli/options.h"
#include "meshfold/platform/platform.h"
#include "commit/recovery.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace meshfold {

// What every mesh of a run shares: where it prints, whether it writes at all,
// and the conversion buffers (64 KiB in, 128 KiB out, whatever the mesh).
struct Session {
    std::FILE* out;
    std::FILE* err;
    bool dryRun;
    bool sharedTerminal = false; // out and err show on one terminal
    LeftoverIndex leftovers = {};
    ConversionBuffers buffers = {};
    PackageScripts packageScripts = {}; // --to-gltf --uc: the Classes scripts read last
    TexturePngs texturePngs = {};       // and the PNGs of the last mesh's textures
};

struct Conversion;

// The steps of one kind of mesh. The driver chooses a mesh's kind once, when
// the mesh is named (run.cpp keeps one row a kind), and then only calls
// through it: adding a kind is adding a row and its steps.
struct MeshKind {
    // Whether a mesh named with these options is of this kind.
    bool (*takes)(const RunOptions& o);
    // The file the mesh is made from, which a failure of the mesh as a whole
    // names.
    const std::string& (*source)(const RunOptions& o);
    // Everything before the new files are written, once its leftovers are
    // recovered: the reading, the checks and the warnings. What writing
    // needs is kept in the record until release(); c.newFiles counts the
    // temporary files write() will make.
    Failure (*prepare)(Session& io, Conversion& c);
    // The new files in temporary files (in a dry run, in memory only); those
    // begun are gone again when it fails.
    Failure (*write)(Session& io, Conversion& c);
    // The same anew from what prepare() kept, once write()'s files are gone:
    // the mesh written again on its own.
    Failure (*writeAgain)(Session& io, Conversion& c);
    // The lines that end the mesh's block once its new files are in place.
    std::string (*doneReport)(const Session& io, const Conversion& c);
};

// Everything the conversion of one mesh holds between its steps.
struct Conversion {
    const NamedMesh* named = nullptr; // the name it was found by
    const MeshKind* kind = nullptr;   // its steps, chosen with its name
    RunOptions options;
    bool live = false;  // its lines go out as they come (nothing before it waits)
    std::string lines;  // else they wait here until the mesh is done
    InputFile anim;
    FileStamp animRead; // the files as they were opened for reading
    FileStamp dataRead;
    MeshInspection inspected;   // what inspection read of the game's files
    ConvertedVertices converted; // the ranges written (a mesh made from a glTF file's too)
    ExportFigures exported;      // what an export wrote
    bool vertexBytesChecked = false; // the bytes after the header warned about, once
    std::uint64_t bytesWritten = 0; // to temporary files
    ImportedMesh imported; // a mesh made from a glTF file, from its read until it is written
    std::size_t newFiles = 0; // the temporary files its new files take, counted before they are written
    Replacement newAnim;
    Replacement newData;
    Replacement newScript; // NAME.uc of a mesh made from a glTF file, with --uc
    std::vector<Replacement> newTextures; // and its textures
    Failure failure;
};

// Prints text at once, so that a console shows each line as it happens.
void say(std::FILE* out, std::string_view text);

// Prints lines for standard error. Where they show on the same terminal as
// standard output, which leaves its last line open for the next message, each
// note starts a line of its own and leaves its last one open in turn, as the
// messages on standard output do.
void note(Session& io, std::string_view text);

// Prints a mesh's progress: at once while it is live, else kept in its lines.
void emit(Session& io, Conversion& c, std::string_view text);

// Why `file` cannot be replaced, as the platform tells it; Ok gives `unknown`.
Failure refusal(ReplaceCheck why, const std::string& file, Stop unknown);

// Whether this user can replace `file` (or, with `mayCreate`, make it).
Failure replaceable(const std::string& file, bool mayCreate = false);

// Writes to the temporary file, or in a dry run nowhere.
bool writeAll(Session& io, Conversion& c, Replacement& r, const std::uint8_t* bytes,
              std::size_t size);

// Removes every temporary file the mesh has begun.
void abandon(Conversion& c);

// Finishes or undoes what a run that was cut short left for this mesh.
Failure recoverLeftovers(Session& io, const Conversion& c);

// The lines that end the block of a mesh whose game files were written: the
// coordinate ranges and the completion line (in a dry run, that nothing was
// written).
std::string rangesReport(const Session& io, const Conversion& c);

} // namespace meshfold
