// What the steps of a run share: the session every mesh of the run prints
// and writes through, the record one mesh's conversion holds between its
// steps, and the few helpers every step uses. The driver (run.cpp) calls the
// steps in order; the glTF steps (gltf_steps.h) work on the same records.
#pragma once

#include "meshfold/game/convert.h"
#include "meshfold/game/format.h"
#include "meshfold/game/frames.h"
#include "bridge/gltf_export.h"
#include "bridge/gltf_import.h"
#include "meshfold/game/inspect.h"
#include "meshfold/common/messages.h"
#include "cli/names.h"
#include "meshfold/cli/options.h"
#include "bridge/package_folder.h"
#include "meshfold/platform/platform.h"
#include "commit/recovery.h"
#include "meshfold/game/reverse.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace meshfold {

// Words converted per read. A read always holds a whole frame of the
// largest size, 65535 bytes.
inline constexpr std::size_t kChunkWords = 16384;
static_assert(kChunkWords * kPackedVertexSize > kMaxFrameSize);

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using InputFile = std::unique_ptr<std::FILE, FileCloser>;

// What every mesh of a run shares: where it prints, whether it writes at all,
// and the conversion buffers (64 KiB in, 128 KiB out, whatever the mesh).
struct Session {
    std::FILE* out;
    std::FILE* err;
    bool dryRun;
    bool sharedTerminal = false; // out and err show on one terminal
    LeftoverIndex leftovers = {};
    std::vector<std::uint8_t> in = std::vector<std::uint8_t>(kChunkWords * kPackedVertexSize);
    std::vector<std::uint8_t> wide = std::vector<std::uint8_t>(kChunkWords * kWideVertexSize);
    PackageScripts packageScripts = {}; // --to-gltf --uc: the Classes scripts read last
    TexturePngs texturePngs = {};       // and the PNGs of the last mesh's textures
};

// Everything the conversion of one mesh holds between its steps.
struct Conversion {
    const NamedMesh* named = nullptr; // the name it was found by
    RunOptions options;
    bool live = false;  // its lines go out as they come (nothing before it waits)
    std::string lines;  // else they wait here until the mesh is done
    InputFile anim;
    FileStamp animRead; // the files as they were opened for reading
    FileStamp dataRead;
    MeshHeaderInfo info;
    FrameForm frames;
    std::vector<std::uint8_t> dataStart; // the data file as far as inspection read it
    CoordRanges ranges;
    PackingTally packing; // of the vertices taken back to the Unreal form
    ExportFigures exported; // what an export wrote
    bool smallScale = false; // taken back with -h, its first frame as a conversion without -h writes it
    std::uint64_t vertexBytes = 0;  // bytes after the animation file's header
    bool vertexBytesChecked = false; // and warned about, once
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

Failure fail(Stop stop, const std::string& file = {});

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

} // namespace meshfold
