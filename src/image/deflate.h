// The zlib stream inside a written PNG, made here byte by byte so that the
// same pixels give the same file on every system. The PNG writer asks only
// for this one function; another compressor can stand behind it.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace meshfold {

// A zlib stream (RFC 1950) that inflates to `data`: one DEFLATE block with
// the fixed Huffman codes (RFC 1951), or stored blocks where those would be
// smaller. The same bytes for the same data, whatever the system. Throws
// std::bad_alloc when memory runs out.
std::vector<std::uint8_t> zlibCompress(std::span<const std::uint8_t> data);

} // namespace meshfold
