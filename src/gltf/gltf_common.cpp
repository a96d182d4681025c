#include "meshfold/gltf/gltf_common.h"

#include "meshfold/common/ascii.h"

#include <array>

namespace meshfold {

namespace {

// Names of the polygon types (low four bits of the type byte), by value.
constexpr std::array<std::string_view, 9> kTypeNames = {
    "_NORMAL", "_2SIDED", "_TRANSLUCENT", "_MASKED", "_MODULATED", "_ALPHABLEND", "", "", "_WEAPONTRI"};

// Names of the flag bits 4-7.
constexpr std::array<std::string_view, 4> kFlagNames = {"_UNLIT", "_FLAT", "_ENVIRONMENT", "_NOSMOOTH"};

// Every word a material name may carry, long and short, with what it sets.
struct NameWord {
    std::string_view word;
    bool isType; // a polygon type (replaces the low bits) or a flag bit (ORed in)
    std::uint8_t value;
};
constexpr std::array<NameWord, 21> kNameWords = {{
    {"NORMAL", true, 0},     {"2SIDED", true, 1},      {"DD", true, 1},
    {"TRANSLUCENT", true, 2}, {"LU", true, 2},          {"MASKED", true, 3},
    {"CL", true, 3},         {"MODULATED", true, 4},   {"MD", true, 4},
    {"ALPHABLEND", true, 5}, {"AB", true, 5},          {"WEAPONTRI", true, 8},
    {"PH", true, 8},         {"UNLIT", false, 0x10},   {"UL", false, 0x10},
    {"FLAT", false, 0x20},   {"FL", false, 0x20},      {"ENVIRONMENT", false, 0x40},
    {"RF", false, 0x40},     {"NOSMOOTH", false, 0x80}, {"NS", false, 0x80},
}};

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

} // namespace

std::string materialName(std::uint8_t texture, std::uint8_t type, std::string_view meshName) {
    std::string name(3, '0');
    name[0] = static_cast<char>('0' + texture / 100);
    name[1] = static_cast<char>('0' + texture / 10 % 10);
    name[2] = static_cast<char>('0' + texture % 10);
    const std::uint8_t low = type & kPolyTypeMask;
    const std::string_view typeName = low < kTypeNames.size() ? kTypeNames[low] : "";
    name += typeName.empty() ? kTypeNames[0] : typeName;
    for (std::size_t bit = 0; bit < kFlagNames.size(); ++bit) {
        if (type & (0x10u << bit)) {
            name += kFlagNames[bit];
        }
    }
    name += '_';
    name += meshName;
    return name;
}

bool isDoubleSided(std::uint8_t type) {
    const std::uint8_t low = type & kPolyTypeMask;
    return low >= 1 && low <= 5;
}

std::optional<MaterialCode> parseMaterialName(std::string_view name) {
    if (name.size() < 3 || !isDigit(name[0]) || !isDigit(name[1]) || !isDigit(name[2])) {
        return std::nullopt;
    }
    const unsigned texture = (name[0] - '0') * 100u + (name[1] - '0') * 10u + (name[2] - '0');
    if (texture > 255) {
        return std::nullopt;
    }
    MaterialCode code{static_cast<std::uint8_t>(texture), 0};
    std::string_view rest = name.substr(3);
    while (!rest.empty()) {
        const std::size_t start = rest.front() == '_' ? 1 : 0;
        const std::size_t end = rest.find('_', start);
        const std::string_view word = rest.substr(start, end == std::string_view::npos ? end : end - start);
        for (const NameWord& w : kNameWords) {
            if (equalsIgnoringAsciiCase(word, w.word)) {
                code.type = w.isType ? static_cast<std::uint8_t>((code.type & ~kPolyTypeMask) | w.value)
                                     : static_cast<std::uint8_t>(code.type | w.value);
                break;
            }
        }
        if (end == std::string_view::npos) {
            break;
        }
        rest = rest.substr(end);
    }
    return code;
}

void Fnv1a64::add(std::span<const std::uint8_t> bytes) {
    for (const std::uint8_t b : bytes) {
        state = (state ^ b) * 0x100000001b3ull;
    }
}

void Fnv1a64::addLe32(std::uint32_t value) {
    const std::array<std::uint8_t, 4> b = {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                                           static_cast<std::uint8_t>(value >> 16),
                                           static_cast<std::uint8_t>(value >> 24)};
    add(b);
}

std::string checksumHex(const Fnv1a64& sum) {
    std::array<std::uint8_t, 8> b{};
    for (std::size_t i = 0; i < b.size(); ++i) {
        b[i] = static_cast<std::uint8_t>(sum.state >> (8 * (7 - i)));
    }
    return toHex(b);
}

std::string gltfPixelsCheck(std::uint32_t width, std::uint32_t height, std::span<const std::uint8_t> rgba) {
    Fnv1a64 sum;
    sum.addLe32(width);
    sum.addLe32(height);
    sum.add(rgba);
    return checksumHex(sum);
}

std::string toHex(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * bytes.size());
    for (const std::uint8_t b : bytes) {
        text += kDigits[b >> 4];
        text += kDigits[b & 0x0F];
    }
    return text;
}

std::optional<std::vector<std::uint8_t>> fromHex(std::string_view text) {
    const auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    if (text.size() % 2 != 0) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes(text.size() / 2);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const int hi = digit(text[2 * i]);
        const int lo = digit(text[2 * i + 1]);
        if (hi < 0 || lo < 0) {
            return std::nullopt;
        }
        bytes[i] = static_cast<std::uint8_t>(hi << 4 | lo);
    }
    return bytes;
}

} // namespace meshfold
