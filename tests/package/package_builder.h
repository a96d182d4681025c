// Byte builders for small packages: the container, tagged properties, and the native data of
// meshes, textures and palettes, each laid out as the format notes give them.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace meshfold::package::test {

using Bytes = std::vector<std::uint8_t>;

inline void put8(Bytes& b, std::uint8_t v) { b.push_back(v); }
inline void put16(Bytes& b, std::uint16_t v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}
inline void put32(Bytes& b, std::uint32_t v) {
    put16(b, static_cast<std::uint16_t>(v));
    put16(b, static_cast<std::uint16_t>(v >> 16));
}
inline void putFloat(Bytes& b, float f) {
    std::uint32_t v = 0;
    std::memcpy(&v, &f, 4);
    put32(b, v);
}
inline void putCompact(Bytes& b, std::int64_t value) {
    const bool negative = value < 0;
    std::uint64_t v = negative ? static_cast<std::uint64_t>(-value) : static_cast<std::uint64_t>(value);
    std::uint8_t first = static_cast<std::uint8_t>((negative ? 0x80 : 0) | (v & 0x3F));
    v >>= 6;
    if (v != 0) {
        first |= 0x40;
    }
    b.push_back(first);
    while (v != 0) {
        std::uint8_t next = static_cast<std::uint8_t>(v & 0x7F);
        v >>= 7;
        if (v != 0) {
            next |= 0x80;
        }
        b.push_back(next);
    }
}
inline void append(Bytes& b, const Bytes& more) { b.insert(b.end(), more.begin(), more.end()); }

struct ImportSpec {
    std::string classPackage, className;
    std::int32_t outer = 0;
    std::string name;
};

struct ExportSpec {
    std::int32_t classRef = 0, superRef = 0, outer = 0;
    std::string name;
    std::uint32_t flags = 0;
    Bytes data;
    // When set, the data are made for the file offset they land at (lazy arrays hold absolute
    // offsets); their size must not depend on it.
    std::function<Bytes(std::uint64_t)> make;
};

// A whole package. Names are added on first use. With `tablesFirst` the tables come right after
// the header and the objects after them (as the engine writes); otherwise objects come first,
// so that their offsets are known before the export table is encoded.
struct PackageBuilder {
    std::uint16_t version = 69;
    std::uint16_t licensee = 0;
    std::uint32_t generations = 1;
    bool tablesFirst = true;
    std::vector<std::string> names{"None"};
    std::vector<ImportSpec> imports;
    std::vector<ExportSpec> exports;

    std::int32_t name(const std::string& n) {
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (names[i] == n) {
                return static_cast<std::int32_t>(i);
            }
        }
        names.push_back(n);
        return static_cast<std::int32_t>(names.size() - 1);
    }
    // Returns the reference (-n).
    std::int32_t addImport(const std::string& pkg, const std::string& cls, std::int32_t outer,
                           const std::string& n) {
        name(pkg);
        name(cls);
        name(n);
        imports.push_back({pkg, cls, outer, n});
        return -static_cast<std::int32_t>(imports.size());
    }
    // Engine.<cls> as a class import; returns its reference.
    std::int32_t engineClass(const std::string& cls) {
        std::int32_t engine = 0;
        for (std::size_t i = 0; i < imports.size(); ++i) {
            if (imports[i].name == "Engine" && imports[i].className == "Package") {
                engine = -static_cast<std::int32_t>(i + 1);
            }
            if (imports[i].name == cls && imports[i].className == "Class") {
                return -static_cast<std::int32_t>(i + 1);
            }
        }
        if (engine == 0) {
            engine = addImport("Core", "Package", 0, "Engine");
        }
        return addImport("Core", "Class", engine, cls);
    }
    // Returns the reference (+n).
    std::int32_t addExport(std::int32_t cls, const std::string& n, Bytes data, std::int32_t outer = 0,
                           std::uint32_t flags = 0) {
        name(n);
        exports.push_back({cls, 0, outer, n, flags, std::move(data), {}});
        return static_cast<std::int32_t>(exports.size());
    }
    std::int32_t addExport(std::int32_t cls, const std::string& n,
                           std::function<Bytes(std::uint64_t)> make, std::int32_t outer = 0,
                           std::uint32_t flags = 0) {
        name(n);
        exports.push_back({cls, 0, outer, n, flags, make(0), make});
        return static_cast<std::int32_t>(exports.size());
    }

    std::uint64_t headerSize() const {
        return 36 + (version < 68 ? 8 : 16 + 4 + 8 * generations);
    }

    Bytes nameTable() const {
        Bytes b;
        for (const std::string& n : names) {
            if (version < 64) {
                b.insert(b.end(), n.begin(), n.end());
                b.push_back(0);
            } else {
                putCompact(b, static_cast<std::int64_t>(n.size() + 1));
                b.insert(b.end(), n.begin(), n.end());
                b.push_back(0);
            }
            put32(b, 0x04070010);
        }
        return b;
    }
    Bytes importTable() {
        Bytes b;
        for (const ImportSpec& i : imports) {
            putCompact(b, name(i.classPackage));
            putCompact(b, name(i.className));
            put32(b, static_cast<std::uint32_t>(i.outer));
            putCompact(b, name(i.name));
        }
        return b;
    }
    Bytes exportTable(const std::vector<std::uint64_t>& offsets) {
        Bytes b;
        for (std::size_t i = 0; i < exports.size(); ++i) {
            const ExportSpec& e = exports[i];
            putCompact(b, e.classRef);
            putCompact(b, e.superRef);
            put32(b, static_cast<std::uint32_t>(e.outer));
            putCompact(b, name(e.name));
            put32(b, e.flags);
            putCompact(b, static_cast<std::int64_t>(e.data.size()));
            if (!e.data.empty()) {
                putCompact(b, static_cast<std::int64_t>(offsets[i]));
            }
        }
        return b;
    }

    Bytes build() {
        for (const ExportSpec& e : exports) {
            name(e.name);
        }
        const Bytes namesBytes = nameTable();
        const Bytes importBytes = importTable();
        std::vector<std::uint64_t> offsets(exports.size(), 0);
        Bytes exportBytes;
        std::uint64_t namesAt = 0, importsAt = 0, exportsAt = 0;
        // The export table's size depends on the offsets it encodes: settle them in turns.
        for (int round = 0; round < 4; ++round) {
            exportBytes = exportTable(offsets);
            std::uint64_t at = headerSize();
            if (tablesFirst) {
                namesAt = at;
                importsAt = namesAt + namesBytes.size();
                exportsAt = importsAt + importBytes.size();
                at = exportsAt + exportBytes.size();
            }
            for (std::size_t i = 0; i < exports.size(); ++i) {
                offsets[i] = at;
                at += exports[i].data.size();
            }
            if (!tablesFirst) {
                namesAt = at;
                importsAt = namesAt + namesBytes.size();
                exportsAt = importsAt + importBytes.size();
            }
        }
        exportBytes = exportTable(offsets);
        for (std::size_t i = 0; i < exports.size(); ++i) {
            if (exports[i].make) {
                exports[i].data = exports[i].make(offsets[i]);
            }
        }
        Bytes b;
        put32(b, 0x9E2A83C1);
        put16(b, version);
        put16(b, licensee);
        put32(b, 1);
        put32(b, static_cast<std::uint32_t>(names.size()));
        put32(b, static_cast<std::uint32_t>(namesAt));
        put32(b, static_cast<std::uint32_t>(exports.size()));
        put32(b, static_cast<std::uint32_t>(exportsAt));
        put32(b, static_cast<std::uint32_t>(imports.size()));
        put32(b, static_cast<std::uint32_t>(importsAt));
        if (version < 68) {
            put32(b, 0);
            put32(b, 0);
        } else {
            for (int i = 0; i < 16; ++i) {
                put8(b, static_cast<std::uint8_t>(i));
            }
            put32(b, generations);
            for (std::uint32_t g = 0; g < generations; ++g) {
                put32(b, static_cast<std::uint32_t>(exports.size()));
                put32(b, static_cast<std::uint32_t>(names.size()));
            }
        }
        auto tables = [&] {
            append(b, namesBytes);
            append(b, importBytes);
            append(b, exportBytes);
        };
        if (tablesFirst) {
            tables();
        }
        for (const ExportSpec& e : exports) {
            append(b, e.data);
        }
        if (!tablesFirst) {
            tables();
        }
        return b;
    }
};

// Tagged properties: each call appends one; end() closes the list with `None`.
struct PropertyWriter {
    PackageBuilder& pkg;
    Bytes b;

    // A property with an explicit info byte and value bytes (the size code must fit them).
    void raw(const std::string& n, std::uint8_t info, const Bytes& sizeAndIndexAndValue) {
        putCompact(b, pkg.name(n));
        put8(b, info);
        append(b, sizeAndIndexAndValue);
    }
    void boolean(const std::string& n, bool value) {
        // As the engine writes it: size code 5 and a size byte of 0; the value in bit 7.
        raw(n, static_cast<std::uint8_t>(0x53 | (value ? 0x80 : 0)), {0});
    }
    void byteValue(const std::string& n, std::uint8_t v) { raw(n, 0x01, {v}); }
    void intValue(const std::string& n, std::int32_t v) {
        Bytes x;
        put32(x, static_cast<std::uint32_t>(v));
        raw(n, 0x22, x);
    }
    void object(const std::string& n, std::int32_t ref) {
        Bytes x;
        putCompact(x, ref);
        // Size code 0 (1 byte) or 1 (2 bytes) by the compact's length.
        raw(n, static_cast<std::uint8_t>(0x05 | (x.size() == 1 ? 0x00 : 0x10)), x);
    }
    Bytes end() {
        putCompact(b, pkg.name("None"));
        return b;
    }
};

inline void putVector(Bytes& b, float x, float y, float z) {
    putFloat(b, x);
    putFloat(b, y);
    putFloat(b, z);
}
inline void putBox(Bytes& b) {
    putVector(b, -1, -2, -3);
    putVector(b, 1, 2, 3);
    put8(b, 1);
}
inline void putSphere(Bytes& b, std::uint16_t version) {
    putVector(b, 0.5f, 0.25f, 0.125f);
    if (version > 61) {
        putFloat(b, 7.5f);
    }
}

// A lazy array's head: the end offset (version > 61, absolute: `base` is where the array lies
// in the file) and the count; the items follow.
inline void putLazy(Bytes& b, std::uint16_t version, std::uint64_t base, std::uint32_t count,
                    const Bytes& items) {
    if (version > 61) {
        Bytes countBytes;
        putCompact(countBytes, count);
        put32(b, static_cast<std::uint32_t>(base + b.size() + 4 + countBytes.size() + items.size()));
    }
    putCompact(b, count);
    append(b, items);
}

// A LodMesh (or plain Mesh) small enough to check field by field. Frames of `frameVerts`
// vertices; the faces and wedges index them as the notes say.
struct MeshSpec {
    bool lod = true;
    bool wide = false;
    std::uint32_t frames = 2;
    std::uint32_t specialVerts = 3; // the first vertices of each frame
    std::uint32_t modelVerts = 4;
    std::vector<std::uint16_t> remap; // empty, or one a vertex
    std::vector<std::uint32_t> materialFlags{0x100, 0x400102};
    std::int32_t textureSlotRef = 0; // the reference slot 1 holds
    bool emptyVerts = false;
    std::int32_t frameCountDelta = 0; // added to the stored frame count
};

} // namespace meshfold::package::test
