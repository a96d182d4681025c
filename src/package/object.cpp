// An export's bytes: the window, the tagged properties, lazy arrays and the end check.
#include "package/object.h"

namespace meshfold::package::detail {

namespace {

// Size codes 0-4 give the size itself; 5, 6 and 7 say a uint8, uint16 or uint32 size follows.
inline constexpr std::uint32_t kFixedPropertySizes[] = {1, 2, 4, 12, 16};
inline constexpr std::uint8_t kSizeCodeByte = 5;
inline constexpr std::uint8_t kSizeCodeWord = 6;

// Array index forms: one byte below 0x80; 10xxxxxx + 1 byte; 11xxxxxx + 3 bytes.
inline constexpr std::uint8_t kIndexFormMask = 0xC0;
inline constexpr std::uint8_t kIndexTwoBytes = 0x80;
inline constexpr std::uint8_t kIndexHighMask = 0x3F;

bool nameIndexOk(const Package& p, std::int32_t i) {
    return i >= 0 && static_cast<std::size_t>(i) < p.names.size();
}

std::uint32_t readSize(Cursor& c, std::uint8_t code) {
    if (code < kSizeCodeByte) {
        return kFixedPropertySizes[code];
    }
    if (code == kSizeCodeByte) {
        return c.u8();
    }
    if (code == kSizeCodeWord) {
        return c.u16();
    }
    return c.u32(); // 7: a uint32 size
}

std::uint32_t readArrayIndex(Cursor& c) {
    const std::uint8_t b0 = c.u8();
    if ((b0 & kIndexTwoBytes) == 0) {
        return b0;
    }
    if ((b0 & kIndexFormMask) == kIndexTwoBytes) {
        return static_cast<std::uint32_t>(b0 & kIndexHighMask) << 8 | c.u8();
    }
    const std::uint32_t b1 = c.u8();
    const std::uint32_t b2 = c.u8();
    const std::uint32_t b3 = c.u8();
    return static_cast<std::uint32_t>(b0 & kIndexHighMask) << 24 | b1 << 16 | b2 << 8 | b3;
}

// One property after its name; false when the cursor failed.
bool readPropertyBody(const Package& p, Cursor& c, Property& prop) {
    prop.info = c.u8();
    const std::uint8_t type = prop.info & kPropertyTypeMask;
    if (c.ok() && type == 0) {
        c.fail(FailureKind::BadProperty, prop.offset, prop.info);
    }
    prop.type = static_cast<PropertyType>(type);
    if (prop.type == PropertyType::Struct) {
        prop.structName = c.compact();
        if (c.ok() && !nameIndexOk(p, prop.structName)) {
            c.fail(FailureKind::NameOutOfRange, prop.offset, prop.structName,
                   static_cast<std::int64_t>(p.names.size()));
        }
    }
    const std::uint32_t size =
        readSize(c, static_cast<std::uint8_t>(prop.info >> kPropertySizeShift & kPropertySizeMask));
    const bool array = (prop.info & kPropertyArrayBit) != 0;
    if (prop.type == PropertyType::Bool) {
        // The value is the array bit; no index and no value bytes follow.
        prop.boolValue = array;
        prop.size = 0;
        return c.ok();
    }
    if (array) {
        prop.arrayIndex = readArrayIndex(c);
    }
    if (c.ok() && size > c.remaining()) {
        c.fail(FailureKind::PropertyPastObject, prop.offset, size, static_cast<std::int64_t>(c.end()));
    }
    prop.size = size;
    prop.value = c.take(size);
    return c.ok();
}

// Meshes hold no properties and textures about twenty; a longer list is damage, and the limit
// keeps it from costing a record per two bytes of the object.
inline constexpr std::size_t kMaxProperties = 1024;

} // namespace

std::optional<Failure> openObject(const Package& p, std::size_t exportIndex, Cursor& out) {
    const ExportEntry& e = p.exports[exportIndex];
    const std::uint64_t fileSize = p.bytes.size();
    if (e.serialOffset > fileSize || e.serialSize > fileSize - e.serialOffset) {
        return namedFailure(p, exportIndex,
                            Failure{FailureKind::ObjectOutOfFile, {}, e.serialOffset, e.serialSize,
                                    static_cast<std::int64_t>(fileSize), {}});
    }
    if ((e.flags & kObjectFlagHasStack) != 0) {
        return namedFailure(p, exportIndex,
                            Failure{FailureKind::RunningState, {}, e.serialOffset, e.flags, 0, {}});
    }
    out = Cursor(p.bytes, e.serialOffset, std::uint64_t{e.serialOffset} + e.serialSize);
    return std::nullopt;
}

PropertyList readProperties(const Package& p, Cursor& c) {
    PropertyList list;
    while (c.ok()) {
        Property prop;
        prop.offset = c.pos();
        prop.name = c.compact();
        if (!c.ok()) {
            break;
        }
        if (!nameIndexOk(p, prop.name)) {
            c.fail(FailureKind::NameOutOfRange, prop.offset, prop.name,
                   static_cast<std::int64_t>(p.names.size()));
            break;
        }
        if (sameName(nameAt(p, prop.name), "None")) {
            break;
        }
        if (!readPropertyBody(p, c, prop)) {
            break;
        }
        if (list.items.size() == kMaxProperties) {
            c.fail(FailureKind::BadProperty, prop.offset, static_cast<std::int64_t>(kMaxProperties) + 1,
                   static_cast<std::int64_t>(kMaxProperties));
            break;
        }
        list.items.push_back(prop);
    }
    list.end = c.pos();
    return list;
}

LazyHead readLazyHead(Cursor& c, std::uint16_t version, std::uint64_t minItemSize) {
    LazyHead h;
    h.at = c.pos();
    if (version >= kLazyOffsetVersion) {
        h.statedEnd = c.u32();
    }
    h.count = c.count(minItemSize);
    h.items = c.pos();
    if (c.ok() && h.statedEnd >= 0 &&
        (static_cast<std::uint64_t>(h.statedEnd) < h.items ||
         static_cast<std::uint64_t>(h.statedEnd) > c.end())) {
        c.fail(FailureKind::LazyArrayEnd, h.at, h.statedEnd, static_cast<std::int64_t>(c.end()));
    }
    return h;
}

void checkLazyEnd(Cursor& c, const LazyHead& h) {
    if (c.ok() && h.statedEnd >= 0 && static_cast<std::uint64_t>(h.statedEnd) != c.pos()) {
        c.fail(FailureKind::LazyArrayEnd, h.at, h.statedEnd, static_cast<std::int64_t>(c.pos()));
    }
}

Bytes readLazyItems(Cursor& c, std::uint16_t version, std::uint64_t itemSize, std::uint32_t& count) {
    const LazyHead h = readLazyHead(c, version, itemSize);
    count = h.count;
    const Bytes items = c.take(std::uint64_t{h.count} * itemSize);
    checkLazyEnd(c, h);
    return c.ok() ? items : Bytes{};
}

void checkAtEnd(Cursor& c) {
    if (c.ok() && c.pos() != c.end()) {
        c.fail(FailureKind::FieldsEndEarly, c.pos(), static_cast<std::int64_t>(c.end() - c.pos()),
               static_cast<std::int64_t>(c.end()));
    }
}

Failure namedFailure(const Package& p, std::size_t exportIndex, Failure f) {
    f.object = fullName(p, exportRef(exportIndex));
    return f;
}

std::optional<Failure> failureOf(const Package& p, std::size_t exportIndex, const Cursor& c) {
    if (c.ok()) {
        return std::nullopt;
    }
    return namedFailure(p, exportIndex, c.failure());
}

Warning namedWarning(const Package& p, std::size_t exportIndex, WarningKind kind,
                     std::int64_t value, std::int64_t limit, std::string detail,
                     std::uint64_t offset) {
    return Warning{kind, fullName(p, exportRef(exportIndex)), offset, value, limit,
                   std::move(detail)};
}

} // namespace meshfold::package::detail

namespace meshfold::package {

PropertiesRead readObjectProperties(const Package& p, std::size_t exportIndex) {
    PropertiesRead r;
    detail::Cursor c({}, 0, 0);
    if ((r.failure = detail::openObject(p, exportIndex, c))) {
        return r;
    }
    r.list = detail::readProperties(p, c);
    r.failure = detail::failureOf(p, exportIndex, c);
    return r;
}

const Property* findProperty(const Package& p, const PropertyList& list, std::string_view name,
                             std::uint32_t index) {
    for (const Property& prop : list.items) {
        if (prop.arrayIndex == index && sameName(nameAt(p, prop.name), name)) {
            return &prop;
        }
    }
    return nullptr;
}

std::optional<std::uint8_t> byteValue(const Property& prop) {
    if (prop.value.empty()) {
        return std::nullopt;
    }
    return prop.value[0];
}

std::optional<std::int32_t> intValue(const Property& prop) {
    detail::Cursor c(prop.value, 0, prop.value.size());
    const std::int32_t v = c.i32();
    return c.ok() ? std::optional<std::int32_t>(v) : std::nullopt;
}

std::optional<float> floatValue(const Property& prop) {
    detail::Cursor c(prop.value, 0, prop.value.size());
    const float v = c.f32();
    return c.ok() ? std::optional<float>(v) : std::nullopt;
}

std::optional<ObjectRef> objectValue(const Package& p, const Property& prop) {
    detail::Cursor c(prop.value, 0, prop.value.size());
    const ObjectRef r{c.compact()};
    const bool inRange = r.isNone() || (r.isExport() && r.exportIndex() < p.exports.size()) ||
                         (r.isImport() && r.importIndex() < p.imports.size());
    return c.ok() && inRange ? std::optional<ObjectRef>(r) : std::nullopt;
}

std::optional<std::int32_t> nameValue(const Package& p, const Property& prop) {
    detail::Cursor c(prop.value, 0, prop.value.size());
    const std::int32_t n = c.compact();
    return c.ok() && n >= 0 && static_cast<std::size_t>(n) < p.names.size()
               ? std::optional<std::int32_t>(n)
               : std::nullopt;
}

} // namespace meshfold::package
