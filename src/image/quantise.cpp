// An image reduced to a palette of at most 256 colours (median cut refined by
// k-means, in integers), its pixels mapped to it plainly or dithered, and the
// mask of a masked texture.
#include "meshfold/image/image.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

namespace meshfold {

// ---- The mask ----

std::uint32_t alphaShownFrom(double alphaCutoff) {
    if (!(alphaCutoff > 0)) {
        return 0;
    }
    if (alphaCutoff > 1) {
        return 256;
    }
    // alphaCutoff = mantissa * 2^(exponent - 53) with a 53-bit whole
    // mantissa, so a / 255 < alphaCutoff  <=>  a * 2^shift < 255 * mantissa:
    // the answer is ceil(255 * mantissa / 2^shift), in integers, the same on
    // every floating-point unit.
    int exponent = 0;
    const double fraction = std::frexp(alphaCutoff, &exponent); // [0.5, 1)
    const auto mantissa = static_cast<std::uint64_t>(std::ldexp(fraction, 53));
    const int shift = 53 - exponent; // >= 52: alphaCutoff <= 1
    const std::uint64_t scaled = 255 * mantissa; // < 2^61
    if (shift >= 64) {
        return 1; // 0 < 255 * alphaCutoff < 1
    }
    const std::uint64_t whole = scaled >> shift;
    const bool exact = (scaled & ((std::uint64_t{1} << shift) - 1)) == 0;
    return static_cast<std::uint32_t>(exact ? whole : whole + 1);
}

// ---- Quantiser ----

namespace {

// A colour as 0xRRGGBB; channel 0 is red.
using Rgb = std::uint32_t;
constexpr std::size_t kPaletteColours = 256;
constexpr std::uint8_t kMaskIndex = 0;
// Rounds of k-means after the median cut; each moves every colour to its
// nearest entry and every entry to its colours' mean. Further rounds gain
// less than 0.05 dB on the bench's images.
constexpr int kRefineRounds = 6;

int channelOf(Rgb colour, int channel) {
    return static_cast<int>((colour >> (16 - 8 * channel)) & 0xFF);
}

Rgb rgbOfPixel(const std::uint8_t* p) {
    return (Rgb{p[0]} << 16) | (Rgb{p[1]} << 8) | p[2];
}

Rgb rgbOf(int r, int g, int b) {
    return (static_cast<Rgb>(r) << 16) | (static_cast<Rgb>(g) << 8) | static_cast<Rgb>(b);
}

struct ColourCount {
    Rgb colour = 0;
    std::uint32_t count = 0;
};

// Weighted sums of a set of colours: count, and per channel the sum of
// values and of squares. Exact: at most kMaxQuantisedPixels (2^26) pixels,
// so a sum of squares stays below 2^42.
struct ColourSums {
    std::uint64_t n = 0;
    std::array<std::uint64_t, 3> sum{};
    std::array<std::uint64_t, 3> squares{};

    void add(const ColourCount& c) {
        n += c.count;
        for (int ch = 0; ch < 3; ++ch) {
            const std::uint64_t v = static_cast<std::uint64_t>(channelOf(c.colour, ch));
            sum[ch] += v * c.count;
            squares[ch] += v * v * c.count;
        }
    }
    ColourSums minus(const ColourSums& o) const {
        ColourSums r;
        r.n = n - o.n;
        for (int ch = 0; ch < 3; ++ch) {
            r.sum[ch] = sum[ch] - o.sum[ch];
            r.squares[ch] = squares[ch] - o.squares[ch];
        }
        return r;
    }
    // The squared error of one channel about its mean: squares - sum^2 / n,
    // the division floored. sum^2 may pass 2^64, so it is taken as
    // (sum / n) * sum + (sum % n) * sum / n, whose product is below 2^60.
    std::uint64_t channelError(int ch) const {
        if (n == 0) {
            return 0;
        }
        const std::uint64_t s = sum[ch];
        return squares[ch] - ((s / n) * s + (s % n) * s / n);
    }
    std::uint64_t error() const { return channelError(0) + channelError(1) + channelError(2); }
    // The mean colour, each channel rounded half up.
    Rgb mean() const {
        std::array<int, 3> c{};
        for (int ch = 0; ch < 3; ++ch) {
            c[ch] = static_cast<int>((2 * sum[ch] + n) / (2 * n));
        }
        return rgbOf(c[0], c[1], c[2]);
    }
};

// Which pixels a masked texture shows.
std::vector<bool> shownPixels(const Image& image, const QuantiseOptions& options) {
    const std::size_t pixels = std::size_t{image.width} * image.height;
    std::vector<bool> shown(pixels, true);
    if (options.masked) {
        const std::uint32_t from = alphaShownFrom(options.alphaCutoff);
        for (std::size_t i = 0; i < pixels; ++i) {
            shown[i] = image.rgba[i * 4 + 3] >= from;
        }
    }
    return shown;
}

// The distinct colours of the shown pixels with their counts, ascending.
std::vector<ColourCount> histogram(const Image& image, const std::vector<bool>& shown) {
    std::vector<Rgb> colours;
    colours.reserve(shown.size());
    for (std::size_t i = 0; i < shown.size(); ++i) {
        if (shown[i]) {
            colours.push_back(rgbOfPixel(&image.rgba[i * 4]));
        }
    }
    std::sort(colours.begin(), colours.end());
    std::vector<ColourCount> out;
    for (const Rgb c : colours) {
        if (out.empty() || out.back().colour != c) {
            out.push_back({c, 0});
        }
        ++out.back().count;
    }
    return out;
}

// A box of the median cut: a range of the histogram and its sums.
struct Box {
    std::size_t begin = 0;
    std::size_t end = 0;
    ColourSums sums;
    std::uint64_t error = 0;
};

Box makeBox(const std::vector<ColourCount>& colours, std::size_t begin, std::size_t end) {
    Box box{begin, end, {}, 0};
    for (std::size_t i = begin; i < end; ++i) {
        box.sums.add(colours[i]);
    }
    box.error = box.sums.error();
    return box;
}

// Splits `box` (two or more colours) across the channel of the largest
// error, where the two halves' errors add up least. Sorting by the channel
// and then the whole colour is a total order: the same on every library.
std::pair<Box, Box> splitBox(std::vector<ColourCount>& colours, const Box& box) {
    int axis = 0;
    for (int ch = 1; ch < 3; ++ch) {
        if (box.sums.channelError(ch) > box.sums.channelError(axis)) {
            axis = ch;
        }
    }
    std::sort(colours.begin() + static_cast<std::ptrdiff_t>(box.begin),
              colours.begin() + static_cast<std::ptrdiff_t>(box.end),
              [axis](const ColourCount& a, const ColourCount& b) {
                  const int va = channelOf(a.colour, axis);
                  const int vb = channelOf(b.colour, axis);
                  return va != vb ? va < vb : a.colour < b.colour;
              });
    ColourSums left;
    std::size_t best = box.begin + 1;
    std::uint64_t bestError = UINT64_MAX;
    for (std::size_t split = box.begin + 1; split < box.end; ++split) {
        left.add(colours[split - 1]);
        const std::uint64_t e = left.error() + box.sums.minus(left).error();
        if (e < bestError) {
            bestError = e;
            best = split;
        }
    }
    return {makeBox(colours, box.begin, best), makeBox(colours, best, box.end)};
}

// Median cut: up to `slots` boxes, always splitting the one of largest error.
std::vector<Rgb> medianCut(std::vector<ColourCount> colours, std::size_t slots) {
    std::vector<Box> boxes{makeBox(colours, 0, colours.size())};
    while (boxes.size() < slots) {
        std::size_t worst = 0;
        for (std::size_t i = 1; i < boxes.size(); ++i) {
            if (boxes[i].error > boxes[worst].error) {
                worst = i;
            }
        }
        if (boxes[worst].error == 0) {
            break; // every box is one colour
        }
        auto [a, b] = splitBox(colours, boxes[worst]);
        boxes[worst] = a;
        boxes.push_back(b);
    }
    std::vector<Rgb> palette;
    for (const Box& box : boxes) {
        palette.push_back(box.sums.mean());
    }
    return palette;
}

int squaredDistance(Rgb a, Rgb b) {
    int d = 0;
    for (int ch = 0; ch < 3; ++ch) {
        const int c = channelOf(a, ch) - channelOf(b, ch);
        d += c * c;
    }
    return d;
}

// Nearest palette entry by squared RGB distance, the lowest index on a tie.
// Entries are searched outward from the colour's green value in an order
// sorted by green, stopping once green alone is farther than the best.
class NearestColour {
public:
    explicit NearestColour(const std::vector<Rgb>& palette) : palette_(palette) {
        for (std::size_t i = 0; i < palette.size(); ++i) {
            byGreen_.push_back(static_cast<int>(i));
        }
        std::sort(byGreen_.begin(), byGreen_.end(), [&](int a, int b) {
            const int ga = channelOf(palette[a], 1), gb = channelOf(palette[b], 1);
            return ga != gb ? ga < gb : a < b;
        });
    }

    // `guess`, an entry likely near (or -1), only narrows the search.
    int find(int r, int g, int b, int guess = -1) const {
        const Rgb colour = rgbOf(r, g, b);
        const auto start = std::lower_bound(byGreen_.begin(), byGreen_.end(), g,
                                            [&](int i, int value) { return greenOf(i) < value; });
        int best = -1;
        int bestDistance = INT32_MAX;
        const auto consider = [&](int i) {
            const int d = squaredDistance(palette_[static_cast<std::size_t>(i)], colour);
            if (d < bestDistance || (d == bestDistance && i < best)) {
                bestDistance = d;
                best = i;
            }
        };
        if (guess >= 0) {
            consider(guess);
        }
        for (auto it = start; it != byGreen_.end(); ++it) {
            const int dg = greenOf(*it) - g;
            if (dg * dg > bestDistance) {
                break;
            }
            consider(*it);
        }
        for (auto it = start; it != byGreen_.begin();) {
            --it;
            const int dg = g - greenOf(*it);
            if (dg * dg > bestDistance) {
                break;
            }
            consider(*it);
        }
        return best;
    }

private:
    int greenOf(int i) const { return channelOf(palette_[static_cast<std::size_t>(i)], 1); }
    std::vector<Rgb> palette_;
    std::vector<int> byGreen_;
};

// Lloyd's rounds over the histogram; an entry left with no colour keeps its
// place. Stops early when no entry moves.
void refine(std::vector<Rgb>& palette, const std::vector<ColourCount>& colours) {
    std::vector<int> assigned(colours.size(), -1);
    for (int round = 0; round < kRefineRounds; ++round) {
        const NearestColour nearest(palette);
        std::vector<ColourSums> clusters(palette.size());
        for (std::size_t k = 0; k < colours.size(); ++k) {
            const Rgb c = colours[k].colour;
            assigned[k] = nearest.find(channelOf(c, 0), channelOf(c, 1), channelOf(c, 2),
                                       assigned[k]);
            clusters[static_cast<std::size_t>(assigned[k])].add(colours[k]);
        }
        bool moved = false;
        for (std::size_t i = 0; i < palette.size(); ++i) {
            if (clusters[i].n != 0 && clusters[i].mean() != palette[i]) {
                palette[i] = clusters[i].mean();
                moved = true;
            }
        }
        if (!moved) {
            return;
        }
    }
}

// The colours chosen for the shown pixels, at most `slots` of them: exactly
// the image's own when they fit.
std::vector<Rgb> choosePalette(const std::vector<ColourCount>& colours, std::size_t slots) {
    std::vector<Rgb> palette;
    if (colours.size() <= slots) {
        for (const ColourCount& c : colours) {
            palette.push_back(c.colour);
        }
        return palette;
    }
    palette = medianCut(colours, slots);
    refine(palette, colours);
    return palette;
}

// Each shown pixel's nearest entry (+ `first`); hidden pixels stay at 0.
void mapNearest(const Image& image, const std::vector<bool>& shown,
                const std::vector<Rgb>& palette, std::uint8_t first, PalettedImage& out) {
    const NearestColour nearest(palette);
    for (std::size_t i = 0; i < shown.size(); ++i) {
        if (shown[i]) {
            const std::uint8_t* p = &image.rgba[i * 4];
            out.indices[i] = static_cast<std::uint8_t>(first + nearest.find(p[0], p[1], p[2]));
        }
    }
}

// Floyd-Steinberg, serpentine: each shown pixel's error (in sixteenths)
// spread 7/16 ahead, 3/16 behind below, 5/16 below and 1/16 ahead below.
// Hidden pixels neither take nor give error.
void mapDithered(const Image& image, const std::vector<bool>& shown,
                 const std::vector<Rgb>& palette, std::uint8_t first, PalettedImage& out) {
    const NearestColour nearest(palette);
    const std::size_t width = image.width;
    // Two rows of error with a pixel of margin each side, 3 channels.
    std::vector<int> current((width + 2) * 3, 0), next((width + 2) * 3, 0);
    for (std::size_t y = 0; y < image.height; ++y) {
        const bool forward = y % 2 == 0;
        const std::ptrdiff_t step = forward ? 1 : -1;
        for (std::size_t k = 0; k < width; ++k) {
            const std::size_t x = forward ? k : width - 1 - k;
            const std::size_t i = y * width + x;
            if (!shown[i]) {
                continue;
            }
            const std::size_t e = (x + 1) * 3; // this pixel's place in the error rows
            std::array<int, 3> wanted{};
            for (int ch = 0; ch < 3; ++ch) {
                // C++20 shifts of negative values are arithmetic: floor division.
                const int v = image.rgba[i * 4 + static_cast<std::size_t>(ch)] +
                              ((current[e + static_cast<std::size_t>(ch)] + 8) >> 4);
                wanted[static_cast<std::size_t>(ch)] = std::clamp(v, 0, 255);
            }
            const int found = nearest.find(wanted[0], wanted[1], wanted[2]);
            out.indices[i] = static_cast<std::uint8_t>(first + found);
            const Rgb got = palette[static_cast<std::size_t>(found)];
            for (int ch = 0; ch < 3; ++ch) {
                const int err = wanted[static_cast<std::size_t>(ch)] - channelOf(got, ch);
                const auto at = [&](std::ptrdiff_t dx) {
                    return static_cast<std::size_t>(static_cast<std::ptrdiff_t>(e) + dx * 3) +
                           static_cast<std::size_t>(ch);
                };
                current[at(step)] += err * 7;
                next[at(-step)] += err * 3;
                next[at(0)] += err * 5;
                next[at(step)] += err * 1;
            }
        }
        std::swap(current, next);
        std::fill(next.begin(), next.end(), 0);
    }
}

} // namespace

PalettedImage quantise(const Image& image, const QuantiseOptions& options) {
    const std::uint64_t pixels = std::uint64_t{image.width} * image.height;
    if (pixels == 0 || pixels > kMaxQuantisedPixels || image.rgba.size() != pixels * 4) {
        return {};
    }
    const std::vector<bool> shown = shownPixels(image, options);
    const std::vector<ColourCount> colours = histogram(image, shown);
    const std::uint8_t first = options.masked ? 1 : 0;
    const std::vector<Rgb> palette = choosePalette(colours, kPaletteColours - first);

    PalettedImage out;
    out.width = image.width;
    out.height = image.height;
    out.indices.assign(static_cast<std::size_t>(pixels), kMaskIndex);
    out.colours = static_cast<std::uint32_t>(first + palette.size());
    for (std::size_t i = 0; i < palette.size(); ++i) {
        for (int ch = 0; ch < 3; ++ch) {
            out.palette[(first + i) * 3 + static_cast<std::size_t>(ch)] =
                static_cast<std::uint8_t>(channelOf(palette[i], ch));
        }
    }
    // The image's own colours map exactly without diffusing any error.
    if (options.dither && colours.size() > palette.size()) {
        mapDithered(image, shown, palette, first, out);
    } else {
        mapNearest(image, shown, palette, first, out);
    }
    return out;
}

} // namespace meshfold
