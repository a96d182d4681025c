#include "image/stb_guard.h"
#include "meshfold/common/bytes.h"
#include "image/png.h"

#include <algorithm>
#include <array>

namespace meshfold {
namespace {

// JPEG markers: 0xFF (any number of them) and the marker's byte; all but SOI,
// EOI, the restarts and TEM are followed by a big-endian length that counts
// itself.
inline constexpr std::uint8_t kJpegFill = 0xFF;
inline constexpr std::uint8_t kJpegSoi = 0xD8;
inline constexpr std::uint8_t kJpegEoi = 0xD9;
inline constexpr std::uint8_t kJpegSos = 0xDA;
inline constexpr std::uint8_t kJpegDht = 0xC4;
inline constexpr std::uint8_t kJpegDqt = 0xDB;
inline constexpr std::uint8_t kJpegSofBaseline = 0xC0;
inline constexpr std::uint8_t kJpegSofExtended = 0xC1;
inline constexpr std::uint8_t kJpegSofProgressive = 0xC2;
inline constexpr std::uint8_t kJpegRst0 = 0xD0;
inline constexpr std::uint8_t kJpegRst7 = 0xD7;
inline constexpr std::uint8_t kJpegTem = 0x01;
inline constexpr std::size_t kJpegDhtCountsSize = 17; // class and slot, 16 counts
inline constexpr std::size_t kJpegMostCodes = 256;
inline constexpr std::size_t kJpegSlots = 4;      // tables of each kind
inline constexpr std::size_t kJpegComponents = 4; // the most stb reads
inline constexpr std::size_t kJpegQuantSize8 = 65;  // slot byte, 64 bytes
inline constexpr std::size_t kJpegQuantSize16 = 129; // slot byte, 64 words

bool isRestart(std::uint8_t m) {
    return m >= kJpegRst0 && m <= kJpegRst7;
}

// The tables a JPEG defines, followed segment by segment as stb reads them:
// bytes up to a 0xFF skipped, fill 0xFF bytes skipped, each segment by its
// length, the entropy-coded data after SOS up to the next marker that is
// neither a stuffed 0 nor a restart. Where stb would stop with an error the
// walk goes on, so it checks everything stb could use and more.
class JpegWalk {
public:
    explicit JpegWalk(std::span<const std::uint8_t> f) : f_(f) {}

    std::string run(std::size_t at) {
        while (at < f_.size()) {
            at = nextMarker(at);
            if (at >= f_.size() || f_[at] == kJpegEoi) {
                return {};
            }
            const std::uint8_t marker = f_[at++];
            if (isRestart(marker) || marker == kJpegSoi || marker == kJpegTem || marker == 0) {
                continue;
            }
            const std::size_t length = std::size_t{byte(at)} << 8 | byte(at + 1);
            if (std::string why = segment(marker, at, length); !why.empty()) {
                return why;
            }
            at += std::max<std::size_t>(length, 2);
            if (marker == kJpegSos) {
                at = entropyEnd(at);
            }
        }
        return {};
    }

private:
    // stb reads a byte past the end of the file as 0.
    std::uint8_t byte(std::size_t at) const { return at < f_.size() ? f_[at] : 0; }

    std::size_t nextMarker(std::size_t at) const {
        while (at < f_.size() && f_[at] != kJpegFill) {
            ++at;
        }
        while (at < f_.size() && f_[at] == kJpegFill) {
            ++at;
        }
        return at;
    }

    std::size_t entropyEnd(std::size_t at) const {
        while (at < f_.size()) {
            if (f_[at] != kJpegFill) {
                ++at;
                continue;
            }
            std::size_t next = at + 1;
            while (next < f_.size() && f_[next] == kJpegFill) {
                ++next;
            }
            if (next < f_.size() && f_[next] != 0 && !isRestart(f_[next])) {
                return at;
            }
            at = next + 1;
        }
        return f_.size();
    }

    // `at` is where the segment's length is.
    std::string segment(std::uint8_t marker, std::size_t at, std::size_t length) {
        switch (marker) {
        case kJpegDht:
            return huffmanTables(at + 2, length);
        case kJpegDqt:
            quantTables(at + 2, length);
            return {};
        case kJpegSofBaseline:
        case kJpegSofExtended:
        case kJpegSofProgressive:
            frame(at + 2, marker == kJpegSofProgressive);
            return {};
        case kJpegSos:
            return scan(at + 2);
        default:
            return {};
        }
    }

    // stb adds up a table's 16 code counts without checking that they stay
    // within the 256 codes it has room for, and writes past the table when
    // they do not.
    std::string huffmanTables(std::size_t at, std::size_t length) {
        for (std::int64_t left = static_cast<std::int64_t>(length) - 2; left > 0;) {
            const std::uint8_t kind = byte(at);
            std::size_t codes = 0;
            for (std::size_t i = 1; i < kJpegDhtCountsSize; ++i) {
                codes += byte(at + i);
            }
            if (codes > kJpegMostCodes) {
                return "damaged: a JPEG Huffman table of more than 256 codes";
            }
            if ((kind >> 4) <= 1 && (kind & 15) < kJpegSlots) {
                huffman_[kind >> 4][kind & 15] = true;
            }
            at += kJpegDhtCountsSize + codes;
            left -= static_cast<std::int64_t>(kJpegDhtCountsSize + codes);
        }
        return {};
    }

    void quantTables(std::size_t at, std::size_t length) {
        for (std::int64_t left = static_cast<std::int64_t>(length) - 2; left > 0;) {
            const std::uint8_t kind = byte(at);
            if ((kind >> 4) > 1 || (kind & 15) >= kJpegSlots) {
                return; // stb stops here
            }
            quant_[kind & 15] = true;
            const std::size_t size = (kind >> 4) ? kJpegQuantSize16 : kJpegQuantSize8;
            at += size;
            left -= static_cast<std::int64_t>(size);
        }
    }

    // Precision, height, width, component count, then 3 bytes a component
    // (its id, sampling, quantisation table).
    void frame(std::size_t at, bool progressive) {
        progressive_ = progressive;
        components_ = std::min<std::size_t>(byte(at + 5), kJpegComponents);
        for (std::size_t i = 0; i < components_; ++i) {
            frameQuant_[i] = byte(at + 6 + 3 * i + 2) & 3;
        }
        frameSeen_ = true;
    }

    // Component count, 2 bytes a component (its id, DC and AC tables), then
    // the spectral range and approximation. stb mallocs its tables without
    // clearing them, so a scan using a table no segment filled in reads
    // whatever was in memory: far past the table, or pixels that change from
    // run to run.
    std::string scan(std::size_t at) {
        if (!frameSeen_) {
            return {}; // stb refuses a scan before the frame
        }
        const std::size_t n = byte(at);
        const std::uint8_t spectralStart = byte(at + 1 + 2 * n);
        const std::uint8_t approximationHigh = byte(at + 3 + 2 * n) >> 4;
        const bool dc = !progressive_ || (spectralStart == 0 && approximationHigh == 0);
        const bool ac = !progressive_ || spectralStart != 0;
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint8_t tables = byte(at + 2 + 2 * i);
            const std::size_t dcSlot = tables >> 4;
            const std::size_t acSlot = tables & 15;
            if ((dc && dcSlot < kJpegSlots && !huffman_[0][dcSlot]) ||
                (ac && acSlot < kJpegSlots && !huffman_[1][acSlot])) {
                return "damaged: a JPEG scan uses a Huffman table the file does not define";
            }
        }
        for (std::size_t i = 0; i < components_; ++i) {
            if (!quant_[frameQuant_[i]]) {
                return "damaged: a JPEG quantisation table is used before it is defined";
            }
        }
        return {};
    }

    std::span<const std::uint8_t> f_;
    bool huffman_[2][kJpegSlots] = {}; // DC, AC
    bool quant_[kJpegSlots] = {};
    std::array<std::uint8_t, kJpegComponents> frameQuant_{};
    std::size_t components_ = 0;
    bool progressive_ = false;
    bool frameSeen_ = false;
};

} // namespace

std::size_t jpegSegmentsStart(std::span<const std::uint8_t> file) {
    std::size_t at = 0;
    while (at < file.size() && file[at] == kJpegFill) {
        ++at;
    }
    return at >= 1 && at < file.size() && file[at] == kJpegSoi ? at + 1 : 0;
}

std::string jpegHazard(std::span<const std::uint8_t> file, std::size_t at) {
    return JpegWalk(file).run(at);
}

// stb copies each IDAT chunk onto the end of the data before it: it first
// grows its buffer to the chunk's stated length (so a length the file does
// not hold allocates up to 4 GB for nothing), and for a first IDAT of no
// bytes copies to a null pointer. Chunks are walked as stb walks them, one
// length after another, up to IEND.
std::string pngHazard(std::span<const std::uint8_t> file) {
    bool imageData = false;
    std::size_t at = kPngSignature.size();
    while (const auto c = pngChunkAt(file, at)) {
        const bool idat = c->type == "IDAT";
        if (idat && c->length == 0 && !imageData) {
            return "unsupported: a PNG whose image data starts with an empty chunk";
        }
        if (c->data.size() < c->length) {
            return idat ? "truncated: a PNG image data chunk runs past the end of the file" : "";
        }
        if (c->type == "IEND" || !c->crcHeld) {
            return {};
        }
        imageData = imageData || idat;
        at = c->next();
    }
    return {};
}

namespace {

// A TGA's 18-byte header; multi-byte fields little-endian.
inline constexpr std::size_t kTgaHeaderSize = 18;
inline constexpr std::size_t kTgaIdLengthAt = 0;
inline constexpr std::size_t kTgaColourMapTypeAt = 1; // 1: colour-mapped
inline constexpr std::size_t kTgaImageTypeAt = 2;     // 1-3, and 9-11 run-length coded
inline constexpr std::size_t kTgaMapFirstAt = 3;
inline constexpr std::size_t kTgaMapLengthAt = 5;
inline constexpr std::size_t kTgaMapBitsAt = 7;
inline constexpr std::size_t kTgaWidthAt = 12;
inline constexpr std::size_t kTgaHeightAt = 14;
inline constexpr std::size_t kTgaBitsAt = 16;
static_assert(kTgaBitsAt + 2 == kTgaHeaderSize);
inline constexpr std::uint8_t kTgaRleTypes = 8;
inline constexpr std::uint8_t kTgaGreyType = 3;
inline constexpr std::uint8_t kTgaRunPacket = 0x80;
inline constexpr std::uint8_t kTgaPacketCountMask = 0x7F;

// The bytes stb reads of one colour of `bits`: 15- and 16-bit colours are
// two bytes (but 16-bit grey, grey and alpha, is two bytes too), the others
// whole bytes.
std::size_t tgaColourBytes(unsigned bits) {
    return bits == 15 || bits == 16 ? 2 : bits / 8;
}

} // namespace

// stb reads a TGA as the header says, and where the file ends first it goes
// on reading nothing: an uncompressed row's pixels are then left as the
// buffer held them (different from run to run), a packet's as zeros. The
// walk reads as stb does: the identification field, a colour map's entries
// after skipping its first entry's number of bytes (stb's reading of that
// field), then the pixels.
std::string tgaHazard(std::span<const std::uint8_t> file) {
    if (file.size() < kTgaHeaderSize) {
        return "truncated: the TGA header is cut short";
    }
    const bool mapped = file[kTgaColourMapTypeAt] == 1;
    const bool rle = file[kTgaImageTypeAt] > kTgaRleTypes;
    const bool grey = file[kTgaImageTypeAt] % kTgaRleTypes == kTgaGreyType;
    const unsigned bits = file[kTgaBitsAt];
    const std::size_t pixelBytes = mapped ? (bits == 8 ? 1 : 2) : grey && bits == 16 ? 2 : tgaColourBytes(bits);
    std::uint64_t at = kTgaHeaderSize + std::uint64_t{file[kTgaIdLengthAt]};
    if (mapped) {
        at += readLe16(file.data() + kTgaMapFirstAt);
        at += std::uint64_t{readLe16(file.data() + kTgaMapLengthAt)} * tgaColourBytes(file[kTgaMapBitsAt]);
        if (at > file.size()) {
            return "truncated: the TGA colour map is cut short";
        }
    }
    const std::uint64_t pixels =
        std::uint64_t{readLe16(file.data() + kTgaWidthAt)} * readLe16(file.data() + kTgaHeightAt);
    if (!rle) {
        return pixels * pixelBytes > file.size() - at ? "truncated: the pixel data is cut short" : "";
    }
    for (std::uint64_t done = 0; done < pixels;) {
        if (at >= file.size()) {
            return "truncated: the pixel data is cut short";
        }
        const std::uint8_t packet = file[at++];
        const std::uint64_t count = std::min<std::uint64_t>((packet & kTgaPacketCountMask) + 1u, pixels - done);
        at += (packet & kTgaRunPacket) != 0 ? pixelBytes : count * pixelBytes;
        if (at > file.size()) {
            return "truncated: the pixel data is cut short";
        }
        done += count;
    }
    return {};
}

} // namespace meshfold
