// The deflate of written PNGs (image/deflate.h), by zlib.
#include "image/deflate.h"

#include <zlib.h>

#include <climits>
#include <cstdlib>
#include <new>
#include <optional>

namespace meshfold {

namespace {

// zlib's window (2^15 bytes, the most) and the memory it spends on its
// hash of the window (its default).
constexpr int kWindowBits = 15;
constexpr int kMemoryLevel = 8;

// One stream of zlib's, ended whatever happens.
class Deflater {
public:
    explicit Deflater(int level)
        : ok_(deflateInit2(&z_, level, Z_DEFLATED, kWindowBits, kMemoryLevel, Z_DEFAULT_STRATEGY) == Z_OK) {}
    ~Deflater() {
        if (ok_) {
            deflateEnd(&z_);
        }
    }
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;

    bool ok() const { return ok_; }

    // The most bytes the stream of `size` bytes can take.
    std::size_t bound(std::size_t size) { return deflateBound(&z_, static_cast<uLong>(size)); }

    // `data` into `out` (room for bound() bytes) in one call; the bytes
    // written, or none (memory).
    std::optional<std::size_t> run(std::span<const std::uint8_t> data, std::uint8_t* out, std::size_t room) {
        z_.next_in = const_cast<Bytef*>(data.data());
        z_.avail_in = static_cast<uInt>(data.size());
        z_.next_out = out;
        z_.avail_out = static_cast<uInt>(room);
        if (deflate(&z_, Z_FINISH) != Z_STREAM_END) {
            return std::nullopt;
        }
        return room - z_.avail_out;
    }

private:
    z_stream z_{};
    bool ok_;
};

} // namespace

std::vector<std::uint8_t> zlibCompress(std::span<const std::uint8_t> data, int level) {
    Deflater d(level);
    if (!d.ok()) {
        throw std::bad_alloc();
    }
    std::vector<std::uint8_t> out(d.bound(data.size()));
    const std::optional<std::size_t> written = d.run(data, out.data(), out.size());
    if (!written) {
        throw std::bad_alloc();
    }
    out.resize(*written);
    return out;
}

unsigned char* stbZlibCompress(unsigned char* data, int size, int* outSize, int /*quality*/) {
    Deflater d(kPngDeflateLevel);
    if (!d.ok() || size < 0) {
        return nullptr;
    }
    const std::span<const std::uint8_t> in(data, static_cast<std::size_t>(size));
    const std::size_t room = d.bound(in.size());
    auto* out = static_cast<unsigned char*>(std::malloc(room));
    const std::optional<std::size_t> written = out != nullptr ? d.run(in, out, room) : std::nullopt;
    if (!written || *written > static_cast<std::size_t>(INT_MAX)) {
        std::free(out);
        return nullptr;
    }
    *outSize = static_cast<int>(*written);
    return out;
}

} // namespace meshfold
