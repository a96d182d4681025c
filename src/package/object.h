// What the readers of meshes, textures and palettes share: an export's bytes as a cursor, its
// tagged properties, lazy arrays, and the checks at its end.
#pragma once

#include "meshfold/package/cursor.h"
#include "meshfold/package/package.h"
#include "meshfold/package/properties.h"

#include <cstdint>
#include <optional>

namespace meshfold::package::detail {

// Lazy arrays (and mips) hold the absolute offset past their items first from this version on.
inline constexpr std::uint16_t kLazyOffsetVersion = 62;

// A cursor over export i's bytes, or a failure naming it: bytes outside the file, or a running
// state (which meshes, textures and palettes never hold).
std::optional<Failure> openObject(const Package& p, std::size_t exportIndex, Cursor& out);

// The tagged properties up to `None`; the cursor fails on a property that runs past the object,
// a name out of range or an info byte no writer makes.
PropertyList readProperties(const Package& p, Cursor& c);

// A lazy array's head: for version >= 62 the end offset, then the count. `itemSize` 0 means the
// item size is not known yet (Deus Ex vertices): the end offset then only has to lie in the
// object. With a known size, the end must equal the items' end exactly.
struct LazyHead {
    std::uint64_t at = 0;       // the array's first byte
    std::int64_t statedEnd = -1; // -1 below version 62
    std::uint32_t count = 0;
    std::uint64_t items = 0;    // the first item's offset
};
LazyHead readLazyHead(Cursor& c, std::uint16_t version, std::uint64_t minItemSize);

// Checks a lazy array's stated end against where its items ended.
void checkLazyEnd(Cursor& c, const LazyHead& h);

// A lazy array of fixed-size items, skipped over; its bytes.
Bytes readLazyItems(Cursor& c, std::uint16_t version, std::uint64_t itemSize, std::uint32_t& count);

// Fails unless the cursor stands exactly at the object's end.
void checkAtEnd(Cursor& c);

// The cursor's failure with the object's full name, or nullopt.
std::optional<Failure> failureOf(const Package& p, std::size_t exportIndex, const Cursor& c);

Failure namedFailure(const Package& p, std::size_t exportIndex, Failure f);
Warning namedWarning(const Package& p, std::size_t exportIndex, WarningKind kind,
                     std::int64_t value = 0, std::int64_t limit = 0, std::string detail = {},
                     std::uint64_t offset = 0);

} // namespace meshfold::package::detail
