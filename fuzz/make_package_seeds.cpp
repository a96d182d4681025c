// Writes the package fuzz target's starting inputs, cut from real packages: each seed is a
// package's header and tables (every export kept, so that references and outer chains still
// hold) with the bytes of only one or two objects: a small mesh of each kind, a small texture
// with its palette, a texture with a compressed copy. The fuzzer then spends its time on the
// mesh and texture code rather than on the megabytes of scripts and sounds around them.
// The objects' lazy arrays hold absolute offsets: they are moved with the object, and a seed
// is kept only when its objects read back whole.
// Usage: meshfold_package_fuzz_seeds OUT_DIR PACKAGE_DIR
#include "meshfold/package/inventory.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace meshfold::package;
using Buffer = std::vector<std::uint8_t>;

namespace {

// Objects larger than this make slow seeds.
constexpr std::uint32_t kMaxObjectBytes = 12000;
constexpr std::size_t kSeedsPerKind = 3;

void put16(Buffer& b, std::uint16_t v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}
void put32(Buffer& b, std::uint32_t v) {
    put16(b, static_cast<std::uint16_t>(v));
    put16(b, static_cast<std::uint16_t>(v >> 16));
}
void putCompact(Buffer& b, std::int64_t value) {
    std::uint64_t v = value < 0 ? static_cast<std::uint64_t>(-value) : static_cast<std::uint64_t>(value);
    std::uint8_t first = static_cast<std::uint8_t>((value < 0 ? 0x80 : 0) | (v & 0x3F));
    v >>= 6;
    b.push_back(static_cast<std::uint8_t>(first | (v != 0 ? 0x40 : 0)));
    while (v != 0) {
        const std::uint8_t next = static_cast<std::uint8_t>(v & 0x7F);
        v >>= 7;
        b.push_back(static_cast<std::uint8_t>(next | (v != 0 ? 0x80 : 0)));
    }
}

Buffer nameTable(const Package& p) {
    Buffer b;
    for (const NameEntry& n : p.names) {
        if (p.header.version >= 64) {
            putCompact(b, static_cast<std::int64_t>(n.text.size() + 1));
        }
        b.insert(b.end(), n.text.begin(), n.text.end());
        b.push_back(0);
        put32(b, n.flags);
    }
    return b;
}

Buffer importTable(const Package& p) {
    Buffer b;
    for (const ImportEntry& e : p.imports) {
        putCompact(b, e.classPackage);
        putCompact(b, e.className);
        put32(b, static_cast<std::uint32_t>(e.outer.raw));
        putCompact(b, e.objectName);
    }
    return b;
}

// Exports with only the kept objects' bytes, at `offsets`.
Buffer exportTable(const Package& p, const std::vector<std::size_t>& kept,
                   const std::vector<std::uint64_t>& offsets) {
    Buffer b;
    for (std::size_t i = 0; i < p.exports.size(); ++i) {
        const ExportEntry& e = p.exports[i];
        putCompact(b, e.classRef.raw);
        putCompact(b, e.superRef.raw);
        put32(b, static_cast<std::uint32_t>(e.outer.raw));
        putCompact(b, e.objectName);
        put32(b, e.flags);
        const auto at = std::find(kept.begin(), kept.end(), i);
        if (at == kept.end()) {
            putCompact(b, 0);
            continue;
        }
        putCompact(b, e.serialSize);
        putCompact(b, static_cast<std::int64_t>(offsets[static_cast<std::size_t>(at - kept.begin())]));
    }
    return b;
}

// The object's bytes with every int32 that points into the object (a lazy array's or a mip's
// end) moved by the same distance as the object.
Buffer moved(const Package& p, std::size_t i, std::uint64_t to) {
    const ExportEntry& e = p.exports[i];
    Buffer b(p.bytes.begin() + e.serialOffset, p.bytes.begin() + e.serialOffset + e.serialSize);
    for (std::size_t k = 0; k + 4 <= b.size(); ++k) {
        const std::uint32_t v = b[k] | b[k + 1] << 8 | b[k + 2] << 16 |
                                static_cast<std::uint32_t>(b[k + 3]) << 24;
        if (v > e.serialOffset && v <= e.serialOffset + e.serialSize) {
            const auto w = static_cast<std::uint32_t>(v - e.serialOffset + to);
            for (int j = 0; j < 4; ++j) {
                b[k + static_cast<std::size_t>(j)] = static_cast<std::uint8_t>(w >> (8 * j));
            }
            k += 3;
        }
    }
    return b;
}

Buffer seedOf(const Package& p, const std::vector<std::size_t>& kept) {
    const Header& h = p.header;
    const Buffer names = nameTable(p);
    const Buffer imports = importTable(p);
    const std::uint64_t headerSize =
        36 + (h.version < 68 ? 8 : 16 + 4 + 8 * h.generations.size());
    std::vector<std::uint64_t> offsets(kept.size(), 0);
    Buffer exports;
    for (int round = 0; round < 4; ++round) {
        exports = exportTable(p, kept, offsets);
        std::uint64_t at = headerSize + names.size() + imports.size() + exports.size();
        for (std::size_t k = 0; k < kept.size(); ++k) {
            offsets[k] = at;
            at += p.exports[kept[k]].serialSize;
        }
    }
    Buffer b;
    put32(b, kPackageTag);
    put16(b, h.version);
    put16(b, h.licensee);
    put32(b, h.flags);
    const std::uint64_t namesAt = headerSize;
    const std::uint64_t importsAt = namesAt + names.size();
    const std::uint64_t exportsAt = importsAt + imports.size();
    put32(b, static_cast<std::uint32_t>(p.names.size()));
    put32(b, static_cast<std::uint32_t>(namesAt));
    put32(b, static_cast<std::uint32_t>(p.exports.size()));
    put32(b, static_cast<std::uint32_t>(exportsAt));
    put32(b, static_cast<std::uint32_t>(p.imports.size()));
    put32(b, static_cast<std::uint32_t>(importsAt));
    if (h.version < 68) {
        put32(b, 0);
        put32(b, 0);
    } else {
        b.insert(b.end(), h.guid.begin(), h.guid.end());
        put32(b, static_cast<std::uint32_t>(h.generations.size()));
        for (const auto& g : h.generations) {
            put32(b, g[0]);
            put32(b, g[1]);
        }
    }
    b.insert(b.end(), names.begin(), names.end());
    b.insert(b.end(), imports.begin(), imports.end());
    b.insert(b.end(), exports.begin(), exports.end());
    for (std::size_t k = 0; k < kept.size(); ++k) {
        const Buffer o = moved(p, kept[k], offsets[k]);
        b.insert(b.end(), o.begin(), o.end());
    }
    return b;
}

// True when every kept object reads back whole from the seed.
bool readsBack(const Buffer& seed, const std::vector<std::size_t>& kept) {
    const PackageRead r = readPackage(seed, "Seed");
    if (!r.package) {
        return false;
    }
    const Package& p = *r.package;
    return std::all_of(kept.begin(), kept.end(), [&p](std::size_t i) {
        switch (objectKindOf(p, i)) {
        case ObjectKind::Mesh: return !readMesh(p, i).failure;
        case ObjectKind::Texture: return !readTexture(p, i).failure;
        case ObjectKind::Palette: return !readPalette(p, i).failure;
        default: return false;
        }
    });
}

std::vector<std::vector<std::size_t>> choices(const Package& p, const Contents& c) {
    std::vector<std::vector<std::size_t>> out;
    auto smallest = [&p](auto items, auto take) {
        std::sort(items.begin(), items.end(), [&p](const auto* a, const auto* b) {
            return p.exports[a->exportIndex].serialSize < p.exports[b->exportIndex].serialSize;
        });
        std::size_t n = 0;
        for (const auto* x : items) {
            if (n < kSeedsPerKind && p.exports[x->exportIndex].serialSize <= kMaxObjectBytes &&
                take(*x)) {
                ++n;
            }
        }
    };
    std::vector<const Mesh*> meshes;
    for (const Mesh& m : c.meshes) {
        meshes.push_back(&m);
    }
    smallest(meshes, [&out](const Mesh& m) {
        out.push_back({m.exportIndex});
        return true;
    });
    std::vector<const Texture*> textures;
    for (const Texture& t : c.textures) {
        textures.push_back(&t);
    }
    for (bool comp : {false, true}) {
        smallest(textures, [&out, comp](const Texture& t) {
            if (t.hasComp != comp) {
                return false;
            }
            std::vector<std::size_t> kept = {t.exportIndex};
            if (t.palette.kind == ObjectLink::Kind::Export) {
                kept.push_back(t.palette.exportIndex);
            }
            out.push_back(kept);
            return true;
        });
    }
    return out;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s OUT_DIR PACKAGE_DIR\n", argv[0]);
        return 2;
    }
    const fs::path out = argv[1];
    fs::create_directories(out);
    int written = 0;
    std::error_code ec;
    for (const auto& e : fs::recursive_directory_iterator(argv[2], ec)) {
        if (!e.is_regular_file() || e.path().extension() != ".u") {
            continue;
        }
        std::ifstream in(e.path(), std::ios::binary);
        const Buffer bytes((std::istreambuf_iterator<char>(in)), {});
        const PackageRead r = readPackage(bytes, e.path().stem().string());
        if (!r.package) {
            continue;
        }
        const Contents c = readContents(*r.package, false);
        int n = 0;
        for (const std::vector<std::size_t>& kept : choices(*r.package, c)) {
            const Buffer seed = seedOf(*r.package, kept);
            if (!readsBack(seed, kept)) {
                continue;
            }
            const fs::path name = out / (e.path().stem().string() + "-" + std::to_string(n++) + ".u");
            std::ofstream(name, std::ios::binary)
                .write(reinterpret_cast<const char*>(seed.data()), static_cast<std::streamsize>(seed.size()));
            ++written;
        }
    }
    std::printf("%d package seeds\n", written);
    return written > 0 ? 0 : 1;
}
