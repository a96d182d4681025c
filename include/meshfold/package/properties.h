// The tagged properties that start an object's bytes, kept whole: each property's name, type,
// size, array index and its value's bytes in the package. A property equal to its class's default
// is not written: the reader of an object supplies the defaults (texture.h does for textures).
#pragma once

#include "meshfold/package/package.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace meshfold::package {

enum class PropertyType : std::uint8_t {
    Byte = 1,
    Int = 2,
    Bool = 3,
    Float = 4,
    Object = 5,
    Name = 6,
    String = 7,
    Class = 8,
    Array = 9,
    Struct = 10,
    Vector = 11,
    Rotator = 12,
    Str = 13,
    Map = 14,
    FixedArray = 15,
};

// Info byte: type in bits 0-3, size code in bits 4-6, bit 7 "an array index follows" (for a
// bool: the value).
inline constexpr std::uint8_t kPropertyTypeMask = 0x0F;
inline constexpr unsigned kPropertySizeShift = 4;
inline constexpr std::uint8_t kPropertySizeMask = 0x07;
inline constexpr std::uint8_t kPropertyArrayBit = 0x80;

struct Property {
    std::int32_t name = 0; // name index
    PropertyType type{};
    std::uint8_t info = 0;        // the info byte as stored
    std::int32_t structName = -1; // name index, for a struct; -1 otherwise
    std::uint32_t size = 0;       // the value's size in bytes (0 for a bool)
    std::uint32_t arrayIndex = 0;
    bool boolValue = false;
    std::uint64_t offset = 0; // where the property starts in the file
    Bytes value;              // `size` bytes
};

struct PropertyList {
    std::vector<Property> items;
    std::uint64_t end = 0; // just past the closing `None`
};

struct PropertiesRead {
    PropertyList list; // the properties read before any failure
    std::optional<Failure> failure;
};

// The tagged properties at the start of export i's bytes, of whatever class. Refuses (by the
// export's full name) an object outside the file, a running state, a property that runs past the
// object, names out of range, an info byte of type 0, and more than 1024 properties.
PropertiesRead readObjectProperties(const Package& p, std::size_t exportIndex);

// The first property named `name` (without case) with array index `index`, or null.
const Property* findProperty(const Package& p, const PropertyList& list, std::string_view name,
                             std::uint32_t index = 0);

// A property's value read as its type stores it; nullopt when the value's bytes do not hold one
// (a byte property of 0 bytes, an object reference out of range).
std::optional<std::uint8_t> byteValue(const Property& prop);
std::optional<std::int32_t> intValue(const Property& prop);
std::optional<float> floatValue(const Property& prop);
std::optional<ObjectRef> objectValue(const Package& p, const Property& prop);
std::optional<std::int32_t> nameValue(const Package& p, const Property& prop);

} // namespace meshfold::package
