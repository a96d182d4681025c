// A bounds-checked little-endian reader over one window of a package's bytes.
//
// Reads past the window do not happen: the read that would pass the end returns 0, reads
// nothing, and makes the cursor fail; every later read fails too, so a caller may read a whole
// record and check once. The first failure is kept (kind, where, figures). Positions are
// absolute file offsets, in 64 bits, so window arithmetic cannot wrap.
#pragma once

#include "meshfold/package/package.h"

#include <bit>
#include <cstdint>
#include <cstring>

namespace meshfold::package::detail {

// Compact index layout: byte 0 holds the sign, "more follows" and 6 value bits; later bytes
// "more follows" and 7 bits. Five bytes at most.
inline constexpr std::uint8_t kCompactSignBit = 0x80;
inline constexpr std::uint8_t kCompactFirstMoreBit = 0x40;
inline constexpr std::uint8_t kCompactFirstValueMask = 0x3F;
inline constexpr std::uint8_t kCompactMoreBit = 0x80;
inline constexpr std::uint8_t kCompactValueMask = 0x7F;
inline constexpr int kCompactMaxBytes = 5;

class Cursor {
public:
    Cursor(Bytes file, std::uint64_t begin, std::uint64_t end)
        : file_(file), pos_(begin), end_(end) {}

    std::uint64_t pos() const { return pos_; }
    std::uint64_t end() const { return end_; }
    std::uint64_t remaining() const { return pos_ <= end_ ? end_ - pos_ : 0; }
    bool ok() const { return !failed_; }
    const Failure& failure() const { return failure_; }

    // Makes the cursor fail (if it has not yet) with this reason.
    void fail(FailureKind kind, std::uint64_t at, std::int64_t value = 0, std::int64_t limit = 0) {
        if (!failed_) {
            failed_ = true;
            failure_.kind = kind;
            failure_.offset = at;
            failure_.value = value;
            failure_.limit = limit;
        }
    }
    void fail(const Failure& f) {
        if (!failed_) {
            failed_ = true;
            failure_ = f;
        }
    }

    // n bytes, or an empty span and a failure when fewer remain.
    Bytes take(std::uint64_t n) {
        if (!need(n)) {
            return {};
        }
        const Bytes b = file_.subspan(static_cast<std::size_t>(pos_), static_cast<std::size_t>(n));
        pos_ += n;
        return b;
    }
    void skip(std::uint64_t n) { take(n); }

    std::uint8_t u8() {
        const Bytes b = take(1);
        return b.empty() ? 0 : b[0];
    }
    std::uint16_t u16() {
        const Bytes b = take(2);
        return b.empty() ? 0 : static_cast<std::uint16_t>(b[0] | (b[1] << 8));
    }
    std::uint32_t u32() {
        const Bytes b = take(4);
        if (b.empty()) {
            return 0;
        }
        return static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
               (static_cast<std::uint32_t>(b[2]) << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
    }
    std::int16_t i16() { return static_cast<std::int16_t>(u16()); }
    std::int32_t i32() { return static_cast<std::int32_t>(u32()); }
    float f32() { return std::bit_cast<float>(u32()); }

    // A compact index. More than five bytes, or a value past 31 bits, fails.
    std::int32_t compact() {
        const std::uint64_t at = pos_;
        std::uint8_t b = u8();
        const bool negative = (b & kCompactSignBit) != 0;
        std::uint64_t v = b & kCompactFirstValueMask;
        bool more = (b & kCompactFirstMoreBit) != 0;
        unsigned shift = 6;
        for (int i = 1; more && ok(); ++i) {
            if (i == kCompactMaxBytes) {
                fail(FailureKind::BadCompactIndex, at);
                return 0;
            }
            b = u8();
            v |= static_cast<std::uint64_t>(b & kCompactValueMask) << shift;
            more = (b & kCompactMoreBit) != 0;
            shift += 7;
        }
        if (v > 0x7FFFFFFF) {
            fail(FailureKind::BadCompactIndex, at);
            return 0;
        }
        if (!ok()) {
            return 0;
        }
        const auto s = static_cast<std::int32_t>(v);
        return negative ? -s : s;
    }

    // A count (compact) that must be >= 0 and leave room for `count` items of at least
    // `minItemSize` bytes each: the check that comes before any allocation or loop.
    std::uint32_t count(std::uint64_t minItemSize) {
        const std::uint64_t at = pos_;
        const std::int32_t n = compact();
        if (!ok()) {
            return 0;
        }
        if (n < 0 || (minItemSize > 0 && static_cast<std::uint64_t>(n) > remaining() / minItemSize)) {
            fail(FailureKind::CountPastObject, at, n, static_cast<std::int64_t>(remaining()));
            return 0;
        }
        return static_cast<std::uint32_t>(n);
    }

    void seek(std::uint64_t p) {
        if (p > end_) {
            fail(FailureKind::Truncated, pos_, static_cast<std::int64_t>(p - pos_),
                 static_cast<std::int64_t>(end_));
            return;
        }
        pos_ = p;
    }

private:
    bool need(std::uint64_t n) {
        if (failed_) {
            return false;
        }
        if (n > remaining()) {
            fail(FailureKind::Truncated, pos_, static_cast<std::int64_t>(n),
                 static_cast<std::int64_t>(end_));
            return false;
        }
        return true;
    }

    Bytes file_;
    std::uint64_t pos_;
    std::uint64_t end_;
    bool failed_ = false;
    Failure failure_;
};

} // namespace meshfold::package::detail
