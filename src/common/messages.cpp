#include "meshfold/common/messages.h"

#include <cstdio>

namespace meshfold {

namespace {

template <typename... Values> std::string format(const char* fmt, Values... values) {
    char buf[512];
    std::snprintf(buf, sizeof buf, fmt, values...);
    return buf;
}

// The refusals of a mesh that cannot be taken back to the Unreal form.
std::string vertexCountMessage(std::uint64_t count, const char* why) {
    return format("\n\n%llu %s not fit the Unreal form (%s) !\n",
                  static_cast<unsigned long long>(count), count == 1 ? "vertex does" : "vertices do",
                  why);
}

} // namespace

std::string failureMessage(const Failure& failure) {
    const std::string& f = failure.file;
    switch (failure.stop) {
    case Stop::None:
        return {};
    case Stop::CantOpen:
        return "\n\nCan't open file " + f + " !\n";
    case Stop::NoFrameCount:
        return "\n\nProblem reading data file: could not read number of frames !\n";
    case Stop::FrameCountInvalid:
        return "\n\nNumber of animation frames invalid !\n";
    case Stop::NoFrameSize:
        return "\n\nProblem reading data file: could not read frame size !\n";
    case Stop::NoPolygonCount:
        return "\n\nProblem reading data file: could not read number of polygons !\n";
    case Stop::PolygonCountInvalid:
        return "\n\nNumber of polygons invalid !";
    case Stop::NoVertexCount:
        return "\n\nProblem reading data file: could not read number of vertices !\n";
    case Stop::VertexCountInvalid:
        return "\n\nNumber of vertices invalid !";
    case Stop::NoTriangles:
        return "\n\nProblem reading data file: could not read triangles !\n";
    case Stop::AlreadyConverted:
        return "\n\nMesh file has already been converted !\n";
    case Stop::UnknownVertexFormat:
        return "\n\nCound not determine vertex format !\n";
    case Stop::FrameSizeTooLarge:
        return "\n\nFrame size too large to convert !\n";
    case Stop::CantOpenForWriting:
        return "\n\nCan't open file " + f + " for writing !\n";
    case Stop::FrameCountWrite:
        // No newline after this one: it has always been printed that way.
        return "\n\nProblem writing to file " + f + " !";
    case Stop::WriteFailed:
        return "\n\nProblem writing to file " + f + " !\n";
    case Stop::VertexWrite:
        return "\n\nCould not write vertex !\n";
    case Stop::ReadFailed:
        // A read error is not the end of the file: converting what came before
        // it would silently drop the rest of the user's vertices.
        return "\n\nProblem reading file " + f + " !\n";
    case Stop::NotAMesh:
        return "\n\n" + f + " is not a mesh file: a mesh is the two files NAME_a.3d and" +
               " NAME_d.3d !\n";
    case Stop::CantOpenFolder:
        return "\n\nCan't open folder " + f + " !\n";
    case Stop::NoMeshInFolder:
        return "\n\nNo mesh in folder " + f + ": a mesh is the two files NAME_a.3d and" +
               " NAME_d.3d !\n";
    case Stop::FolderNotWritable:
        return "\n\nCan't replace file " + f + ": no new file can be created in its folder !\n";
    case Stop::OwnerOnlyFolder:
        return "\n\nCan't replace file " + f +
               ": it belongs to another user, in a folder where only a file's owner may replace it !\n";
    case Stop::NameTooLong:
        return "\n\nCan't replace file " + f +
               ": its name is too long for the temporary file made beside it !\n";
    case Stop::InUse:
        return "\n\nCan't open file " + f + ": it is in use by another program !\n";
    case Stop::AlreadyUnreal:
        return "\n\nMesh file is already in the Unreal form !\n";
    case Stop::NotDeusExVertices:
        return vertexCountMessage(failure.count, "fourth word not 0: not a Deus Ex mesh");
    case Stop::VerticesDoNotFit:
        return vertexCountMessage(failure.count, "use -h to keep every value");
    case Stop::NotGltf:
        return "\n\nFile " + f + " is not a glTF 2.0 file !\n";
    case Stop::GltfDamaged:
        return "\n\nFile " + f + " is damaged or truncated" +
               (failure.detail.empty() ? "" : ": " + failure.detail) + " !\n";
    case Stop::GltfExtension:
        return "\n\nFile " + f + " needs the extension " + failure.detail +
               ", which changes its geometry and which meshfold cannot read !\n";
    case Stop::GltfCompressed:
        return "\n\nFile " + f + " needs the extension " + failure.detail +
               ", which compresses its meshes and which meshfold cannot read: export it again without"
               " mesh compression !\n";
    case Stop::GltfOutsideFolder:
        return "\n\nFile " + f + " refers to " + failure.detail +
               ", which is not a file in its folder !\n";
    case Stop::GltfMissingFile:
        return "\n\nFile " + f + " refers to " + failure.detail + ", which cannot be read !\n";
    case Stop::GltfNoTriangles:
        return "\n\nFile " + f + " holds no triangles !\n";
    case Stop::TooManyVertices:
        return "\n\nFile " + f + " gives " + std::to_string(failure.count) +
               " vertices, more than a frame of 65535 bytes holds in this form (8191 Deus Ex, 16383 Unreal)" +
               (failure.detail.empty() ? "" : ": " + failure.detail) + " !\n";
    case Stop::TooManyTriangles:
        return "\n\nFile " + f + " gives " + std::to_string(failure.count) +
               " triangles, more than the 65535 a mesh holds !\n";
    case Stop::TooManyFrames:
        return "\n\nFile " + f + " gives " +
               (failure.detail.empty() ? std::to_string(failure.count) : "animation " + failure.detail + " more than 65535") +
               " frames, more than the 65535 a mesh holds (try a lower --fps) !\n";
    case Stop::TooMuchVertexData:
        return "\n\nFile " + f + " holds more vertex data than any mesh could use" +
               (failure.detail.empty() ? "" : " (" + failure.detail + ")") + " !\n";
    case Stop::CoordinateOutOfRange:
        return "\n\nFile " + f + " reaches " + failure.detail +
               ": use --fit to scale it into the form !\n";
    case Stop::FileChanged:
        return "\n\nFile " + f + " changed while it was being converted: nothing was replaced !\n";
    case Stop::FolderSync:
        return "\n\nCan't flush the folder of file " + f + " to disk: nothing was replaced !\n";
    case Stop::NoWholeFrame:
        return "\n\nAnimation file " + f + " is too short to hold one whole frame !\n";
    case Stop::GltfTooLarge:
        return "\n\nCan't write file " + f + ": the mesh takes more than the 4 GiB a .glb file can hold !\n";
    case Stop::TooManyOpenFiles:
        return "\n\nCan't write the new files of " + f + ": they need " + std::to_string(failure.count) +
               " files open at once, and this process may open " + failure.detail + " (ulimit -n) !\n";
    case Stop::PackageMeshTooLarge:
        return "\n\nCan't write mesh " + f + ": it has " + failure.detail + " !\n";
    case Stop::RecoveryFailed:
        return "\n\nCan't clean up after an interrupted run on file " + f + ": " + failure.detail +
               " !\n";
    }
    return {};
}

std::string summaryLine(const Tally& t, bool dryRun, bool exported) {
    const unsigned meshes = t.converted + t.alreadyConverted + t.failed;
    if (exported) {
        return format("\n\n%u meshes: %u %s, %u failed\n", meshes, t.converted,
                      dryRun ? "would be exported" : "exported", t.failed);
    }
    return format("\n\n%u meshes: %u %s, %u already converted, %u failed\n", meshes, t.converted,
                  dryRun ? "would be converted" : "converted", t.alreadyConverted, t.failed);
}

std::string exportReport(const ExportFigures& x, bool dryRun) {
    return "\n  " + std::string(dryRun ? "Would write " : "Wrote ") + x.file +
           format(": %u frame%s, %llu vertices, %llu material%s, %llu bytes", x.frames,
                  x.frames == 1 ? "" : "s", static_cast<unsigned long long>(x.vertices),
                  static_cast<unsigned long long>(x.materials), x.materials == 1 ? "" : "s",
                  static_cast<unsigned long long>(x.bytes)) +
           std::string(dryRun ? kDryRunDone : kExportDone);
}

std::string plainSlotWarning(const std::string& animFile, unsigned slot, const std::string& texture,
                             PlainSlot why, const std::string& file, const std::string& reason) {
    std::string text = "meshfold: warning: " + animFile + format(": texture slot %u is ", slot) + texture;
    switch (why) {
    case PlainSlot::NotInPackage:
        text += ", which the package does not import (a texture of the game's own?)";
        break;
    case PlainSlot::NoFile:
        text += ", whose file " + file + " is not in the package";
        break;
    case PlainSlot::Unreadable:
        text += ", whose file " + file + " cannot be read";
        break;
    case PlainSlot::Undecodable:
        text += ", whose file " + file + " cannot be decoded: " + reason;
        break;
    }
    return text + "; the slot stays plain\n";
}

std::string textureLine(unsigned slot, const std::string& texture, const std::string& file,
                        std::uint32_t width, std::uint32_t height) {
    return format("\n  Texture slot %u: ", slot) + texture + " (" + file + format(", %u x %u)", width, height);
}

std::string meshFormLine(bool deusEx) {
    return deusEx ? "\n  Deus Ex vertex format" : "\n  Unreal vertex format";
}

std::string switchConflictWarning(const std::string& conflict) {
    return "meshfold: " + conflict + ": nothing was done\n";
}

std::string unusedFrameBytesLine(unsigned bytes) {
    return format("\n  %u unused bytes per frame left out", bytes);
}

std::string unknownSwitchWarning(const std::string& arg) {
    return "meshfold: unknown switch " + arg + ": nothing was converted\n";
}

std::string caseCandidatesNote(const std::string& file, const std::vector<std::string>& candidates) {
    std::string note = "meshfold: there is no " + file +
                       ", and more than one file differs from that name only in case: ";
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        note += (i == 0 ? "" : ", ") + candidates[i];
    }
    return note + "\n";
}

std::string vertexBytesWarning(const std::string& animFile, std::uint64_t vertexBytes,
                               unsigned frameCount, unsigned frameSize) {
    const unsigned long long expected = 1ull * frameCount * frameSize;
    return "meshfold: warning: " + animFile +
           format(" holds %llu bytes of vertices where %u frames of %u bytes make %llu:"
                  " the file is %s, and a frame will come out garbled in the game\n",
                  static_cast<unsigned long long>(vertexBytes), frameCount, frameSize, expected,
                  vertexBytes < expected ? "truncated" : "padded");
}

std::string triangleIndexWarning(const std::string& dataFile, unsigned badTriangles,
                                 unsigned polygonCount, unsigned firstBad, unsigned firstBadIndex,
                                 unsigned vertexCount) {
    return "meshfold: warning: " + dataFile +
           format(": %u of %u triangles %s a vertex beyond the mesh's %u vertices"
                  " (the first is triangle %u, counting from 0, with vertex %u):"
                  " the data file is broken\n",
                  badTriangles, polygonCount, badTriangles == 1 ? "uses" : "use", vertexCount,
                  firstBad, firstBadIndex);
}

std::string discardNote(const std::string& found, bool several, bool dryRun) {
    return "meshfold: found " + found +
           ", left by a run that was cut short before it replaced anything: " +
           (dryRun ? "would remove " : "removed ") + (several ? "them\n" : "it\n");
}

std::string finishNote(const std::string& found, const std::string& replaced,
                       const std::string& other, const std::string& temp,
                       const std::string& backups, bool dryRun) {
    return "meshfold: found " + found + ", left by a run that was cut short between replacing " +
           replaced + " and " + other + ": " + (dryRun ? "would move " : "moved ") + temp +
           " over " + other + " and " + (dryRun ? "remove " : "removed ") + backups +
           ", which completes that conversion\n";
}

std::string dropBackupNote(const std::string& found, bool several, bool dryRun) {
    return "meshfold: found " + found +
           ", left by a run that was cut short after its conversion was complete: " +
           (dryRun ? "would remove" : "removed") + (several ? " them\n" : " it\n");
}

std::string leftoverNotOursWarning(const std::string& path) {
    return "meshfold: warning: " + path +
           " is named like a file meshfold leaves behind, but it is a link, not a regular file,"
           " or another user's: left alone\n";
}

std::string smallScaleWarning(const std::string& animFile) {
    return "meshfold: warning: " + animFile +
           " looks converted without -h: every coordinate of its first frame lies within"
           " -128..128, and taken back with -h the mesh will be tiny\n";
}

std::string weaponTriangleWarning(const std::string& dataFile, unsigned weaponTriangles) {
    return "meshfold: warning: " + dataFile +
           format(" has %u weapon triangle%s: -ms reverses %s corner order with every other"
                  " triangle, and the game places a held weapon by that order\n",
                  weaponTriangles, weaponTriangles == 1 ? "" : "s",
                  weaponTriangles == 1 ? "its" : "their");
}

std::string packageRefusalMessage(const std::string& object, const std::string& reason) {
    return "meshfold: " + object + " is left out: " + reason + "\n";
}

std::string unmappedFlagsWarning(const std::string& mesh, unsigned triangles, unsigned first,
                                 std::uint32_t bits) {
    return "meshfold: warning: " + mesh +
           format(": %u triangle%s polygon flags 0x%08X, which no _d.3d polygon type holds"
                  " (the first is triangle %u, counting from 0): the _d.3d file keeps the rest"
                  " of %s flags\n",
                  triangles, triangles == 1 ? " carries" : "s carry", bits, first,
                  triangles == 1 ? "its" : "their");
}

std::string copiedAsStoredWarning(const std::string& mesh, bool deusEx, const std::string& switches) {
    return "meshfold: warning: " + mesh + " is stored in the " + (deusEx ? "Deus Ex" : "Unreal") +
           " form already: its vertices are copied as stored, and " + switches +
           " change nothing\n";
}

std::string packageTextureWarning(const std::string& texture, TextureNote note,
                                  const std::string& detail) {
    std::string text = "meshfold: warning: " + texture;
    switch (note) {
    case TextureNote::ImportedPalette:
        return text + ": its palette " + detail +
               " lives in another package, whose colours this one does not hold: no texture file"
               " is written\n";
    case TextureNote::NoPalette:
        return text + " has no palette: no texture file is written\n";
    case TextureNote::NoMips:
        return text + " holds no pixels (no mip): no texture file is written\n";
    case TextureNote::CannotDecode:
        return text + " is stored as " + detail +
               ", which meshfold cannot decode: no texture file is written\n";
    case TextureNote::CannotWrite:
        return text + " is " + detail + ", more than an 8-bit PCX file holds: no texture file is"
               " written\n";
    case TextureNote::CompressedCopy:
        return text + ": its palette cannot be used, so its " + detail +
               " copy is written, made 8-bit\n";
    case TextureNote::Resized:
        return text + " is resized from " + detail +
               ": a texture's sides must be powers of two for the engine's importer\n";
    case TextureNote::ProceduralData:
        return text + " is a " + detail +
               ": its first frame is written as a plain texture, and its settings are not kept\n";
    case TextureNote::SharedName:
        return text + " shares its name with another texture of the package: written as " +
               detail + ", and its slots name it in full\n";
    }
    return text + "\n";
}

std::string packageListingLine(const std::string& package, unsigned version, std::size_t meshes,
                               std::size_t textures) {
    return "\nPackage " + package +
           format(" (version %u): %zu mesh%s, %zu texture%s", version, meshes,
                  meshes == 1 ? "" : "es", textures, textures == 1 ? "" : "s");
}

namespace {

std::string joined(const std::vector<std::string>& items) {
    std::string text;
    for (std::size_t i = 0; i < items.size(); ++i) {
        text += (i == 0 ? "" : ", ") + items[i];
    }
    return text;
}

} // namespace

std::string meshListingLine(const MeshListing& m) {
    std::string line = "\nMesh " + m.name + ": " + m.className + ", " +
                       (m.deusEx ? "Deus Ex" : "Unreal") + " form" +
                       format(", %u frame%s, %u vert%s, %u triangle%s", m.frames,
                              m.frames == 1 ? "" : "s", m.vertices, m.vertices == 1 ? "ex" : "ices",
                              m.triangles, m.triangles == 1 ? "" : "s");
    if (m.weaponTriangles > 0) {
        line += format(" (%u weapon triangle%s)", m.weaponTriangles, m.weaponTriangles == 1 ? "" : "s");
    }
    line += "; sequences: " + (m.sequences.empty() ? std::string("none") : joined(m.sequences));
    return line + "; texture slots: " + (m.slots.empty() ? std::string("none") : joined(m.slots));
}

std::string textureListingLine(const TextureListing& t) {
    std::string line = "\nTexture " + t.name + (t.group.empty() ? "" : " (group " + t.group + ")") +
                       format(": %u x %u, ", t.width, t.height) + t.format +
                       (t.masked ? ", masked" : "");
    if (t.file.empty()) {
        return line + "; not written";
    }
    return line + (t.madeEightBit ? "; made 8-bit as " : "; as ") + t.file;
}

std::string refusedListingLine(const std::string& object, const std::string& reason) {
    return "\nLeft out " + object + ": " + reason;
}

} // namespace meshfold
