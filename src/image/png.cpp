// PNG chunks read and written, and their CRC: the framing every PNG reader
// and writer here goes through (the layout is in image/png.h).
#include "image/png.h"

#include <algorithm>

namespace meshfold {

namespace {

void appendBe32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    const std::size_t at = out.size();
    out.resize(at + 4);
    writeBe32(out.data() + at, v);
}

} // namespace

bool hasPngSignature(std::span<const std::uint8_t> file) {
    return file.size() >= kPngSignature.size() &&
           std::equal(kPngSignature.begin(), kPngSignature.end(), file.begin());
}

std::optional<PngChunk> pngChunkAt(std::span<const std::uint8_t> png, std::size_t at) {
    if (at > png.size() || png.size() - at < kPngChunkHeaderSize) {
        return std::nullopt;
    }
    PngChunk c;
    c.at = at;
    c.length = readBe32(png.data() + at + kPngChunkLengthAt);
    c.type = std::string_view(reinterpret_cast<const char*>(png.data()) + at + kPngChunkTypeAt,
                              kPngChunkTypeSize);
    const std::size_t left = png.size() - at - kPngChunkHeaderSize;
    c.data = png.subspan(at + kPngChunkHeaderSize, std::min<std::size_t>(c.length, left));
    c.crcHeld = c.length <= left && left - c.length >= kPngChunkCrcSize;
    return c;
}

void appendPngChunk(std::vector<std::uint8_t>& out, std::string_view type,
                    std::span<const std::uint8_t> data) {
    appendBe32(out, static_cast<std::uint32_t>(data.size()));
    const std::size_t typeAt = out.size();
    out.insert(out.end(), type.begin(), type.end());
    out.insert(out.end(), data.begin(), data.end());
    appendBe32(out, pngCrc32(std::span(out).subspan(typeAt)));
}

// Four bytes a step ("slicing by 4"): table k gives the CRC of a byte
// followed by k zero bytes, so that four lookups that do not wait on each
// other replace four that do.
std::uint32_t pngCrc32(std::span<const std::uint8_t> bytes) {
    static const auto tables = [] {
        std::array<std::array<std::uint32_t, 256>, 4> t{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k) {
                c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            }
            t[0][n] = c;
        }
        for (std::size_t k = 1; k < t.size(); ++k) {
            for (std::uint32_t n = 0; n < 256; ++n) {
                t[k][n] = (t[k - 1][n] >> 8) ^ t[0][t[k - 1][n] & 0xFF];
            }
        }
        return t;
    }();
    const std::uint8_t* p = bytes.data();
    const std::size_t size = bytes.size();
    std::uint32_t crc = 0xFFFFFFFFu;
    std::size_t i = 0;
    for (; i + 4 <= size; i += 4) {
        crc ^= std::uint32_t{p[i]} | std::uint32_t{p[i + 1]} << 8 | std::uint32_t{p[i + 2]} << 16 |
               std::uint32_t{p[i + 3]} << 24;
        crc = tables[3][crc & 0xFF] ^ tables[2][(crc >> 8) & 0xFF] ^ tables[1][(crc >> 16) & 0xFF] ^
              tables[0][crc >> 24];
    }
    for (; i < size; ++i) {
        crc = tables[0][(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    }
    return crc ^ 0xFFFFFFFFu;
}

} // namespace meshfold
