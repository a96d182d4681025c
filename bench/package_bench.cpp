// The package reader's figures: the time to read every mesh and texture of a package (the
// container, every object, every mesh's triangles rebuilt and every corner's vertex decoded in
// every frame, every mip decoded to RGBA), and the heap it takes beyond the file's own bytes.
// Usage: meshfold_package_bench [PACKAGE.u] [RUNS]
// Without a package, the largest of ../shared/corpus-ue1 (Jazz3.u) when it is there.
#include "meshfold/image/block_decode.h"
#include "meshfold/package/inventory.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>
#include <string>
#include <vector>

namespace {

// Heap in use and its peak, counted by the replaced global allocation functions below.
std::atomic<std::size_t> gInUse{0};
std::atomic<std::size_t> gPeak{0};

void* counted(std::size_t n) {
    // A header keeps each block's size for its release.
    auto* p = static_cast<std::size_t*>(std::malloc(n + sizeof(std::max_align_t)));
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    *p = n;
    const std::size_t now = gInUse += n;
    std::size_t peak = gPeak.load();
    while (now > peak && !gPeak.compare_exchange_weak(peak, now)) {
    }
    return reinterpret_cast<char*>(p) + sizeof(std::max_align_t);
}

void release(void* q) {
    if (q == nullptr) {
        return;
    }
    auto* p = reinterpret_cast<std::size_t*>(static_cast<char*>(q) - sizeof(std::max_align_t));
    gInUse -= *p;
    std::free(p);
}

} // namespace

void* operator new(std::size_t n) { return counted(n); }
void* operator new[](std::size_t n) { return counted(n); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }

namespace {

using namespace meshfold::package;
namespace image = meshfold::image;

struct Totals {
    std::size_t meshes = 0, textures = 0, triangles = 0, vertexReads = 0, pixels = 0;
};

bool layoutOf(PixelFormat f, image::PixelLayout& out) {
    switch (f) {
    case PixelFormat::P8: out = image::PixelLayout::P8; return true;
    case PixelFormat::Dxt1: out = image::PixelLayout::Bc1; return true;
    case PixelFormat::Bc2: out = image::PixelLayout::Bc2; return true;
    case PixelFormat::Bc3: out = image::PixelLayout::Bc3; return true;
    case PixelFormat::Rgb8: out = image::PixelLayout::Rgb8; return true;
    case PixelFormat::Rgba8: out = image::PixelLayout::Bgra8; return true;
    default: return false;
    }
}

// One whole read; the decoded pixels of one mip at a time, as an extraction writes them.
Totals readAll(const std::vector<std::uint8_t>& bytes, std::int64_t& checksum) {
    Totals t;
    const PackageRead r = readPackage(bytes, "Bench");
    if (!r.package) {
        std::fprintf(stderr, "the package is refused\n");
        std::exit(1);
    }
    const Contents c = readContents(*r.package);
    for (const Mesh& m : c.meshes) {
        ++t.meshes;
        const TrianglesRead tris = rebuildTriangles(m);
        t.triangles += tris.triangles.size();
        for (std::int32_t f = 0; f < m.frameCount; ++f) {
            for (std::int32_t k = 0; k < m.frameVerts; ++k) {
                checksum += vertexValues(m, static_cast<std::uint32_t>(f), static_cast<std::uint32_t>(k)).x;
                ++t.vertexReads;
            }
        }
    }
    std::vector<std::uint8_t> rgba;
    static const std::vector<std::uint8_t> grey(kPaletteColours * 4, 128);
    for (const Texture& tex : c.textures) {
        ++t.textures;
        const Palette* pal = paletteOf(c, tex);
        for (const auto* list : {&tex.mips, &tex.compMips}) {
            const PixelFormat format = list == &tex.mips ? tex.format : tex.compFormat;
            image::PixelLayout layout{};
            if (!layoutOf(format, layout)) {
                continue;
            }
            for (const Mip& mip : *list) {
                image::decodePixels(layout, mip.pixels, static_cast<std::uint32_t>(mip.width),
                                    static_cast<std::uint32_t>(mip.height), rgba,
                                    pal ? std::span<const std::uint8_t>(pal->rgba) : std::span(grey),
                                    tex.surface.masked);
                t.pixels += rgba.size() / 4;
                checksum += rgba.empty() ? 0 : rgba[rgba.size() / 2];
            }
        }
    }
    return t;
}

std::filesystem::path defaultPackage() {
    return std::filesystem::path(MESHFOLD_SOURCE_DIR) / ".." / "shared" / "corpus-ue1" /
           "SnakieJakie_Jazz-Jackrabbit-3D-Archive" / "Builds" / "227" / "System" / "Jazz3.u";
}

} // namespace

int main(int argc, char** argv) {
    const std::filesystem::path file = argc > 1 ? std::filesystem::path(argv[1]) : defaultPackage();
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 20;
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        std::printf("no package at %s: nothing measured\n", file.string().c_str());
        return 0;
    }
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
    const std::size_t base = gInUse.load();
    gPeak = base;
    std::int64_t checksum = 0;
    Totals t;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < runs; ++i) {
        t = readAll(bytes, checksum);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / runs;
    std::printf("%s: %zu bytes, %zu meshes (%zu triangles, %zu vertex reads), %zu textures "
                "(%zu pixels decoded)\n",
                file.filename().string().c_str(), bytes.size(), t.meshes, t.triangles,
                t.vertexReads, t.textures, t.pixels);
    std::printf("read everything: %.2f ms a run (%d runs), %.0f MB/s of package\n", seconds * 1e3,
                runs, bytes.size() / seconds / 1e6);
    std::printf("heap beyond the file's bytes: peak %.2f MiB (the file itself: %.2f MiB)\n",
                (gPeak.load() - base) / 1048576.0, bytes.size() / 1048576.0);
    std::printf("checksum %lld\n", static_cast<long long>(checksum));
    return 0;
}
