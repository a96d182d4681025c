// Byte builders for small packages: the container, tagged properties, and the native data of
// meshes, textures and palettes, each laid out as the format notes give them.
#pragma once

#include <algorithm>
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
struct MeshRecipe {
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

// ---------------------------------------------------------------------------------------------
// Builders of object data: meshes, textures and palettes small enough to check field by field.

inline std::uint32_t packedWord(std::uint32_t frame, std::uint32_t k) {
    const std::uint32_t x = (k * 7 + frame) & 0x7FF;
    const std::uint32_t y = (0x7FF - k) & 0x7FF;
    const std::uint32_t z = (frame * 3 + 0x200) & 0x3FF;
    return x | y << 11 | z << 22;
}

inline std::uint32_t frameVertsOf(const MeshRecipe& s) {
    return s.lod ? s.specialVerts + s.modelVerts : s.modelVerts;
}

inline Bytes vertexItems(const MeshRecipe& s) {
    Bytes b;
    for (std::uint32_t f = 0; f < s.frames; ++f) {
        for (std::uint32_t k = 0; k < frameVertsOf(s); ++k) {
            if (s.wide) {
                put16(b, static_cast<std::uint16_t>(k * 100 + f));
                put16(b, static_cast<std::uint16_t>(-static_cast<std::int32_t>(k)));
                put16(b, static_cast<std::uint16_t>(-20000 + f));
                put16(b, 1471); // a junk pad, as some real meshes carry
            } else {
                put32(b, packedWord(f, k));
            }
        }
    }
    return b;
}

inline void putSequences(Bytes& b, PackageBuilder& pkg, std::uint32_t frames) {
    putCompact(b, 2);
    putCompact(b, pkg.name("All"));
    putCompact(b, pkg.name("None"));
    put32(b, 0);
    put32(b, frames);
    putCompact(b, 0);
    putFloat(b, 30);
    putCompact(b, pkg.name("Wave"));
    putCompact(b, pkg.name("Gestures"));
    put32(b, 1);
    put32(b, 1);
    putCompact(b, 1);
    putFloat(b, 0.5f);
    putCompact(b, pkg.name("Boom"));
    putFloat(b, 15);
}

inline void putEmptyLodFields(Bytes& b) {
    for (int i = 0; i < 7; ++i) {
        putCompact(b, 0); // collapse points ... special faces: none
    }
    for (int i = 0; i < 8; ++i) {
        put32(b, 0); // vertex counts, LOD settings
    }
    putCompact(b, 0); // remap
    put32(b, 0);
}

inline void putLodFields(Bytes& b, const MeshRecipe& s) {
    if (s.emptyVerts) {
        putEmptyLodFields(b);
        return;
    }
    // An array of items of `per` words each.
    auto words = [&b](std::vector<std::uint16_t> w, std::size_t per = 1) {
        putCompact(b, static_cast<std::int64_t>(w.size() / per));
        for (std::uint16_t x : w) {
            put16(b, x);
        }
    };
    words({0, 1, 2, 3});                         // collapse points
    words({0, 0});                               // face levels
    words({0, 1, 2, 0, 0, 2, 3, 1}, 4);          // faces: wedges and material
    words({0, 1, 2, 3});                         // collapse wedges
    putCompact(b, 4);                            // wedges
    for (std::uint16_t i = 0; i < 4; ++i) {
        put16(b, i);
        put8(b, static_cast<std::uint8_t>(10 + i));
        put8(b, static_cast<std::uint8_t>(20 + i));
    }
    putCompact(b, static_cast<std::int64_t>(s.materialFlags.size()));
    for (std::size_t i = 0; i < s.materialFlags.size(); ++i) {
        put32(b, s.materialFlags[i]);
        put32(b, static_cast<std::uint32_t>(i));
    }
    if (s.specialVerts >= 3) {
        words({0, 1, 2, 0x7FFF}, 4); // one special face; the fourth word is junk
    } else {
        putCompact(b, 0);
    }
    put32(b, s.modelVerts);
    put32(b, s.specialVerts);
    putFloat(b, 1.5f);  // max scale
    putFloat(b, 0.25f); // hysteresis
    putFloat(b, 1.0f);  // strength
    put32(b, 10);       // min verts
    putFloat(b, 0.3f);  // morph
    putFloat(b, 0.0f);  // z displacement
    words(s.remap);
    put32(b, frameVertsOf(s));
}

// A mesh's whole object: no properties, then the native data, for a file offset `base`.
inline Bytes meshData(const MeshRecipe& s, std::uint16_t version, std::uint64_t base, PackageBuilder& pkg) {
    Bytes b;
    putCompact(b, pkg.name("None"));
    test::putBox(b);
    test::putSphere(b, version);
    const std::uint32_t vertCount = s.emptyVerts ? 0 : s.frames * frameVertsOf(s);
    test::putLazy(b, version, base, vertCount, s.emptyVerts ? Bytes{} : vertexItems(s));
    Bytes tris;
    std::uint32_t triCount = 0;
    if (!s.lod) {
        const std::uint16_t corners[2][3] = {{0, 1, 2}, {0, 2, 3}};
        for (std::size_t t = 0; t < 2; ++t) {
            for (std::uint16_t c : corners[t]) {
                put16(tris, c);
            }
            for (std::uint8_t k = 0; k < 3; ++k) {
                put8(tris, static_cast<std::uint8_t>(10 + k));
                put8(tris, static_cast<std::uint8_t>(20 + k));
            }
            put32(tris, s.materialFlags[t]);
            put32(tris, static_cast<std::uint32_t>(t));
            ++triCount;
        }
    }
    test::putLazy(b, version, base, triCount, tris);
    putSequences(b, pkg, s.frames);
    test::putLazy(b, version, base, 0, {}); // connects
    test::putBox(b);
    test::putSphere(b, version);
    test::putLazy(b, version, base, 0, {}); // vertex links
    putCompact(b, 2);
    putCompact(b, 0);
    putCompact(b, s.textureSlotRef);
    putCompact(b, s.frames);
    for (std::uint32_t f = 0; f < s.frames; ++f) {
        test::putBox(b);
    }
    putCompact(b, s.frames);
    for (std::uint32_t f = 0; f < s.frames; ++f) {
        test::putSphere(b, version);
    }
    put32(b, s.emptyVerts ? 0 : frameVertsOf(s));
    put32(b, static_cast<std::uint32_t>((s.emptyVerts ? 0 : s.frames) + s.frameCountDelta));
    put32(b, 0);
    put32(b, 0x100);
    test::putVector(b, 0.1f, 0.2f, 0.4f);
    test::putVector(b, 1, 2, 3);
    put32(b, 0);
    put32(b, static_cast<std::uint32_t>(-15360));
    put32(b, 151);
    put32(b, 5);
    put32(b, 6);
    if (version == 65) {
        putFloat(b, 2.0f);
    } else if (version >= 66) {
        putCompact(b, 1);
        putFloat(b, 2.0f);
    }
    if (s.lod) {
        putLodFields(b, s);
    }
    return b;
}

// A package holding one mesh (export 0, `Skin` texture export 1 when it has a slot).
struct OneMesh {
    PackageBuilder pkg;
    Bytes bytes;
};

inline OneMesh oneMeshPackage(MeshRecipe s, std::uint16_t version = 69, bool tablesFirst = true) {
    OneMesh m;
    m.pkg.version = version;
    m.pkg.tablesFirst = tablesFirst;
    const std::int32_t cls = m.pkg.engineClass(s.lod ? "LodMesh" : "Mesh");
    m.pkg.addExport(cls, "Thing", [&m, s, version](std::uint64_t base) {
        return meshData(s, version, base, m.pkg);
    });
    m.bytes = m.pkg.build();
    return m;
}

// A texture: properties written by `props`, then `mips` P8 mips of w x h halving.
inline Bytes textureData(PackageBuilder& pkg, std::uint16_t version, std::uint64_t base,
                  const std::function<void(PropertyWriter&)>& props, std::uint32_t w,
                  std::uint32_t h, std::uint32_t mips, std::uint32_t bytesPerPixel = 1) {
    PropertyWriter pw{pkg, {}};
    props(pw);
    Bytes b = pw.end();
    putCompact(b, mips);
    for (std::uint32_t i = 0; i < mips; ++i) {
        const std::uint32_t mw = std::max(1u, w >> i);
        const std::uint32_t mh = std::max(1u, h >> i);
        const std::uint32_t n = mw * mh * bytesPerPixel;
        Bytes count;
        putCompact(count, n);
        if (version > 61) {
            put32(b, static_cast<std::uint32_t>(base + b.size() + 4 + count.size() + n));
        }
        test::append(b, count);
        for (std::uint32_t p = 0; p < n; ++p) {
            put8(b, static_cast<std::uint8_t>(p * 13 + i));
        }
        put32(b, mw);
        put32(b, mh);
        put8(b, 0);
        put8(b, 0);
    }
    return b;
}

inline Bytes paletteData(PackageBuilder& pkg, std::uint32_t colours = 256) {
    Bytes b;
    putCompact(b, pkg.name("None"));
    putCompact(b, colours);
    for (std::uint32_t i = 0; i < colours; ++i) {
        put8(b, static_cast<std::uint8_t>(i));
        put8(b, static_cast<std::uint8_t>(255 - i));
        put8(b, static_cast<std::uint8_t>(i / 2));
        put8(b, 0); // alpha: junk before version 66
    }
    return b;
}

// A package of one LodMesh, Thing (2 frames of 7 vertices, 2 faces and a weapon triangle), whose
// slot 1 is the P8 texture Skin (8 x 8, 4 mips) with its palette Pal; `textures` more textures
// (Tex0, Tex1, ...) share the palette. What the end-to-end tests take apart.
inline Bytes smallPackage(std::size_t textures = 0) {
    PackageBuilder pkg;
    const std::int32_t pal = pkg.addExport(pkg.engineClass("Palette"), "Pal", paletteData(pkg));
    const auto texture = [&pkg, pal](const std::string& name) {
        return pkg.addExport(pkg.engineClass("Texture"), name, [&pkg, pal](std::uint64_t base) {
            return textureData(pkg, 69, base, [pal](PropertyWriter& w) { w.object("Palette", pal); }, 8, 8, 4);
        });
    };
    MeshRecipe recipe;
    recipe.textureSlotRef = texture("Skin");
    for (std::size_t i = 0; i < textures; ++i) {
        texture("Tex" + std::to_string(i));
    }
    pkg.addExport(pkg.engineClass("LodMesh"), "Thing",
                  [&pkg, recipe](std::uint64_t base) { return meshData(recipe, 69, base, pkg); });
    return pkg.build();
}

} // namespace meshfold::package::test
