// The writer's output: bytes into a GltfOut (buffered for its sink, or only
// counted), little-endian words, and the pieces of JSON text: whole numbers,
// the shortest float text, strings escaped and kept valid UTF-8.
#include "gltf/write/gltf_writer.h"

#include "meshfold/game/format.h"

#include <charconv>
#include <cstdio>

namespace meshfold::glb {

namespace {

// Small pieces (JSON text, a key's numbers) gather in one buffer and reach the
// sink 64 KiB at a time; a piece this large goes on its own.
constexpr std::size_t kPendingLimit = std::size_t{1} << 16;

} // namespace

// ---- output ----

void put(GltfOut& out, const void* bytes, std::size_t size) {
    if (!out.ok) {
        return;
    }
    if (!out.sink) {
        out.written += size;
        return;
    }
    const auto* p = static_cast<const std::uint8_t*>(bytes);
    if (size >= kPendingLimit) {
        // A frame's positions go to the sink as they are, not copied first.
        if (flushGltf(out)) {
            out.ok = out.sink(p, size);
            out.written += size;
        }
        return;
    }
    out.pending.insert(out.pending.end(), p, p + size);
    if (out.pending.size() >= kPendingLimit) {
        flushGltf(out);
    }
}

void put(GltfOut& out, std::string_view text) {
    put(out, text.data(), text.size());
}

void putLe32(GltfOut& out, std::uint32_t v) {
    std::uint8_t b[4];
    writeLe32(b, v);
    put(out, b, sizeof b);
}

void putFloat(GltfOut& out, float f) {
    putLe32(out, floatBits(f));
}

void putZeros(GltfOut& out, std::size_t count) {
    static constexpr std::uint8_t kZeros[4] = {};
    put(out, kZeros, count);
}

// ---- JSON ----

void jsonUint(GltfOut& out, std::uint64_t v) {
    char buf[24];
    const std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, v);
    put(out, buf, static_cast<std::size_t>(r.ptr - buf));
}

// The shortest text that reads back as the same float32 (positions and
// times are float32 in the file): what a reader parses is exactly the value
// stored, and the text is the same on every system. Every value written is
// finite.
void jsonNumber(GltfOut& out, float v) {
    char buf[32];
    const std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, v);
    put(out, buf, static_cast<std::size_t>(r.ptr - buf));
}

// The frame rate as given, which need not be a float32.
void jsonNumber(GltfOut& out, double v) {
    char buf[32];
    const std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, v);
    put(out, buf, static_cast<std::size_t>(r.ptr - buf));
}

namespace {

// The length of a valid UTF-8 sequence starting at s[i], or 0.
std::size_t utf8Length(std::string_view s, std::size_t i) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t n = 0;
    std::uint32_t cp = 0;
    if (c < 0x80) {
        return 1;
    } else if ((c & 0xE0) == 0xC0) {
        n = 2;
        cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        n = 3;
        cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        n = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (i + n > s.size()) {
        return 0;
    }
    for (std::size_t k = 1; k < n; ++k) {
        const auto d = static_cast<unsigned char>(s[i + k]);
        if ((d & 0xC0) != 0x80) {
            return 0;
        }
        cp = cp << 6 | (d & 0x3F);
    }
    const bool overlong = (n == 2 && cp < 0x80) || (n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000);
    const bool invalid = cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF);
    return overlong || invalid ? 0 : n;
}

} // namespace

// A JSON string. A file name need not be UTF-8 on every system: a byte that
// starts no valid sequence becomes U+FFFD, so the file stays valid JSON.
void jsonString(GltfOut& out, std::string_view s) {
    put(out, "\"");
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        const std::size_t n = utf8Length(s, i);
        if (c == '"' || c == '\\') {
            const char esc[2] = {'\\', static_cast<char>(c)};
            put(out, esc, 2);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            put(out, buf, 6);
        } else if (n == 0) {
            put(out, "\\ufffd");
        } else {
            put(out, s.data() + i, n);
        }
        i += n == 0 ? 1 : n;
    }
    put(out, "\"");
}

void jsonVec3(GltfOut& out, const std::array<float, 3>& v) {
    for (int i = 0; i < 3; ++i) {
        put(out, i == 0 ? "[" : ",");
        jsonNumber(out, v[i]);
    }
    put(out, "]");
}

} // namespace meshfold::glb
