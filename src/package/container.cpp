// The container: header, name table, import table, export table, and the names of objects
// through their outer chains.
#include "meshfold/package/cursor.h"
#include "meshfold/package/package.h"

#include <algorithm>
#include <cctype>

namespace meshfold::package {

namespace {

using detail::Cursor;

// Header layout: tag, version, licensee, flags, then three (count, offset) pairs.
inline constexpr std::uint64_t kHeaderFixedSize = 4 + 2 + 2 + 4 + 3 * 8;
// Before version 64 a name is a NUL-terminated string; from 64 on a compact length comes first.
inline constexpr std::uint16_t kCompactNameVersion = 64;
inline constexpr std::uint64_t kGuidSize = 16;
inline constexpr std::uint64_t kGenerationSize = 8;
// The smallest table items: a name (one NUL byte or a length, and flags), an import (three
// one-byte compacts and an int32), an export (four one-byte compacts, int32 outer, flags).
inline constexpr std::uint64_t kMinNameSize = 1 + 4;
inline constexpr std::uint64_t kMinImportSize = 3 + 4;
inline constexpr std::uint64_t kMinExportSize = 4 + 4 + 4;

// Outer chains of real packages are a few links long (Package.Group.Sub.Object). Refusing
// longer ones than this keeps every full name short and the check of the chains linear.
inline constexpr std::size_t kMaxOuterDepth = 64;

Failure failureOf(const Cursor& c) { return c.failure(); }

// A cursor at a table's offset that holds at least count x minItem bytes, or a failure.
bool tableCursor(Bytes bytes, std::uint32_t offset, std::uint32_t count, std::uint64_t minItem,
                 const char* which, Cursor& out, Failure& failure) {
    const std::uint64_t size = bytes.size();
    if (count > 0 && (offset > size || count > (size - offset) / minItem)) {
        failure = Failure{FailureKind::TableOutOfFile, {}, offset, count,
                          static_cast<std::int64_t>(size), which};
        return false;
    }
    out = Cursor(bytes, offset, size);
    return true;
}

void readHeader(Cursor& c, Header& h) {
    h.version = c.u16();
    h.licensee = c.u16();
    h.flags = c.u32();
    h.nameCount = c.u32();
    h.nameOffset = c.u32();
    h.exportCount = c.u32();
    h.exportOffset = c.u32();
    h.importCount = c.u32();
    h.importOffset = c.u32();
    if (h.version < kGenerationsVersion) {
        h.heritageCount = c.u32();
        h.heritageOffset = c.u32();
        return;
    }
    const Bytes guid = c.take(kGuidSize);
    if (!guid.empty()) {
        std::copy(guid.begin(), guid.end(), h.guid.begin());
    }
    const std::uint32_t generations = c.u32();
    if (c.ok() && generations > c.remaining() / kGenerationSize) {
        c.fail(Failure{FailureKind::TableOutOfFile, {}, c.pos(), generations,
                       static_cast<std::int64_t>(c.end()), "generations"});
        return;
    }
    h.generations.resize(c.ok() ? generations : 0);
    for (auto& g : h.generations) {
        g = {c.u32(), c.u32()};
    }
}

void readName(Cursor& c, std::uint16_t version, NameEntry& n) {
    const std::uint64_t at = c.pos();
    if (version < kCompactNameVersion) {
        // Up to a NUL, which must lie inside the file.
        const Bytes rest = c.take(0);
        const std::uint64_t left = c.remaining();
        for (std::uint64_t length = 0; length < left; ++length) {
            if (c.u8() == 0) {
                n.text = std::string_view(reinterpret_cast<const char*>(rest.data()),
                                          static_cast<std::size_t>(length));
                n.flags = c.u32();
                return;
            }
        }
        c.fail(FailureKind::BadName, at);
        return;
    }
    const std::int32_t length = c.compact();
    if (c.ok() && (length <= 0 || static_cast<std::uint64_t>(length) > c.remaining())) {
        c.fail(FailureKind::BadName, at, length, static_cast<std::int64_t>(c.remaining()));
    }
    const Bytes b = c.take(c.ok() ? static_cast<std::uint64_t>(length) : 0);
    if (c.ok() && b.back() != 0) {
        c.fail(FailureKind::BadName, at, length);
    }
    if (!c.ok()) {
        return;
    }
    n.text = std::string_view(reinterpret_cast<const char*>(b.data()), b.size() - 1);
    n.flags = c.u32();
}

void readImport(Cursor& c, ImportEntry& e) {
    e.classPackage = c.compact();
    e.className = c.compact();
    e.outer.raw = c.i32();
    e.objectName = c.compact();
}

void readExport(Cursor& c, ExportEntry& e) {
    e.classRef.raw = c.compact();
    e.superRef.raw = c.compact();
    e.outer.raw = c.i32();
    e.objectName = c.compact();
    e.flags = c.u32();
    const std::uint64_t at = c.pos();
    const std::int32_t size = c.compact();
    if (size < 0) {
        c.fail(FailureKind::ObjectOutOfFile, at, size);
        return;
    }
    e.serialSize = static_cast<std::uint32_t>(size);
    if (size > 0) {
        const std::int32_t offset = c.compact();
        if (offset < 0) {
            c.fail(FailureKind::ObjectOutOfFile, at, offset);
            return;
        }
        e.serialOffset = static_cast<std::uint32_t>(offset);
    }
}

template <typename Entry, typename ReadOne>
bool readTable(Bytes bytes, std::uint32_t offset, std::uint32_t count, std::uint64_t minItem,
               const char* which, std::vector<Entry>& out, Failure& failure, ReadOne readOne) {
    Cursor c({}, 0, 0);
    if (!tableCursor(bytes, offset, count, minItem, which, c, failure)) {
        return false;
    }
    out.resize(count);
    for (Entry& e : out) {
        readOne(c, e);
        if (!c.ok()) {
            failure = failureOf(c);
            return false;
        }
    }
    return true;
}

bool nameInRange(const Package& p, std::int32_t i, Failure& failure) {
    if (i >= 0 && static_cast<std::size_t>(i) < p.names.size()) {
        return true;
    }
    failure = Failure{FailureKind::NameOutOfRange, {}, 0, i, static_cast<std::int64_t>(p.names.size()),
                      {}};
    return false;
}

bool refInRange(const Package& p, ObjectRef r, Failure& failure) {
    const bool ok = r.isNone() || (r.isExport() && r.exportIndex() < p.exports.size()) ||
                    (r.isImport() && r.importIndex() < p.imports.size());
    if (!ok) {
        failure = Failure{FailureKind::ObjectRefOutOfRange, {}, 0, r.raw,
                          static_cast<std::int64_t>(r.isExport() ? p.exports.size()
                                                                 : p.imports.size()),
                          {}};
    }
    return ok;
}

ObjectRef outerOf(const Package& p, ObjectRef r) {
    if (r.isExport()) {
        return p.exports[r.exportIndex()].outer;
    }
    if (r.isImport()) {
        return p.imports[r.importIndex()].outer;
    }
    return {};
}

// Every index the tables hold names a name or an object, and every outer chain ends.
bool checkTables(const Package& p, Failure& failure) {
    for (const ImportEntry& e : p.imports) {
        if (!nameInRange(p, e.classPackage, failure) || !nameInRange(p, e.className, failure) ||
            !nameInRange(p, e.objectName, failure) || !refInRange(p, e.outer, failure)) {
            return false;
        }
    }
    for (const ExportEntry& e : p.exports) {
        if (!nameInRange(p, e.objectName, failure) || !refInRange(p, e.classRef, failure) ||
            !refInRange(p, e.superRef, failure) || !refInRange(p, e.outer, failure)) {
            return false;
        }
    }
    // A chain that goes round never ends; one that ends within kMaxOuterDepth links is fine.
    auto chainEnds = [&](ObjectRef r) {
        for (std::size_t steps = 0; !r.isNone(); ++steps) {
            if (steps == kMaxOuterDepth) {
                return false;
            }
            r = outerOf(p, r);
        }
        return true;
    };
    for (std::size_t i = 0; i < p.exports.size(); ++i) {
        if (!chainEnds(exportRef(i))) {
            failure = Failure{FailureKind::OuterLoop, {}, 0, static_cast<std::int64_t>(i), 0, {}};
            return false;
        }
    }
    for (std::size_t i = 0; i < p.imports.size(); ++i) {
        if (!chainEnds(ObjectRef{-static_cast<std::int32_t>(i) - 1})) {
            failure = Failure{FailureKind::OuterLoop, {}, 0, -static_cast<std::int64_t>(i) - 1, 0,
                              {}};
            return false;
        }
    }
    return true;
}

std::optional<Failure> readHeaderChecked(Bytes bytes, Header& h) {
    Cursor c(bytes, 0, bytes.size());
    const std::uint32_t tag = c.u32();
    if (!c.ok() || tag != kPackageTag) {
        return Failure{FailureKind::NotAPackage, {}, 0, tag, 0, {}};
    }
    const std::uint16_t version = static_cast<std::uint16_t>(
        bytes.size() >= 6 ? bytes[4] | (bytes[5] << 8) : 0);
    if (bytes.size() >= 6 && version < kMinVersion) {
        return Failure{FailureKind::VersionTooOld, {}, 4, version, kMinVersion, {}};
    }
    if (bytes.size() >= 6 && version > kMaxVersion) {
        return Failure{FailureKind::VersionTooNew, {}, 4, version, kMaxVersion, {}};
    }
    if (bytes.size() < kHeaderFixedSize) {
        return Failure{FailureKind::Truncated, {}, 0, static_cast<std::int64_t>(kHeaderFixedSize),
                       static_cast<std::int64_t>(bytes.size()), {}};
    }
    readHeader(c, h);
    if (!c.ok()) {
        return failureOf(c);
    }
    return std::nullopt;
}

bool findsDeusExImport(const Package& p) {
    return std::any_of(p.imports.begin(), p.imports.end(), [&](const ImportEntry& e) {
        if (!e.outer.isNone() || !sameName(nameAt(p, e.className), "Package")) {
            return false;
        }
        const std::string_view n = nameAt(p, e.objectName);
        return sameName(n.substr(0, std::min<std::size_t>(n.size(), 6)), "DeusEx") ||
               sameName(n, "ConSys") || sameName(n, "Extension");
    });
}


} // namespace

PackageRead readPackage(Bytes bytes, std::string_view packageName) {
    Package p;
    p.bytes = bytes;
    p.name = std::string(packageName);
    if (std::optional<Failure> f = readHeaderChecked(bytes, p.header)) {
        return {std::nullopt, std::move(f)};
    }
    const Header& h = p.header;
    Failure failure;
    const std::uint16_t version = h.version;
    const bool tablesRead =
        readTable(bytes, h.nameOffset, h.nameCount, kMinNameSize, "names", p.names, failure,
                  [version](Cursor& c, NameEntry& n) { readName(c, version, n); }) &&
        readTable(bytes, h.importOffset, h.importCount, kMinImportSize, "imports", p.imports,
                  failure, readImport) &&
        readTable(bytes, h.exportOffset, h.exportCount, kMinExportSize, "exports", p.exports,
                  failure, readExport) &&
        checkTables(p, failure);
    if (!tablesRead) {
        return {std::nullopt, std::move(failure)};
    }
    p.deusExImports = findsDeusExImport(p);
    return {std::move(p), std::nullopt};
}

std::string_view nameAt(const Package& p, std::int32_t i) {
    return p.names[static_cast<std::size_t>(i)].text;
}

bool sameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string objectName(const Package& p, ObjectRef ref) {
    if (ref.isExport()) {
        return std::string(nameAt(p, p.exports[ref.exportIndex()].objectName));
    }
    if (ref.isImport()) {
        return std::string(nameAt(p, p.imports[ref.importIndex()].objectName));
    }
    return "None";
}

std::string groupPath(const Package& p, ObjectRef ref) {
    std::string path;
    // An import's chain ends with its package, which is not a group.
    for (ObjectRef r = outerOf(p, ref); !r.isNone(); r = outerOf(p, r)) {
        if (r.isImport() && outerOf(p, r).isNone()) {
            break;
        }
        path = path.empty() ? objectName(p, r) : objectName(p, r) + "." + path;
    }
    return path;
}

std::string fullName(const Package& p, ObjectRef ref) {
    if (ref.isNone()) {
        return "None";
    }
    std::string path = objectName(p, ref);
    for (ObjectRef r = outerOf(p, ref); !r.isNone(); r = outerOf(p, r)) {
        path = objectName(p, r) + "." + path;
    }
    if (ref.isExport() && !p.name.empty()) {
        path = p.name + "." + path;
    }
    return path;
}

std::string className(const Package& p, ObjectRef ref) {
    if (ref.isImport()) {
        return std::string(nameAt(p, p.imports[ref.importIndex()].className));
    }
    if (ref.isExport()) {
        const ObjectRef cls = p.exports[ref.exportIndex()].classRef;
        return cls.isNone() ? std::string("Class") : objectName(p, cls);
    }
    return "None";
}

ObjectLink linkOf(const Package& p, ObjectRef r) {
    ObjectLink l;
    l.ref = r;
    if (r.isNone()) {
        return l;
    }
    l.kind = r.isExport() ? ObjectLink::Kind::Export : ObjectLink::Kind::Import;
    l.exportIndex = r.isExport() ? r.exportIndex() : 0;
    l.fullName = fullName(p, r);
    l.className = className(p, r);
    return l;
}

bool importsDeusExPackage(const Package& p) { return p.deusExImports; }


} // namespace meshfold::package
