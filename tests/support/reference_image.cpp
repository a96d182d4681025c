#include "reference_image.h"

namespace meshfold::test {
namespace {

unsigned u16(const std::vector<std::uint8_t>& f, std::size_t at) {
    return f[at] + 256u * f[at + 1];
}

long s32(const std::vector<std::uint8_t>& f, std::size_t at) {
    const std::uint32_t v =
        f[at] | (f[at + 1] << 8) | (f[at + 2] << 16) | (std::uint32_t(f[at + 3]) << 24);
    return v >= 0x80000000u ? static_cast<long>(static_cast<long long>(v) - 0x100000000LL)
                            : static_cast<long>(v);
}

ReferenceImage fail(const char* why) {
    ReferenceImage r;
    r.why = why;
    return r;
}

// The whole RLE stream of the image unpacked into one buffer first, then
// the pixels picked out of it line by line.
ReferenceImage readPcx(const std::vector<std::uint8_t>& f) {
    if (f.size() < 128 + 769 || f[1] != 5 || f[2] != 1 || f[3] != 8 || f[65] != 1) {
        return fail("not an 8-bit one-plane RLE PCX");
    }
    if (f[f.size() - 769] != 12) {
        return fail("no palette");
    }
    if (u16(f, 8) < u16(f, 4) || u16(f, 10) < u16(f, 6)) {
        return fail("bad window");
    }
    ReferenceImage r;
    r.width = u16(f, 8) - u16(f, 4) + 1;
    r.height = u16(f, 10) - u16(f, 6) + 1;
    const unsigned bytesPerLine = u16(f, 66);
    if (bytesPerLine < r.width) {
        return fail("lines shorter than the width");
    }
    const std::size_t wanted = std::size_t(bytesPerLine) * r.height;
    std::vector<std::uint8_t> lines;
    std::size_t i = 128;
    const std::size_t end = f.size() - 769;
    while (lines.size() < wanted) {
        if (i >= end) {
            return fail("pixel data ends early");
        }
        unsigned count = 1;
        std::uint8_t value = f[i];
        i++;
        if (value >= 192) {
            if (i >= end) {
                return fail("pixel data ends early");
            }
            count = value - 192;
            value = f[i];
            i++;
        }
        for (unsigned k = 0; k < count; k++) {
            lines.push_back(value);
        }
    }
    if (lines.size() != wanted) {
        return fail("a run goes past the last line");
    }
    r.palette.assign(f.end() - 768, f.end());
    for (std::size_t y = 0; y < r.height; y++) {
        for (std::size_t x = 0; x < r.width; x++) {
            const std::uint8_t index = lines[y * bytesPerLine + x];
            r.indices.push_back(index);
            r.rgba.push_back(r.palette[index * 3]);
            r.rgba.push_back(r.palette[index * 3 + 1]);
            r.rgba.push_back(r.palette[index * 3 + 2]);
            r.rgba.push_back(255);
        }
    }
    r.ok = true;
    return r;
}

ReferenceImage readBmp24(const std::vector<std::uint8_t>& f) {
    if (f.size() < 54 || u16(f, 28) != 24 || s32(f, 30) != 0 || s32(f, 14) < 40) {
        return fail("not an uncompressed 24-bit BMP");
    }
    const long width = s32(f, 18);
    const long height = s32(f, 22);
    if (width <= 0 || height == 0 || width > 16384 || height > 16384 || height < -16384) {
        return fail("bad size");
    }
    ReferenceImage r;
    r.width = static_cast<std::uint32_t>(width);
    r.height = static_cast<std::uint32_t>(height < 0 ? -height : height);
    const std::size_t stride = (3 * r.width + 3) / 4 * 4;
    if (s32(f, 10) < 54) {
        return fail("bad pixel offset");
    }
    const std::size_t start = static_cast<std::size_t>(s32(f, 10));
    if (start > f.size() || stride * r.height > f.size() - start) {
        return fail("rows cut short");
    }
    for (std::size_t y = 0; y < r.height; y++) {
        const std::size_t row = height < 0 ? y : r.height - 1 - y;
        for (std::size_t x = 0; x < r.width; x++) {
            const std::size_t at = start + row * stride + 3 * x;
            r.rgba.push_back(f[at + 2]);
            r.rgba.push_back(f[at + 1]);
            r.rgba.push_back(f[at]);
            r.rgba.push_back(255);
        }
    }
    r.ok = true;
    return r;
}

} // namespace

ReferenceImage referenceDecode(const std::vector<std::uint8_t>& file) {
    if (file.size() >= 2 && file[0] == 10) {
        return readPcx(file);
    }
    if (file.size() >= 2 && file[0] == 'B' && file[1] == 'M') {
        return readBmp24(file);
    }
    return fail("neither PCX nor BMP");
}

} // namespace meshfold::test
