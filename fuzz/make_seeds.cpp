// Writes the fuzz target's starting inputs: small generated meshes in every
// mode, and the real meshes of a folder when one is given.
// Usage: meshfold_fuzz_seeds OUT_DIR [MESH_DIR]
#include "fuzz_input.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

namespace {

void put16(Bytes& b, unsigned v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}

Bytes anim(unsigned frames, unsigned frameSize, unsigned words, std::uint32_t seed) {
    Bytes b;
    put16(b, frames);
    put16(b, frameSize);
    for (unsigned i = 0; i < words; ++i) {
        seed = seed * 1664525u + 1013904223u;
        put16(b, seed & 0xFFFF);
        put16(b, seed >> 16);
    }
    return b;
}

Bytes data(unsigned polys, unsigned verts, unsigned records) {
    Bytes b;
    put16(b, polys);
    put16(b, verts);
    b.resize(48, 0x5A);
    for (unsigned i = 0; i < records * 16; ++i) {
        b.push_back(static_cast<std::uint8_t>(i * 7 + 3));
    }
    return b;
}

Bytes readAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int written = 0;

void save(const fs::path& dir, const std::string& name, const Bytes& a, const Bytes& d) {
    for (int modes = 0; modes < 8; ++modes) {
        Bytes input;
        if (!meshfold::fuzz::joinInput(modes & 1, modes & 2, modes & 4, a, d, input)) {
            return;
        }
        std::ofstream out(dir / (name + "-" + std::to_string(modes)), std::ios::binary);
        out.write(reinterpret_cast<const char*>(input.data()), static_cast<std::streamsize>(input.size()));
        ++written;
    }
}

// Real meshes whose input stays small enough to mutate quickly.
constexpr std::uintmax_t kMaxMeshSeed = 64 * 1024;

void saveMeshes(const fs::path& out, const fs::path& meshes) {
    for (const auto& e : fs::directory_iterator(meshes)) {
        const std::string f = e.path().filename().string();
        if (f.size() < 5 || f.substr(f.size() - 5) != "_a.3d") {
            continue;
        }
        const std::string base = f.substr(0, f.size() - 5);
        const fs::path d = meshes / (base + "_d.3d");
        if (!fs::exists(d) || fs::file_size(e.path()) + fs::file_size(d) > kMaxMeshSeed) {
            continue;
        }
        save(out, "mesh-" + base, readAll(e.path()), readAll(d));
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUT_DIR [MESH_DIR]\n", argv[0]);
        return 2;
    }
    const fs::path out = argv[1];
    fs::create_directories(out);
    save(out, "packed", anim(1, 16, 4, 1), data(2, 4, 2));
    save(out, "frames", anim(3, 40, 30, 2), data(5, 10, 5));
    save(out, "count-mismatch", anim(2, 43, 25, 3), data(1, 10, 1));
    save(out, "converted", anim(1, 80, 20, 4), data(1, 10, 1));
    save(out, "unknown-format", anim(1, 90, 20, 5), data(1, 10, 1));
    save(out, "too-large", anim(1, 32768, 4, 6), data(1, 8192, 1));
    save(out, "room-to-spare", anim(3, 20, 14, 10), data(1, 4, 1));
    save(out, "room-by-content", anim(2, 36, 18, 11), data(1, 4, 1));
    save(out, "short-table", anim(1, 16, 4, 7), data(3, 4, 2));
    save(out, "trailing", anim(1, 16, 4, 8), data(1, 4, 3));
    save(out, "no-words", Bytes{1, 0, 40, 0, 7}, data(1, 10, 1));
    save(out, "zero-counts", anim(0, 0, 0, 9), data(0, 0, 0));
    if (argc > 2 && fs::is_directory(argv[2])) {
        saveMeshes(out, argv[2]);
    }
    std::printf("%d seed inputs in %s\n", written, out.string().c_str());
    return 0;
}
