// The deflate of written PNGs (image/deflate.h).
#include "image/deflate.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <utility>

namespace meshfold {

namespace {

// A zlib stream (RFC 1950) of one DEFLATE block with the fixed Huffman codes
// (RFC 1951), its matches found by one probe of a hash of the next three
// bytes: a single pass, several times faster than a search of hash chains,
// for a little less compression, which is what an export needs of an image
// it embeds. Stored blocks instead where that would be smaller.
class FastDeflate {
public:
    std::vector<std::uint8_t> compress(const std::uint8_t* data, std::size_t size) {
        out_ = {0x78, 0x01}; // deflate, 32 KiB window; fastest
        put(1, 1);           // the final block
        put(1, 2);           // fixed Huffman codes
        std::vector<std::int32_t> head(kHashSize, -1);
        for (std::size_t i = 0; i < size;) {
            std::size_t length = 0;
            std::size_t distance = 0;
            if (i + kMinMatch <= size) {
                const std::size_t h = hash(data + i);
                const std::int32_t candidate = head[h];
                head[h] = static_cast<std::int32_t>(i);
                if (candidate >= 0 && i - static_cast<std::size_t>(candidate) <= kWindow) {
                    const std::size_t at = static_cast<std::size_t>(candidate);
                    const std::size_t most = std::min(kMaxMatch, size - i);
                    while (length < most && data[at + length] == data[i + length]) {
                        ++length;
                    }
                    distance = i - at;
                }
            }
            if (length < kMinMatch) {
                literal(data[i]);
                ++i;
                continue;
            }
            match(length, distance);
            // The positions a match covers become candidates too, but of a
            // long run (a texture's plain areas) only its last few: the run
            // itself is found again from its start.
            const std::size_t from = length > kInsertAll ? i + length - kMinMatch : i + 1;
            for (std::size_t k = from; k < i + length && k + kMinMatch <= size; ++k) {
                head[hash(data + k)] = static_cast<std::int32_t>(k);
            }
            i += length;
        }
        symbol(kEndOfBlock);
        flushBits();
        if (out_.size() > size + size / kStoredBlock * 5 + 16) {
            stored(data, size);
        }
        const std::uint32_t check = adler32(data, size);
        for (int shift = 24; shift >= 0; shift -= 8) {
            out_.push_back(static_cast<std::uint8_t>(check >> shift));
        }
        return std::move(out_);
    }

private:
    static constexpr std::size_t kHashSize = std::size_t{1} << 15;
    static constexpr std::size_t kMinMatch = 3;
    static constexpr std::size_t kMaxMatch = 258;
    static constexpr std::size_t kInsertAll = 16; // matches up to this long add every position
    static constexpr std::size_t kWindow = 32768;
    static constexpr std::size_t kStoredBlock = 65535;
    static constexpr unsigned kEndOfBlock = 256;

    static std::size_t hash(const std::uint8_t* p) {
        const std::uint32_t v = std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16;
        return (v * 2654435761u) >> 17;
    }

    static std::uint32_t adler32(const std::uint8_t* data, std::size_t size) {
        // 5552 bytes is the most that cannot overflow 32 bits between reductions.
        constexpr std::size_t kRun = 5552;
        std::uint32_t a = 1;
        std::uint32_t b = 0;
        for (std::size_t at = 0; at < size; at += kRun) {
            const std::size_t end = std::min(size, at + kRun);
            for (std::size_t i = at; i < end; ++i) {
                a += data[i];
                b += a;
            }
            a %= 65521;
            b %= 65521;
        }
        return b << 16 | a;
    }

    // `count` bits of `bits`, lowest first (at most 32 at a time), written
    // out four bytes at a time.
    void put(std::uint32_t bits, unsigned count) {
        bitBuffer_ |= std::uint64_t{bits} << bitCount_;
        bitCount_ += count;
        if (bitCount_ >= 32) {
            const std::uint32_t word = static_cast<std::uint32_t>(bitBuffer_);
            out_.insert(out_.end(), {static_cast<std::uint8_t>(word), static_cast<std::uint8_t>(word >> 8),
                                     static_cast<std::uint8_t>(word >> 16), static_cast<std::uint8_t>(word >> 24)});
            bitBuffer_ >>= 32;
            bitCount_ -= 32;
        }
    }

    // The bits still held, padded with zeros to the byte.
    void flushBits() {
        for (; bitCount_ > 0; bitCount_ = bitCount_ > 8 ? bitCount_ - 8 : 0) {
            out_.push_back(static_cast<std::uint8_t>(bitBuffer_));
            bitBuffer_ >>= 8;
        }
    }

    // A Huffman code, which DEFLATE stores from its highest bit: reversed.
    static std::uint32_t reversed(std::uint32_t value, unsigned length) {
        std::uint32_t r = 0;
        for (unsigned k = 0; k < length; ++k) {
            r |= ((value >> k) & 1u) << (length - 1 - k);
        }
        return r;
    }

    // The fixed code of each literal or length symbol (0-287), reversed, and
    // its length.
    struct Code {
        std::uint16_t bits;
        std::uint8_t length;
    };
    static const std::array<Code, 288>& fixedCodes() {
        static const std::array<Code, 288> codes = [] {
            std::array<Code, 288> c{};
            for (unsigned s = 0; s < c.size(); ++s) {
                const auto [value, length] = s < 144   ? std::pair{0x30 + s, 8u}
                                             : s < 256 ? std::pair{0x190 + s - 144, 9u}
                                             : s < 280 ? std::pair{s - 256, 7u}
                                                       : std::pair{0xC0 + s - 280, 8u};
                c[s] = {static_cast<std::uint16_t>(reversed(value, length)), static_cast<std::uint8_t>(length)};
            }
            return c;
        }();
        return codes;
    }

    void symbol(unsigned s) {
        const Code& c = fixed_[s];
        put(c.bits, c.length);
    }

    void literal(std::uint8_t byte) { symbol(byte); }

    // A match: its length symbol and extra bits, then its distance code
    // (five bits, reversed) and extra bits.
    void match(std::size_t length, std::size_t distance) {
        const MatchCodes& c = matches_;
        const std::uint8_t l = c.lengthCode[length];
        symbol(257 + l);
        put(static_cast<std::uint32_t>(length - kLengthBase[l]), kLengthExtra[l]);
        // Distances to 256 are looked up directly, longer ones by their
        // distance - 1 over 128 (every code from 257 on spans a multiple of 128).
        const std::uint8_t d = distance <= 256 ? c.distanceCode[distance] : c.distanceCode[256 + ((distance - 1) >> 7)];
        put(c.distanceBits[d], 5);
        put(static_cast<std::uint32_t>(distance - kDistanceBase[d]), kDistanceExtra[d]);
    }

    static constexpr std::array<std::uint16_t, 29> kLengthBase = {
        3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 15, 17, 19, 23, 27, 31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
    static constexpr std::array<std::uint8_t, 29> kLengthExtra = {
        0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
    static constexpr std::array<std::uint16_t, 30> kDistanceBase = {
        1, 2, 3, 4, 5, 7, 9, 13, 17, 25, 33, 49, 65, 97, 129, 193, 257, 385, 513, 769,
        1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
    static constexpr std::array<std::uint8_t, 30> kDistanceExtra = {
        0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

    // The code of every match length (3 to 258) and distance, and each
    // distance code's five bits as written (reversed).
    struct MatchCodes {
        std::array<std::uint8_t, kMaxMatch + 1> lengthCode{};
        std::array<std::uint8_t, 256 + 256> distanceCode{}; // [1..256] direct, [256 + (d - 1) / 128] beyond
        std::array<std::uint8_t, 30> distanceBits{};
    };
    static const MatchCodes& matchCodes() {
        static const MatchCodes codes = [] {
            MatchCodes c;
            for (std::size_t length = kMinMatch, l = 0; length <= kMaxMatch; ++length) {
                l += l + 1 < kLengthBase.size() && kLengthBase[l + 1] <= length ? 1 : 0;
                c.lengthCode[length] = static_cast<std::uint8_t>(l);
            }
            const auto codeOf = [](std::size_t distance) {
                std::size_t d = kDistanceBase.size() - 1;
                while (kDistanceBase[d] > distance) {
                    --d;
                }
                return static_cast<std::uint8_t>(d);
            };
            for (std::size_t distance = 1; distance <= 256; ++distance) {
                c.distanceCode[distance] = codeOf(distance);
            }
            for (std::size_t k = 2; k < 256; ++k) {
                c.distanceCode[256 + k] = codeOf(k * 128 + 1);
            }
            for (std::uint32_t d = 0; d < c.distanceBits.size(); ++d) {
                c.distanceBits[d] = static_cast<std::uint8_t>(reversed(d, 5));
            }
            return c;
        }();
        return codes;
    }

    // The data as stored blocks, after the zlib header.
    void stored(const std::uint8_t* data, std::size_t size) {
        out_.resize(2);
        bitBuffer_ = 0;
        bitCount_ = 0;
        std::size_t at = 0;
        do {
            const std::size_t n = std::min(kStoredBlock, size - at);
            out_.push_back(at + n == size ? 1 : 0); // final?, type 0, padded to the byte
            out_.insert(out_.end(), {static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8),
                                     static_cast<std::uint8_t>(~n), static_cast<std::uint8_t>(~n >> 8)});
            out_.insert(out_.end(), data + at, data + at + n);
            at += n;
        } while (at < size);
    }

    // The code tables (made once), held here so that each symbol does
    // not ask whether they are made yet.
    const std::array<Code, 288>& fixed_ = fixedCodes();
    const MatchCodes& matches_ = matchCodes();
    std::vector<std::uint8_t> out_;
    std::uint64_t bitBuffer_ = 0;
    unsigned bitCount_ = 0;
};

} // namespace

std::vector<std::uint8_t> zlibCompress(std::span<const std::uint8_t> data) {
    return FastDeflate().compress(data.data(), data.size());
}

} // namespace meshfold
