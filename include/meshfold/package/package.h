// Compiled packages: bytes in, records out; no file access; includes only the standard library.
//
// An Unreal Engine 1 package (`.u`, `.utx`, versions 61 to 69: Unreal, UT99 and its patches up
// to v469, Deus Ex) is a header, three tables (names, imports, exports) and the bytes of each
// exported object. This header reads the container; mesh.h and texture.h read the objects that
// matter to meshfold, inventory.h reads them all at once.
//
// The records refer to the caller's bytes (spans) for anything large: the bytes given to
// readPackage must outlive every record read from them. Nothing here throws on bad input: a
// package is untrusted, every count and offset is checked against the bytes before use, and
// what does not fit is a Failure value naming the object and the figures.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace meshfold::package {

using Bytes = std::span<const std::uint8_t>;

inline constexpr std::uint32_t kPackageTag = 0x9E2A83C1;
inline constexpr std::uint16_t kMinVersion = 61; // Unreal
inline constexpr std::uint16_t kMaxVersion = 69; // UT99 up to v469
// Deus Ex and the 1999 UT99 builds; from here on a header holds a GUID and generations.
inline constexpr std::uint16_t kGenerationsVersion = 68;
// The 227 patch of Unreal writes this licensee; its meshes have fields no note describes.
inline constexpr std::uint16_t kLicensee227 = 227;
// An export holding a running state (saved games, levels) starts with a state frame.
inline constexpr std::uint32_t kObjectFlagHasStack = 0x02000000;

// What went wrong. Each kind names the figures it fills in (Failure::value, ::limit, ::offset).
enum class FailureKind : std::uint8_t {
    NotAPackage,         // value: the tag read
    VersionTooOld,       // value: the version (below kMinVersion)
    VersionTooNew,       // value: the version (above kMaxVersion)
    Truncated,           // offset: where the read started; value: bytes needed; limit: the end
    TableOutOfFile,      // detail: "names", "imports", "exports" or "generations"; value: count
    BadCompactIndex,     // offset: its first byte (more than 5 bytes, or past 32 bits)
    BadName,             // a name's string is longer than the file or lacks its NUL
    NameOutOfRange,      // value: the index; limit: the name count
    ObjectRefOutOfRange, // value: the reference; limit: export or import count
    OuterLoop,           // value: the object whose outer chain goes round or passes 64 links
    ObjectOutOfFile,     // offset: serial offset; value: serial size; limit: file size
    RunningState,        // the export carries kObjectFlagHasStack
    PropertyPastObject,  // offset: the property; value: its size; limit: the object's end
    BadProperty,         // offset: the property; value: its info byte (type 0), or the count
                         // of a list longer than 1024 properties
    LazyArrayEnd,        // offset: the array; value: the end it states; limit: its items' end
    CountPastObject,     // offset: the count; value: the count; limit: bytes left
    FieldsEndEarly,      // offset: where the fields ended; limit: the object's end
    NotAVertexMesh,      // detail: the class (SkeletalMesh, StaticMesh, ...)
    Licensee227Mesh,     // value: the licensee
    UnknownVertexForm,   // value: the item size (0 for an empty array without another clue)
    MeshCounts,          // value, limit: the figures that disagree; detail: which (vertices
                         // against frames, model and special vertices, the remap's length;
                         // more than 256 texture slots)
    MeshIndexOutOfRange, // detail: which index; value: it; limit: the count it indexes
    UnsupportedFormat,   // value: the pixel format (19 and up, or 1 and 2, which the patches
                         // use differently)
    MipSize,             // value: the mip's byte count; limit: what its size and format need
    MipEnd,              // offset: the mip; value: the end it states; limit: its pixels' end
    PaletteSize,         // value: the colour count
};

// A refusal: the object it concerns (empty for the container itself) and why.
struct Failure {
    FailureKind kind{};
    std::string object;     // `Package.Group.Object` of an export, or empty
    std::uint64_t offset = 0;
    std::int64_t value = 0;
    std::int64_t limit = 0;
    std::string detail;     // a class name, a table's name, a field's name
};

// What was read but cannot be carried over whole; the object is still read.
enum class WarningKind : std::uint8_t {
    UnmappedPolygonFlags, // value: the stored flags; limit: the bits no row of the table holds;
                          // offset: the face (or triangle) index
    ImportedPalette,      // detail: the palette's full name in another package
    NoPalette,            // a P8 texture without any palette
    NoMips,               // a texture with no mip at all
    TrailingTextureData,  // value: bytes after the mips (fractal and scripted textures)
};

struct Warning {
    WarningKind kind{};
    std::string object;
    std::uint64_t offset = 0;
    std::int64_t value = 0;
    std::int64_t limit = 0;
    std::string detail;
};

// An object reference as stored: 0 none, +n export n-1, -n import n-1.
struct ObjectRef {
    std::int32_t raw = 0;
    bool isNone() const { return raw == 0; }
    bool isExport() const { return raw > 0; }
    bool isImport() const { return raw < 0; }
    std::size_t exportIndex() const { return static_cast<std::size_t>(raw) - 1; }
    std::size_t importIndex() const { return static_cast<std::size_t>(-(std::int64_t{raw} + 1)); }
};

struct Header {
    std::uint16_t version = 0;
    std::uint16_t licensee = 0;
    std::uint32_t flags = 0;
    std::uint32_t nameCount = 0, nameOffset = 0;
    std::uint32_t exportCount = 0, exportOffset = 0;
    std::uint32_t importCount = 0, importOffset = 0;
    // Below version 68: the heritage table (16-byte GUIDs), not read further.
    std::uint32_t heritageCount = 0, heritageOffset = 0;
    // From version 68: the package's GUID and its generations (export count, name count).
    std::array<std::uint8_t, 16> guid{};
    std::vector<std::array<std::uint32_t, 2>> generations;
};

// A name's text lies in the package's bytes.
struct NameEntry {
    std::string_view text;
    std::uint32_t flags = 0;
};

struct ImportEntry {
    std::int32_t classPackage = 0; // name indices
    std::int32_t className = 0;
    ObjectRef outer;
    std::int32_t objectName = 0;
};

struct ExportEntry {
    ObjectRef classRef; // none: the export is itself a class
    ObjectRef superRef;
    ObjectRef outer;
    std::int32_t objectName = 0;
    std::uint32_t flags = 0;
    std::uint32_t serialSize = 0;
    std::uint32_t serialOffset = 0; // 0 when the size is 0
};

// A whole package's container. `name` is the package's own name (the file's base name, which
// the file itself does not hold), used as the first part of its exports' full names.
struct Package {
    Bytes bytes;
    std::string name;
    Header header;
    std::vector<NameEntry> names;
    std::vector<ImportEntry> imports;
    std::vector<ExportEntry> exports;
    bool deusExImports = false; // see importsDeusExPackage
};

struct PackageRead {
    std::optional<Package> package; // set exactly when failure is not
    std::optional<Failure> failure;
};

// Reads the header and the three tables of `bytes` (which must outlive the result). Refuses a
// wrong tag, versions outside 61 to 69, tables past the end of the file, names without their
// NUL, name indices and object references out of range, and outer chains that go round. Object
// data is not looked at.
PackageRead readPackage(Bytes bytes, std::string_view packageName);

// The name at index i (checked by readPackage for every index the tables hold).
std::string_view nameAt(const Package& p, std::int32_t i);

// Names compare without case, as the engine compares them.
bool sameName(std::string_view a, std::string_view b);

// The object's name alone ("None" for none).
std::string objectName(const Package& p, ObjectRef ref);

// The full name through the outer chain: `Package.Group.Object`. An export's chain ends at the
// package itself (its name prefixed when known); an import's at an import of class Package.
std::string fullName(const Package& p, ObjectRef ref);

// The groups between the package and the object: `Group` or `Group.Sub`, empty when none.
std::string groupPath(const Package& p, ObjectRef ref);

// The class's name of an export or import ("Class" for an export that is itself a class).
std::string className(const Package& p, ObjectRef ref);

// A reference to export index i.
inline ObjectRef exportRef(std::size_t i) { return ObjectRef{static_cast<std::int32_t>(i + 1)}; }

// What fills a texture slot (or a texture's palette): nothing, an export of this package, or an
// import from another one, by its full name `Pkg.Group.Name`.
struct ObjectLink {
    enum class Kind : std::uint8_t { None, Export, Import };
    Kind kind = Kind::None;
    ObjectRef ref;
    std::size_t exportIndex = 0; // for Kind::Export
    std::string fullName;        // `Pkg.Group.Name`; for an export, with this package's name
    std::string className;       // `Texture`, `FireTexture`, ...
};

// The link of a reference (checked to be in range).
ObjectLink linkOf(const Package& p, ObjectRef ref);

// True when some import belongs to one of Deus Ex's own packages (DeusEx*, ConSys, Extension):
// the clue that tells the vertex form of a mesh whose vertex array is empty.
bool importsDeusExPackage(const Package& p);

} // namespace meshfold::package
