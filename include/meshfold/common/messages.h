// Everything meshfold prints, and the stops that end a run.
//
// The wording is the tool's own and users' batch scripts match on it, so every
// text stays byte for byte as it has always been printed, odd spellings
// ("Cound not") and the missing final newline of some messages included.
// Every message starts with a newline so that consecutive messages form lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace meshfold {

inline constexpr std::string_view kBanner = "\nUnreal to Deus Ex mesh converter, v1.2"
                                            "\nWritten by Tolvane\n";

inline constexpr std::string_view kHelpText =
    "\nmeshfold will convert an Unreal or Unreal Tournament mesh file"
    "\ninto a format suitable for Deus Ex. This allows the use of"
    "\nexisting Unreal tools that do not work with Deus Ex.\n"
    "\nUsage: meshfold <part of filename before the \"_\">\n"
    "\nFor example:"
    "\nmeshfold BunnyDroid"
    "\nwill convert a file named BunnyDroid_a.3d\n"
    "\nThe -ms option will compensate for models exported from MilkShape."
    "\nFor example:"
    "\nmeshfold -ms BunnyDroid\n"
    "\nYou will need to have your .3d files in the same directory."
    "\nThis program *will* overwrite your _a.3d file, so make a backup"
    "\nof it if necessary.  Your _d.3d file will also be overwritten"
    "\nwhen using the -ms option.\n";

// Printed after the help text when it was asked for with --help: what the
// tool takes, so that it can be learnt from the tool itself. A run without
// arguments prints the help text alone, as it always has.
inline constexpr std::string_view kSwitchList =
    "\nSwitches, anywhere on the line, apply to every mesh named:"
    "\n  -ms          MilkShape fix: keep the sign of X, reverse every triangle"
    "\n  -h           hi-res: write every bit of each coordinate, at 256 times the scale"
    "\n  --to-unreal  take Deus Ex meshes back to the Unreal form: the inverse of a"
    "\n               conversion made with the same -ms and -h"
    "\n  --to-gltf    write each mesh, every frame of it, as NAME.glb (glTF 2.0) beside"
    "\n               it, for any 3D viewer or editor; the mesh itself stays as it is"
    "\n  --fps N      the frame rate of that file's animation, or at which a glTF file's"
    "\n               animations are sampled (default 30)"
    "\n  --fit        a glTF file's mesh scaled uniformly to the form's full range"
    "\n  --scale S    S engine units to a glTF unit in NAME.uc's MESHMAP SCALE (on top of"
    "\n               --fit); 52.5 for a model made in metres (default 1)"
    "\n  --uc         with a glTF file, also write NAME.uc, the lines that import the mesh,"
    "\n               and each texture as an 8-bit PCX beside the file;"
    "\n               with --to-gltf, the sequences and textures that the NAME.uc beside it"
    "\n               and the package's Classes/*.uc import"
    "\n  --texture-size N  the largest side of those textures: a power of two from 1"
    "\n               to 1024 (default 256)"
    "\n  --dry-run    show what would happen, but change no file"
    "\n  --           end of the switches: what follows is a name, even if it starts with -"
    "\n  --help       this text (also -?)"
    "\n  --version    the name and version alone\n"
    "\nOn Windows /ms, /h and /? work too. Any other switch is an error, and then"
    "\nnothing is converted.\n"
    "\nA mesh is named by NAME, NAME_a.3d or NAME_d.3d (or NAME_a, as Explorer shows"
    "\nit), with or without a folder in front; its files may be named in any case."
    "\nA folder names every mesh in it. Name several meshes to convert them all:"
    "\nmeshfold -ms *_a.3d\n"
    "\nNAME.glb or NAME.gltf (made by Blender or any 3D editor) becomes NAME_a.3d and"
    "\nNAME_d.3d beside it, in the Deus Ex form (or the Unreal form with --to-unreal):"
    "\nmeshfold --uc Soldier.glb\n";

// Ends a dry run's block where a real run prints "*** Conversion complete ***".
inline constexpr std::string_view kDryRunDone = "\n\n*** Dry run: no file was changed ***\n";

// Ends the block of a mesh exported with --to-gltf.
inline constexpr std::string_view kExportDone = "\n\n*** Export complete ***\n";

// The last line of a program that Explorer started, which waits for Enter.
inline constexpr std::string_view kPressEnter = "\nPress Enter to close this window.";

inline constexpr std::string_view kMilkShapeBanner = "\n* MilkShape Fix Mode *\n";
inline constexpr std::string_view kHiResBanner = "\n* Hi Res Experimental Mode *\n";

// Why a run ended early. Each value has exactly one message.
enum class Stop {
    None,
    CantOpen,                // names the file
    NoFrameCount,
    FrameCountInvalid,
    NoFrameSize,
    NoPolygonCount,
    PolygonCountInvalid,
    NoVertexCount,
    VertexCountInvalid,
    NoTriangles,
    AlreadyConverted,
    UnknownVertexFormat,
    FrameSizeTooLarge,
    CantOpenForWriting,      // names the file
    FrameCountWrite,         // names the file
    WriteFailed,             // names the file
    VertexWrite,
    ReadFailed,              // names the file
    NotAMesh,                // names the file that was named
    NoMeshInFolder,          // names the folder
    CantOpenFolder,          // names the folder
    FolderNotWritable,       // names the file
    OwnerOnlyFolder,         // names the file
    NameTooLong,             // names the file
    InUse,                   // names the file
    FileChanged,             // names the file: it is no longer the file that was read
    FolderSync,              // names the file whose folder cannot be flushed to disk
    RecoveryFailed,          // names the file and says why (detail)
    AlreadyUnreal,           // taking back a mesh that is in the Unreal form
    NotDeusExVertices,       // counts the vertices whose fourth word is not 0
    VerticesDoNotFit,        // counts the vertices that need -h
    NotGltf,                 // names the glTF file
    GltfDamaged,             // names the glTF file, says what is wrong (detail)
    GltfExtension,           // names the glTF file and the extension (detail)
    GltfCompressed,          // names the glTF file and its mesh compression extension (detail)
    GltfOutsideFolder,       // names the glTF file and the reference (detail)
    GltfMissingFile,         // names the glTF file and the file it refers to (detail)
    GltfNoTriangles,         // names the glTF file
    TooManyVertices,         // names the glTF file, counts the vertices (detail: the form that takes them)
    TooManyTriangles,        // names the glTF file, counts the triangles
    TooManyFrames,           // names the glTF file, counts the frames (or names the animation)
    TooMuchVertexData,       // names the glTF file
    CoordinateOutOfRange,    // names the glTF file, the axis and its extent (detail)
    NoWholeFrame,            // names the animation file: not even frame 0 is whole
    GltfTooLarge,            // names the .glb: it would pass the 4 GiB a .glb can count
    TooManyOpenFiles,        // names the mesh's file, counts the files its new files need open
                             // at once (detail: this process's limit)
    PackageMeshTooLarge,     // names a package's mesh (Pkg.Group.Name) and what it has that its
                             // two files cannot hold (detail)
};

// A stop and the file it concerns (empty where the message names none).
struct Failure {
    Stop stop = Stop::None;
    std::string file;
    std::string detail = {}; // why, for the stops whose message gives a reason
    std::uint64_t count = 0; // the vertices a stop counts
};

// The failure `stop` of `file` (none named when empty), with no detail.
inline Failure fail(Stop stop, const std::string& file = {}) {
    return Failure{stop, file};
}

// True for the stops of a mesh already in the form a run writes: the summary
// counts them apart from the failures.
inline bool alreadyInForm(Stop stop) {
    return stop == Stop::AlreadyConverted || stop == Stop::AlreadyUnreal;
}

// The one message printed for a failure.
std::string failureMessage(const Failure& failure);

// How the meshes of a run ended.
struct Tally {
    unsigned converted = 0;
    unsigned alreadyConverted = 0;
    unsigned failed = 0;
};

// The line that ends a run over more than one mesh; `exported` for a run
// that writes glTF files.
std::string summaryLine(const Tally& tally, bool dryRun, bool exported = false);

// What an export wrote (or in a dry run would write), then the line that
// ends the mesh's block.
struct ExportFigures {
    std::string file; // the .glb
    std::uint32_t frames = 0;
    std::uint64_t vertices = 0; // glTF vertices
    std::uint64_t materials = 0;
    std::uint64_t bytes = 0;
};
std::string exportReport(const ExportFigures& figures, bool dryRun);

// Why a texture slot of a mesh exported with --uc stays plain.
enum class PlainSlot {
    NotInPackage, // its texture is not imported by the package (the game's own)
    NoFile,       // the file its import names is not there
    Unreadable,   // the file cannot be read
    Undecodable,  // the file is no image meshfold reads, or a damaged one (`reason`)
};
std::string plainSlotWarning(const std::string& animFile, unsigned slot, const std::string& texture,
                             PlainSlot why, const std::string& file, const std::string& reason = {});

// The progress line of a texture an export embeds (or in a dry run would).
std::string textureLine(unsigned slot, const std::string& texture, const std::string& file,
                        std::uint32_t width, std::uint32_t height);

// The progress line that says which form an exported mesh is in.
std::string meshFormLine(bool deusEx);

// A usage error of switches that do not go together, for standard error.
std::string switchConflictWarning(const std::string& conflict);

// Lines for standard error, beside the usage error or the can't-open message
// they explain: a switch meshfold does not know, and the files that match a
// missing name only ignoring case (none is guessed).
std::string unknownSwitchWarning(const std::string& arg);
std::string caseCandidatesNote(const std::string& file, const std::vector<std::string>& candidates);

// The progress line after the vertex count of a mesh whose frames have room
// to spare: how many bytes of each frame hold no vertex and are not kept.
std::string unusedFrameBytesLine(unsigned bytes);

// Lines for standard error. They never change standard output or the exit
// status, so scripts that read the output see no difference.
std::string vertexBytesWarning(const std::string& animFile, std::uint64_t vertexBytes,
                               unsigned frameCount, unsigned frameSize);
std::string triangleIndexWarning(const std::string& dataFile, unsigned badTriangles,
                                 unsigned polygonCount, unsigned firstBad, unsigned firstBadIndex,
                                 unsigned vertexCount);
// What the next run did (or, in a dry run, would do) with the leftovers of a
// run that was cut short; `found` lists them. A commit cut short between its
// two moves replaced one file, `replaced`, and `temp` finishes `other`;
// `backups` names the backups removed then.
std::string discardNote(const std::string& found, bool several, bool dryRun);
std::string finishNote(const std::string& found, const std::string& replaced,
                       const std::string& other, const std::string& temp,
                       const std::string& backups, bool dryRun);
std::string dropBackupNote(const std::string& found, bool several, bool dryRun);
std::string leftoverNotOursWarning(const std::string& path);
std::string weaponTriangleWarning(const std::string& dataFile, unsigned weaponTriangles);
std::string smallScaleWarning(const std::string& animFile);

// ---- Compiled packages ----
// Every line names the package's object by its full name, `Pkg.Group.Name`.

// An object of a package that the reader refused, and why (a clause: "it is a SkeletalMesh, not
// a vertex mesh"). For standard error; nothing of that object is written.
std::string packageRefusalMessage(const std::string& object, const std::string& reason);

// A mesh `triangles` of whose triangles carry polygon flags that no `_d.3d` polygon type holds
// (`bits`, all of them together; the first such is triangle `first`).
std::string unmappedFlagsWarning(const std::string& mesh, unsigned triangles, unsigned first,
                                 std::uint32_t bits);

// A mesh already in the form asked for: its vertices are copied as stored, and `switches`
// ("-ms", "-h", "-ms and -h"), which only apply to a conversion, change nothing.
std::string copiedAsStoredWarning(const std::string& mesh, bool deusEx, const std::string& switches);

// What became of a texture that is not written as it is stored.
enum class TextureNote {
    ImportedPalette, // detail: the palette's full name; no file
    NoPalette,       // a P8 texture without a palette; no file
    NoMips,          // no pixels at all; no file
    CannotDecode,    // detail: the pixel format meshfold does not decode; no file
    CannotWrite,     // detail: its size; no file (a PCX side stops at 65534)
    CompressedCopy,  // detail: the copy's format; written from it (its palette is not usable)
    Resized,         // detail: "W x H to W' x H'": a side was not a power of two
    ProceduralData,  // detail: its class; written as a plain texture of its first frame
    SharedName,      // detail: the file written; another texture of the package has its name
};
std::string packageTextureWarning(const std::string& texture, TextureNote note,
                                  const std::string& detail = {});

// The lines of a package's listing (--list), each starting with a newline.
struct MeshListing {
    std::string name;      // the mesh's name in its package (`Group.Name` when in a group)
    std::string className; // Mesh or LodMesh
    bool deusEx = false;   // the form it is stored in
    std::uint32_t frames = 0, vertices = 0, triangles = 0, weaponTriangles = 0;
    std::vector<std::string> sequences; // "Walk (frames 0-9, 15 fps)"
    std::vector<std::string> slots;     // "1 Skin", "2 Botpack.Skins.Foo (the game's own)"
};
struct TextureListing {
    std::string name;  // its name in the package, without its group
    std::string group; // empty when none
    std::string format; // P8, DXT1, BGRA8, ...
    std::uint32_t width = 0, height = 0;
    bool masked = false;
    bool madeEightBit = false; // quantised from another format
    std::string file;          // where it goes, or empty when it is not written
};
std::string packageListingLine(const std::string& package, unsigned version, std::size_t meshes,
                               std::size_t textures);
std::string meshListingLine(const MeshListing& mesh);
std::string textureListingLine(const TextureListing& texture);
std::string refusedListingLine(const std::string& object, const std::string& reason);

} // namespace meshfold
