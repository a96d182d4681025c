// The export step of a run with --to-gltf: the mesh that inspection accepted,
// in either form, written as NAME.glb beside its animation file (see
// gltf_write.h for what the file holds). The mesh's own files are only read.
#pragma once

#include "meshfold/game/frames.h"
#include "meshfold/gltf/write/gltf_write.h"
#include "meshfold/game/inspect.h"
#include "meshfold/common/messages.h"
#include "meshfold/common/run_options.h"
#include "bridge/package_folder.h"
#include "meshfold/platform/platform.h"

#include <cstdint>
#include <cstdio>
#include <map>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace meshfold {

// The PNGs a run made for its last mesh's textures, kept for its next mesh:
// the meshes of a package often share a texture (a weapon's views its skin).
// One mesh's images are held at a time; a run starts with none.
struct TexturePngs {
    struct Kept {
        std::string path; // the texture file
        bool paletted = false;
        std::uint32_t width = 0;
        std::uint32_t height = 0;
        std::vector<std::pair<std::pair<GltfAlpha, bool>, GltfImage>> pngs; // by alpha and masking
    };
    std::vector<Kept> images;
};

// The texture files of a package held in memory (a compiled package's folder, never written),
// by the path a slot's import resolves to.
using TextureFiles = std::map<std::string, std::vector<std::uint8_t>>;

struct GltfExportJob {
    const RunOptions& options;
    std::FILE* anim;                    // open for reading; read from its header on; null: animBytes
    const MeshHeaderInfo& info;
    const FrameForm& frames;            // Packed, PackedWithRoomToSpare or Wide
    std::span<const std::uint8_t> data; // the whole data file, every triangle in it
    bool dryRun;                        // plan and size the file, write nothing
    std::vector<std::uint8_t>& buffer;  // room for one frame (65535 bytes)
    PackageScripts& scripts;            // with --uc: the package scripts the run read last
    TexturePngs& pngs;                  // with --uc: the PNGs of the run's last mesh, then of this one
    // A mesh held in memory rather than on disk: the whole animation file, the package it is
    // in (instead of the scripts read from disk, with --uc) and its texture files; and where
    // the .glb goes instead of `out` (its bytes appended).
    std::span<const std::uint8_t> animBytes = {};
    const MeshPackage* package = nullptr;
    const TextureFiles* textureFiles = nullptr;
    std::vector<std::uint8_t>* toMemory = nullptr;
};

struct GltfExportResult {
    Failure failure;
    ExportFigures figures;
    std::uint64_t vertexBytes = 0; // bytes after the animation file's header
    std::string lines;                 // progress: the textures embedded (with --uc)
    std::vector<std::string> warnings; // the texture slots left plain, one line each
};

// With --uc, the sequences and the slots' textures of the package the mesh
// is in (see package_folder.h) go into the file too: each slot's texture file
// is read and decoded once, and each way its materials show it is encoded
// once as a PNG, which the plan holds while the frames are written. A file
// whose PNGs another slot or the run's last mesh made (job.pngs) is not read
// again; the package's scripts come from job.scripts when it holds them.
// Slots that show the same PNG (one texture on several slots) share one
// image of the file.
//
// Reads the frames twice, the way the game does (frame k's N vertices start
// k frame sizes after the header): once for their bounds, once to write them
// into `out`, a replacement of NAME.glb begun here and left for the commit.
// Only whole frames are written; an animation file too short for frame 0
// stops with NoWholeFrame, a file that would pass 4 GiB with GltfTooLarge,
// a read error with ReadFailed; a failure to begin or write the new file
// with CantOpenForWriting (out.refused says why) or WriteFailed.
GltfExportResult exportGltf(const GltfExportJob& job, Replacement& out);

} // namespace meshfold
