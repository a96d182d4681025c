// Figures for the texture writer: how close the 256-colour PCX comes to the
// image it was made from, with and without dithering, and how long a large
// JPEG skin takes to become a 256 x 256 texture. Prints figures; asserts
// nothing. The images are made here (no third-party art in the repository):
// gradients, layered value noise, soft shaded shapes and fine grain, the
// things a photographed or painted skin is made of.
//
// Usage: meshfold_image_bench [runs]   (runs of the timed pipeline, default 5)
#include "meshfold/image/image.h"

#include <stb_image.h>
#include <stb_image_write.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using meshfold::Image;
using meshfold::PalettedImage;

struct Random {
    std::uint64_t state;
    std::uint32_t next() {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<std::uint32_t>(state >> 33);
    }
    double unit() { return next() / 2147483648.0; }
};

// Value noise: a lattice of random values every `cell` pixels, smoothly
// interpolated; `octaves` layers, each of half the cell and half the weight.
class Noise {
public:
    Noise(std::uint64_t seed, double cell, int octaves) : cell_(cell), octaves_(octaves) {
        Random r{seed};
        for (double& v : lattice_) {
            v = r.unit();
        }
    }
    double at(double x, double y) const {
        double total = 0, weight = 1, sum = 0, scale = 1 / cell_;
        for (int o = 0; o < octaves_; ++o) {
            total += weight * layer(x * scale + o * 17.3, y * scale + o * 5.1);
            sum += weight;
            weight *= 0.5;
            scale *= 2;
        }
        return total / sum;
    }

private:
    static constexpr int kSize = 64;
    double layer(double x, double y) const {
        const double fx = std::floor(x), fy = std::floor(y);
        const double tx = smooth(x - fx), ty = smooth(y - fy);
        const int ix = static_cast<int>(fx), iy = static_cast<int>(fy);
        const double a = value(ix, iy), b = value(ix + 1, iy);
        const double c = value(ix, iy + 1), d = value(ix + 1, iy + 1);
        return (a + (b - a) * tx) * (1 - ty) + (c + (d - c) * tx) * ty;
    }
    static double smooth(double t) { return t * t * (3 - 2 * t); }
    double value(int x, int y) const {
        return lattice_[static_cast<std::size_t>(((y % kSize + kSize) % kSize) * kSize +
                                                 ((x % kSize + kSize) % kSize))];
    }
    double cell_;
    int octaves_;
    double lattice_[kSize * kSize];
};

std::uint8_t toByte(double v) {
    return static_cast<std::uint8_t>(std::clamp(std::lround(v * 255), 0L, 255L));
}

// A photo-like skin: a coloured noise field over a gradient, soft shaded
// discs, and grain (1: about 2 levels either way). `hues` above 0 adds
// independent noise to each channel, up to a level of `hues` / 4: a
// many-coloured skin, the hardest case for 256 colours.
Image photoLike(std::uint32_t width, std::uint32_t height, std::uint64_t seed, double grain,
                double hues = 0) {
    Random r{seed};
    const Noise hue(seed + 1, width / 3.0, 5), light(seed + 2, width / 5.0, 6);
    const Noise channels[3] = {Noise(seed + 3, width / 24.0, 4), Noise(seed + 4, width / 20.0, 4),
                               Noise(seed + 5, width / 28.0, 4)};
    const double base[3] = {r.unit(), r.unit(), r.unit()};
    const double tint[3] = {r.unit(), r.unit(), r.unit()};
    struct Disc {
        double x, y, radius, colour[3];
    };
    std::vector<Disc> discs(4);
    for (Disc& d : discs) {
        d = {r.unit() * width, r.unit() * height, (0.05 + 0.2 * r.unit()) * width,
             {r.unit(), r.unit(), r.unit()}};
    }
    Image image;
    image.width = width;
    image.height = height;
    image.rgba.resize(std::size_t{width} * height * 4);
    for (std::uint32_t y = 0; y < height; ++y) {
        for (std::uint32_t x = 0; x < width; ++x) {
            const double h = hue.at(x, y), l = 0.35 + 0.65 * light.at(x, y);
            const double g = static_cast<double>(y) / height;
            double c[3];
            for (int ch = 0; ch < 3; ++ch) {
                c[ch] = (base[ch] * (1 - h) + tint[ch] * h) * l * (0.7 + 0.3 * g) +
                        hues / 4 * (channels[ch].at(x, y) - 0.5);
            }
            for (const Disc& d : discs) {
                const double dist = std::hypot(x - d.x, y - d.y) / d.radius;
                if (dist < 1) {
                    const double shade = std::sqrt(1 - dist * dist); // a lit sphere
                    const double edge = std::clamp((1 - dist) * 8, 0.0, 1.0);
                    for (int ch = 0; ch < 3; ++ch) {
                        c[ch] = c[ch] * (1 - edge) + d.colour[ch] * (0.3 + 0.7 * shade) * edge;
                    }
                }
            }
            const std::size_t p = (std::size_t{y} * width + x) * 4;
            for (int ch = 0; ch < 3; ++ch) {
                image.rgba[p + static_cast<std::size_t>(ch)] =
                    toByte(c[ch] + grain * (r.unit() - 0.5) / 16);
            }
            image.rgba[p + 3] = 255;
        }
    }
    return image;
}

double psnr(const Image& image, const PalettedImage& out) {
    double sum = 0;
    for (std::size_t i = 0; i < out.indices.size(); ++i) {
        for (std::size_t ch = 0; ch < 3; ++ch) {
            const double d =
                double(image.rgba[i * 4 + ch]) - out.palette[out.indices[i] * 3u + ch];
            sum += d * d;
        }
    }
    const double mse = sum / (3.0 * static_cast<double>(out.indices.size()));
    return mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255 / mse);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

void qualityFigures() {
    struct Sample {
        const char* name;
        std::uint32_t width, height;
        double grain, hues;
    };
    const Sample samples[] = {
        {"smooth 512x512", 512, 512, 0, 0},        {"grain 512x512", 512, 512, 1, 0},
        {"smooth 1000x600", 1000, 600, 0, 0},      {"grain 1000x600", 1000, 600, 1, 0},
        {"heavy grain 512x512", 512, 512, 3, 0},   {"smooth 256x256", 256, 256, 0, 0},
        {"grain 300x300", 300, 300, 1, 0},         {"smooth 2048x1024", 2048, 1024, 0, 0},
        {"hues 512x512", 512, 512, 1, 1},          {"hues 1000x600", 1000, 600, 1, 2},
        {"strong hues 256x256", 256, 256, 1, 3},
    };
    std::vector<double> plain, dithered;
    std::printf("%-22s %-9s %10s %10s\n", "image", "texture", "plain dB", "dither dB");
    std::uint64_t seed = 11;
    for (const Sample& s : samples) {
        const Image source = photoLike(s.width, s.height, seed++, s.grain, s.hues);
        const Image resized = meshfold::resizeForTexture(source);
        plain.push_back(psnr(resized, meshfold::quantise(resized)));
        dithered.push_back(psnr(resized, meshfold::quantise(resized, {.dither = true})));
        std::printf("%-22s %4ux%-4u %10.2f %10.2f\n", s.name, resized.width, resized.height,
                    plain.back(), dithered.back());
    }
    std::printf("%-22s %-9s %10.2f %10.2f\n", "median", "", median(plain), median(dithered));
}

void appendBytes(void* context, void* data, int size) {
    auto* out = static_cast<std::vector<std::uint8_t>*>(context);
    const auto* p = static_cast<const std::uint8_t*>(data);
    out->insert(out->end(), p, p + size);
}

double msSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

void speedFigures(int runs) {
    const Image skin = photoLike(2048, 2048, 7, 1, 1);
    std::vector<std::uint8_t> jpeg;
    constexpr int kJpegQuality = 90;
    stbi_write_jpg_to_func(appendBytes, &jpeg, 2048, 2048, 4, skin.rgba.data(), kJpegQuality);
    std::printf("\n2048x2048 JPEG skin (%zu bytes) to a 256x256 PCX, best of %d runs (ms):\n",
                jpeg.size(), runs);
    double best[5] = {1e9, 1e9, 1e9, 1e9, 1e9};
    std::size_t pcxSize = 0;
    for (int run = 0; run < runs; ++run) {
        const auto start = std::chrono::steady_clock::now();
        auto t = start;
        int w = 0, h = 0, channels = 0;
        stbi_uc* pixels = stbi_load_from_memory(jpeg.data(), static_cast<int>(jpeg.size()), &w,
                                                &h, &channels, 4);
        Image image;
        image.width = static_cast<std::uint32_t>(w);
        image.height = static_cast<std::uint32_t>(h);
        image.rgba.assign(pixels, pixels + std::size_t(w) * std::size_t(h) * 4);
        stbi_image_free(pixels);
        const double decode = msSince(t);
        t = std::chrono::steady_clock::now();
        const Image resized = meshfold::resizeForTexture(image);
        const double resize = msSince(t);
        t = std::chrono::steady_clock::now();
        const PalettedImage paletted = meshfold::quantise(resized);
        const double quantise = msSince(t);
        t = std::chrono::steady_clock::now();
        pcxSize = meshfold::encodePcx(paletted).size();
        const double encode = msSince(t);
        const double stages[5] = {decode, resize, quantise, encode, msSince(start)};
        for (int i = 0; i < 5; ++i) {
            best[i] = std::min(best[i], stages[i]);
        }
    }
    std::printf("  decode %.1f  resize %.1f  quantise %.1f  encode %.1f  total %.1f (PCX %zu bytes)\n",
                best[0], best[1], best[2], best[3], best[4], pcxSize);
    const Image resized = meshfold::resizeForTexture(skin);
    const auto t = std::chrono::steady_clock::now();
    const PalettedImage dithered = meshfold::quantise(resized, {.dither = true});
    std::printf("  quantise with dithering %.1f\n", msSince(t));
    (void)dithered;
}

} // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    qualityFigures();
    speedFigures(runs);
    return 0;
}
